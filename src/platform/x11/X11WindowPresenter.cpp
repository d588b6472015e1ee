#include "platform/x11/X11WindowPresenter.h"

#include "picture/PictureBlend.h"
#include "picture/PictureEffects.h"
#include "platform/x11/X11CaptureConnection.h"

#include <xcb/shm.h>

#include <algorithm>
#include <cstring>

namespace oculo::x11 {
namespace {

constexpr int maximumSide = 16384;

// Copies `area` of `from` to `to` at `at`; both are 32-bit images holding it.
void copyRows(const QImage& from, const QRect& area, QImage& to, const QPoint& at) {
    const qsizetype bytes = qsizetype(area.width()) * 4;
    for (int y = 0; y < area.height(); ++y) {
        std::memcpy(to.scanLine(at.y() + y) + qsizetype(at.x()) * 4,
                    from.constScanLine(area.y() + y) + qsizetype(area.x()) * 4, bytes);
    }
}

// The smallest rectangle holding every pixel of `image` that is not fully
// transparent; empty when there is none.
QRect visibleBounds(const QImage& image) {
    int left = image.width();
    int right = -1;
    int top = image.height();
    int bottom = -1;
    for (int y = 0; y < image.height(); ++y) {
        const auto* row = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            if (qAlpha(row[x]) != 0) {
                left = std::min(left, x);
                right = std::max(right, x);
                top = std::min(top, y);
                bottom = y;
            }
        }
    }
    return right < 0 ? QRect() : QRect(QPoint(left, top), QPoint(right, bottom));
}

} // namespace

void X11WindowPresenter::stop() {
    m_presented = false;
    m_gc.reset();
    m_window = 0;
    m_scaler = FrameScaler();
}

void X11WindowPresenter::setTarget(quint32 window, const QSize& size, const QRectF& source,
                                   const QRect& visible, const QSize& output) {
    xcb_connection_t* c = m_connection.get();
    const bool sameWindow = window == m_window && m_gc != nullptr;
    if (!sameWindow) {
        stop();
    }
    if (window == 0 || size.isEmpty() || size.width() > maximumSide ||
        size.height() > maximumSide) {
        stop();
        return;
    }
    if (!sameWindow) {
        const XcbReply<xcb_get_geometry_reply_t> geometry(
            xcb_get_geometry_reply(c, xcb_get_geometry(c, window), nullptr));
        if (!geometry || (geometry->depth != 24 && geometry->depth != 32)) {
            return; // gone already, or a format the scaler does not write
        }
        m_depth = geometry->depth;
        m_gc = std::make_unique<ServerResource<xcb_free_gc>>(c);
        xcb_create_gc(c, m_gc->id(), window, 0, nullptr);
        m_window = window;
    }
    m_size = size;
    const std::size_t bytes = std::size_t(size.width()) * std::size_t(size.height()) * 4;
    if (!m_segment || m_segment->size() < bytes) {
        QString why;
        m_segment.reset();
        if (m_sharedMemory) {
            m_segment = SharedMemorySegment::attach(c, bytes, &why);
        }
    }
    // Following, this runs every frame: the canvas is made anew only when it must.
    const uchar* place = m_segment ? m_segment->data() : nullptr;
    if (m_canvas.size() != size || m_canvasPlace != place) {
        m_canvas = m_segment ? QImage(m_segment->data(), size.width(), size.height(),
                                      size.width() * 4, QImage::Format_RGB32)
                             : QImage(size, QImage::Format_RGB32);
        m_canvasPlace = place;
        m_presented = false;
    }
    // The centre part of the configured rectangle that fills the window.
    QRectF kept = source;
    if (!output.isEmpty()) {
        const double scale = std::max(double(size.width()) / output.width(),
                                      double(size.height()) / output.height());
        const double keptWidth = size.width() / scale / output.width();
        const double keptHeight = size.height() / scale / output.height();
        kept = QRectF(source.x() + source.width() * (1 - keptWidth) / 2,
                      source.y() + source.height() * (1 - keptHeight) / 2,
                      source.width() * keptWidth, source.height() * keptHeight);
    }
    m_scaler.configure(kept, visible, size, m_picture.scaling);
}

