#pragma once

#include "picture/FrameScaler.h"
#include "platform/x11/X11ScreenGrabber.h"
#include "platform/x11/XcbSupport.h"

#include <QImage>
#include <QPoint>
#include <QRect>
#include <QRectF>
#include <QSize>

#include <memory>

namespace oculo::x11 {

class X11CaptureConnection;

// Draws each frame straight into a window of the capture's display, scaled to
// fill it with the centre of the captured rectangle kept: no image crosses to
// the GUI thread. Through MIT-SHM when the server attaches our segment.
// Errors about the window (one already destroyed) end the drawing, not the
// capture.
class X11WindowPresenter {
public:
    explicit X11WindowPresenter(const X11CaptureConnection& connection)
        : m_connection(connection) {}

    // Whether the server attaches our segments, as the grabber found out.
    void allowSharedMemory(bool allowed) { m_sharedMemory = allowed; }

    bool isDrawing() const { return m_window != 0; }
    const FrameScaler& scaler() const { return m_scaler; }
    // Whether an X error about `resource` concerns the drawing.
    bool owns(quint32 resource) const {
        return isDrawing() && (resource == m_window || resource == m_gc->id());
    }

    // Draws into `window`, `size` pixels, from now on; 0 or an unusable size
    // stops. `source`, `visible` and `output` are the capture's rectangle in
    // root pixels, the display's area and the size of published images.
    void setTarget(quint32 window, const QSize& size, const QRectF& source, const QRect& visible,
                   const QSize& output);
    // The captured rectangle moved or changed: the same window, scaled anew.
    void setSource(const QRectF& source, const QRect& visible, const QSize& output) {
        setTarget(m_window, m_size, source, visible, output);
    }
    void stop();
    // Scaling, filter and crosshair of what is drawn; the scaling from the next
    // setTarget() or setSource() on.
    void setPicture(const PictureOptions& picture) { m_picture = picture; }

    // `pixels` hold `grab` (root pixels), which covers scaler().grabRect(),
    // already filtered where filtersBeforeScaling() holds for scaler().
    void present(const uchar* pixels, qsizetype stride, const QRect& grab);

    // Laid over every frame from now on, its top-left at `at` in the window's
    // pixels; premultiplied alpha. A null image lays nothing.
    void setOverlay(const QImage& overlay, const QPoint& at);
    // Puts the last frame again with the current overlay, without a grab:
    // only the part where the old or the new overlay lies.
    void redrawOverlay();

private:
    void blendOverlay();
    void put(const QRect& area);

    const X11CaptureConnection& m_connection;
    bool m_sharedMemory = false;
    quint32 m_window = 0;
    QSize m_size;
    quint8 m_depth = 0;
    std::unique_ptr<ServerResource<xcb_free_gc>> m_gc;
    FrameScaler m_scaler;
    PictureOptions m_picture;
    std::unique_ptr<SharedMemorySegment> m_segment; // kept, and grown, for the next window
    // The frame last put, overlay included: in the segment, or owned without one.
    QImage m_canvas;
    const uchar* m_canvasPlace = nullptr; // the segment m_canvas lies in, if any
    bool m_presented = false;             // m_canvas holds a frame put into the window
    QImage m_overlay;
    QPoint m_overlayAt;
    QRect m_blended; // where m_canvas holds the overlay
    QImage m_under;  // the frame's own pixels there
};

} // namespace oculo::x11
