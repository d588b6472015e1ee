#pragma once

#include "platform/CaptureBackend.h"

#include <QByteArray>
#include <QImage>
#include <QString>

#include <memory>
#include <optional>

namespace oculo::x11 {

// Where a capture session sends its results; called on the capture thread.
class CaptureSink {
public:
    virtual ~CaptureSink() = default;
    // False while the consumer still has its full queue of frames to take.
    virtual bool hasRoomForFrame() const = 0;
    virtual void deliverFrame(const QImage& frame) = 0;
    // Called at most once; the session's run() returns right after.
    virtual void reportFailure(const QString& description) = 0;
    // A followed pointer went from inside the display to outside it.
    virtual void reportPointerLeftDisplay() {}
};

// One capture of one RandR monitor over its own X connection. Opened on any
// thread, then run() on the capture thread until requestStop() or a failure.
// Grabs only when something inside the rectangle changed (XDamage), the
// pointer moved or changed shape near it, or the configuration changed.
class X11CaptureSession {
public:
    struct Options {
        QByteArray displayName; // empty: $DISPLAY
        bool useSharedMemory = true;
    };

    // Null with `error` filled when the server, the display or the screen's
    // pixel format makes capture impossible.
    static std::unique_ptr<X11CaptureSession> open(const Options& options,
                                                   const DisplayInfo& display,
                                                   const CaptureConfiguration& configuration,
                                                   QString* error);
    ~X11CaptureSession();

    X11CaptureSession(const X11CaptureSession&) = delete;
    X11CaptureSession& operator=(const X11CaptureSession&) = delete;

    void run(CaptureSink& sink);

    // Any thread. Takes effect on the next frame.
    void requestConfiguration(const CaptureConfiguration& configuration);
    // Any thread. The pointer moved in a way the server reports to nobody
    // (a warp): look at it again before the next frame.
    void requestPointerCheck();
    // Any thread. Each frame is also drawn straight into `window` (on this
    // display), scaled to fill `size` pixels with its centre kept; 0 stops it.
    void requestTarget(quint32 window, const QSize& size);
    // Any thread. Laid over every frame drawn into the target window, at
    // `position` in its pixels; a still picture is drawn again with it at once.
    void requestOverlay(const QImage& overlay, const QPoint& position);
    // Any thread. run() returns promptly.
    void requestStop();
    // Any thread. Breaks the connection so that a run() stuck on an
    // unresponsive server returns; the session is unusable afterwards.
    void abortConnection();

    // For benchmarks: one complete frame (grab, pointer, scaling) on the calling
    // thread, whether or not anything changed. Not while run() is active.
    std::optional<QImage> captureFrame(QString* error);
    bool usesSharedMemory() const;

    class Private;

private:
    explicit X11CaptureSession(std::unique_ptr<Private> d);
    std::unique_ptr<Private> d;
};

} // namespace oculo::x11