void X11WindowPresenter::present(const uchar* pixels, qsizetype stride, const QRect& grab) {
    if (m_window == 0) {
        return;
    }
    xcb_connection_t* c = m_connection.get();
    const QRect own = m_scaler.grabRect();
    const uchar* start = pixels;
    if (!own.isEmpty()) {
        if (!grab.contains(own)) {
            return;
        }
        start += (own.y() - grab.y()) * stride + (own.x() - grab.x()) * 4;
    }
    if (m_canvas.isNull()) {
        return; // out of memory
    }
    scalePicture(m_picture, m_scaler, start, stride, m_canvas);
    // The controls lie over the picture, filter and crosshair.
    m_blended = QRect();
    blendOverlay();
    put(m_canvas.rect());
    m_presented = true;
    xcb_flush(c);
}

void X11WindowPresenter::setOverlay(const QImage& overlay, const QPoint& at) {
    const QImage image = overlay.format() == QImage::Format_ARGB32_Premultiplied
                             ? overlay
                             : overlay.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    // Each frame blends only what shows: transparent margins are cut off once, here.
    const QRect shown = visibleBounds(image);
    m_overlay = shown == image.rect() ? image : image.copy(shown);
    m_overlayAt = at + shown.topLeft();
}

void X11WindowPresenter::redrawOverlay() {
    if (m_window == 0 || !m_presented) {
        return;
    }
    if (m_segment) {
        // The server may still be reading the segment for the last put.
        const XcbReply<xcb_get_input_focus_reply_t> sync(xcb_get_input_focus_reply(
            m_connection.get(), xcb_get_input_focus(m_connection.get()), nullptr));
    }
    const QRect before = m_blended;
    if (!before.isEmpty()) {
        copyRows(m_under, m_under.rect(), m_canvas, before.topLeft());
    }
    blendOverlay();
    const QRect changed = before.united(m_blended);
    if (!changed.isEmpty()) {
        put(changed);
        xcb_flush(m_connection.get());
    }
}

void X11WindowPresenter::blendOverlay() {
    m_blended = QRect();
    if (m_overlay.isNull()) {
        return;
    }
    const QRect area = QRect(m_overlayAt, m_overlay.size()).intersected(m_canvas.rect());
    if (area.isEmpty()) {
        return;
    }
    // What it covers is kept for redrawOverlay(); the buffer is reused from frame to frame.
    if (m_under.size() != area.size()) {
        m_under = QImage(area.size(), QImage::Format_RGB32);
    }
    const QPoint from = area.topLeft() - m_overlayAt;
    for (int y = 0; y < area.height(); ++y) {
        blendOver(reinterpret_cast<const quint32*>(m_overlay.constScanLine(from.y() + y)) +
                      from.x(),
                  reinterpret_cast<quint32*>(m_canvas.scanLine(area.y() + y)) + area.x(),
                  reinterpret_cast<quint32*>(m_under.scanLine(y)), area.width());
    }
    m_blended = area;
}

void X11WindowPresenter::put(const QRect& area) {
    xcb_connection_t* c = m_connection.get();
    if (m_segment) {
        xcb_shm_put_image(c, m_window, m_gc->id(), m_canvas.width(), m_canvas.height(), area.x(),
                          area.y(), area.width(), area.height(), area.x(), area.y(), m_depth,
                          XCB_IMAGE_FORMAT_Z_PIXMAP, 0, m_segment->id(), 0);
        return;
    }
    const QImage part = area == m_canvas.rect() ? m_canvas : m_canvas.copy(area);
    xcb_put_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, m_window, m_gc->id(), part.width(), part.height(),
                  area.x(), area.y(), 0, m_depth, part.sizeInBytes(), part.constBits());
}

} // namespace oculo::x11
