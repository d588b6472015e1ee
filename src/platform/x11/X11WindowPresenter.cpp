#include "platform/x11/X11WindowPresenter.h"

#include "picture/PictureEffects.h"
#include "platform/x11/X11CaptureConnection.h"

#include <xcb/shm.h>

#include <algorithm>

namespace oculo::x11 {
namespace {

constexpr int maximumSide = 16384;

} // namespace

void X11WindowPresenter::stop() {
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
    const QSize size = m_scaler.outputSize();
    const QRect own = m_scaler.grabRect();
    const uchar* start = pixels;
    if (!own.isEmpty()) {
        if (!grab.contains(own)) {
            return;
        }
        start += (own.y() - grab.y()) * stride + (own.x() - grab.x()) * 4;
    }
    if (m_segment) {
        QImage image(m_segment->data(), size.width(), size.height(), size.width() * 4,
                     QImage::Format_RGB32);
        m_scaler.scale(start, stride, image);
        finishPicture(m_picture, m_scaler, image);
        xcb_shm_put_image(c, m_window, m_gc->id(), size.width(), size.height(), 0, 0, size.width(),
                          size.height(), 0, 0, m_depth, XCB_IMAGE_FORMAT_Z_PIXMAP, 0,
                          m_segment->id(), 0);
    } else {
        QImage image(size, QImage::Format_RGB32);
        if (image.isNull()) {
            return;
        }
        m_scaler.scale(start, stride, image);
        finishPicture(m_picture, m_scaler, image);
        xcb_put_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, m_window, m_gc->id(), size.width(),
                      size.height(), 0, 0, 0, m_depth, image.sizeInBytes(), image.constBits());
    }
    xcb_flush(c);
}

} // namespace oculo::x11
