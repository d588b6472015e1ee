#pragma once

#include "platform/CaptureBackend.h"

#include <QImage>
#include <QObject>
#include <QPointer>
#include <QRectF>
#include <QTimer>
#include <qcoro/qcorotask.h>

#include <memory>
#include <optional>

namespace oculo {

// Turns one rectangle of one display into a stream of images for one
// magnifier window. Rectangle changes are coalesced to at most one stream
// reconfiguration per 33 ms, last one wins. Main thread only; frames are
// produced on the backend's capture thread and arrive here finished.
class ScreenCaptureService : public QObject {
    Q_OBJECT
    Q_PROPERTY(QImage currentFrame READ currentFrame NOTIFY currentFrameChanged FINAL)
    Q_PROPERTY(bool isCapturing READ isCapturing NOTIFY isCapturingChanged FINAL)

public:
    static constexpr int targetFrameRate = 30;
    static constexpr int regionCoalescingMs = 33;

    // `backend` must outlive the service.
    explicit ScreenCaptureService(CaptureBackend& backend, QObject* parent = nullptr);
    ~ScreenCaptureService() override;

    // Null when not capturing.
    QImage currentFrame() const { return m_currentFrame; }
    bool isCapturing() const { return m_isCapturing; }
    std::optional<DisplayInfo> currentDisplay() const { return m_currentDisplay; }
    std::optional<CaptureConfiguration> currentConfiguration() const { return m_currentConfig; }

    // Stops any running capture first. `sourceRect` is in logical pixels,
    // relative to the display's top-left corner.
    QCoro::Task<std::optional<CaptureError>> startCapture(const DisplayInfo& display,
                                                          const QRectF& sourceRect);
    QCoro::Task<> stopCapture(); // never fails; clears everything
    // Returns at once; applied within 33 ms unless a newer rectangle replaces it.
    QCoro::Task<> updateCaptureRegion(const QRectF& rect);
    bool hasPendingRegionUpdate() const { return m_regionUpdateTimer.isActive(); }
    // Tells a running stream to draw the pointer where it is now.
    void pointerMoved();
    // Whether rectangles from the next start or update on follow the pointer.
    void setFollowsPointer(bool follows) { m_followsPointer = follows; }
    // True while the running stream keeps the rectangle on the pointer by
    // itself: pointer moves then need only pointerMoved(), not new rectangles.
    bool followsPointerItself() const;
    // Where running and later streams also draw their frames themselves
    // (a native window id and its size in device pixels); 0 stops that.
    void setPresentationTarget(quintptr window, const QSize& size);
    // What running and later streams lay over the frames they draw themselves.
    void setPresentationOverlay(const QImage& overlay, const QPoint& position);

    static CaptureConfiguration configurationFor(const QRectF& sourceRect);
    // Output images are at most this large (the window's size in device
    // pixels), keeping their proportions; from the next start or rectangle.
    void setMaximumOutputSize(const QSize& size) { m_maximumOutputSize = size; }
    // What every frame goes through (filter, scaling, crosshair). A running
    // stream gets it at once, whatever its rectangle is waiting for.
    void setPictureOptions(const PictureOptions& options);

Q_SIGNALS:
    void currentFrameChanged();
    void isCapturingChanged(bool capturing);
    // The stream ended on its own and was stopped; nothing restarts it here.
    void captureFailed();
    // A stream that follows the pointer itself saw it leave the display.
    void pointerLeftDisplay();

private:
    void applyPendingRegionUpdate();
    static QCoro::Task<> stopDetached(std::shared_ptr<CaptureStream> stream);
    void handleStreamFailure(const QString& description);
    void setCurrentFrame(const QImage& frame);
    void setCapturing(bool capturing);

    CaptureBackend& m_backend;
    // Shared with the coroutines that await it, so a stream stays alive until
    // its own start, stop or reconfiguration has finished.
    std::shared_ptr<CaptureStream> m_stream;
    std::optional<DisplayInfo> m_currentDisplay;
    std::optional<CaptureConfiguration> m_currentConfig;
    std::optional<QRectF> m_pendingRegionUpdate;
    bool m_followsPointer = false;
    // Owned here so that a stop or the service's end cancels a pending update;
    // nothing is left suspended when the event loop stops turning.
    QTimer m_regionUpdateTimer;
    bool m_startFailed = false; // the stream of the last start never ran
    quint64 m_generation = 0;   // bumped by stop, so stale runs and late frames end quietly
    bool m_isCapturing = false;
    QImage m_currentFrame;
    QSize m_maximumOutputSize; // empty: no bound beyond twice the rectangle
    PictureOptions m_pictureOptions;
    quintptr m_targetWindow = 0;
    QSize m_targetSize;
    QImage m_overlay;
    QPoint m_overlayPosition;
};

} // namespace oculo
