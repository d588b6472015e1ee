#pragma once

#include "picture/PictureOptions.h"
#include "platform/DisplaySource.h"

#include <QImage>
#include <QObject>
#include <QPoint>
#include <QRectF>
#include <QSize>
#include <qcoro/qcorotask.h>

#include <chrono>
#include <memory>
#include <optional>

namespace oculo {

// What a capture stream grabs and produces.
struct CaptureConfiguration {
    QRectF sourceRect; // logical pixels, relative to the display's top-left corner
    QSize outputSize;  // pixels of each produced image
    std::chrono::microseconds minimumFrameInterval{1'000'000 / 30};
    bool showsCursor = true;
    // The rectangle keeps its size and its centre follows the pointer, moved by
    // the stream itself where it can (see CaptureStream::followsPointerItself).
    bool followsPointer = false;
    int queueDepth = 3; // frames that may wait for the GUI thread before new ones are dropped
    // Applied to every frame, whichever way it reaches the screen.
    PictureOptions picture;

    friend bool operator==(const CaptureConfiguration&, const CaptureConfiguration&) = default;
};

struct CaptureError {
    QString description;
};

// One running capture of one display. Created stopped; the owner starts it,
// reconfigures it and stops it from the GUI thread. Finished images arrive
// through `frameCaptured` on the GUI thread; they are immutable and shared.
class CaptureStream : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;

    virtual QCoro::Task<std::optional<CaptureError>> start() = 0;
    virtual QCoro::Task<> stop() = 0;
    // Errors are ignored by callers: the stream keeps its previous rectangle.
    virtual QCoro::Task<> updateConfiguration(const CaptureConfiguration& configuration) = 0;
    // The pointer moved, perhaps without any event the stream could see (a
    // warp); a stream that draws the pointer looks at it again.
    virtual void pointerMoved() {}
    // True when a configuration that follows the pointer needs no further
    // rectangles from the owner while the pointer stays on this display.
    virtual bool followsPointerItself() const { return false; }
    // Draw every frame also straight into this native window, scaled to fill
    // `size` device pixels with the centre kept (the picture the GUI would
    // paint), skipping the GUI thread; 0 stops it. Frames are still published.
    virtual void setPresentationTarget(quintptr window, const QSize& size) {
        Q_UNUSED(window);
        Q_UNUSED(size);
    }
    // Lay `overlay` (premultiplied alpha, device pixels) over every frame drawn
    // into the presentation target, its top-left at `position` in the target;
    // a still picture is drawn again with it at once. A null image removes it.
    virtual void setPresentationOverlay(const QImage& overlay, const QPoint& position) {
        Q_UNUSED(overlay);
        Q_UNUSED(position);
    }

Q_SIGNALS:
    void frameCaptured(const QImage& frame);
    // The stream ended on its own (X error, lost connection).
    void failed(const QString& description);
    // A stream that follows the pointer itself saw it leave the display; the
    // owner decides where capture goes now.
    void pointerLeftDisplay();
};

// Creates capture streams for displays reported by a DisplaySource.
class CaptureBackend {
public:
    virtual ~CaptureBackend() = default;
    virtual std::unique_ptr<CaptureStream>
    createStream(const DisplayInfo& display, const CaptureConfiguration& configuration) = 0;
    // The last whole picture of `display` the backend holds, for a still
    // backdrop where the screen cannot be read otherwise; null when none.
    virtual QImage lastDisplayFrame(const DisplayInfo& display) {
        Q_UNUSED(display);
        return {};
    }
};

} // namespace oculo
