#pragma once

#include "platform/DisplaySource.h"

#include <QObject>
#include <QRectF>
#include <QSharedPointer>
#include <QSize>
#include <QSizeF>
#include <qcoro/qcorotask.h>

#include <functional>
#include <optional>

namespace oculo {

class CaptureBackend;
class DisplayManager;
class FocusFollower;
class MagnifierState;
class MouseTracker;
class Reaction;
class ScreenCaptureService;

// The capture stream of one magnifier window, kept on what its state asks
// for: the pointer or the fixed region, the zoom, and the window's size. It
// moves the stream to the display the rectangle is on and hands the frames to
// the state. Knows no widgets: the window's owner tells it the window's size.
// The state, tracker, display manager and backend must outlive it. Main
// thread only.
class MagnifierCapture : public QObject {
    Q_OBJECT

public:
    // Where to capture: a rectangle relative to `display`'s top-left corner, or,
    // without a display, a rectangle at the origin of the window's capture size.
    struct CaptureRegion {
        QRectF rect;
        std::optional<DisplayInfo> display;
    };

    // Until setWindowSize(), the rectangle is `sizeWithoutWindow` at the
    // origin, on no display.
    MagnifierCapture(MagnifierState& state, MouseTracker& mouseTracker,
                     DisplayManager& displayManager, CaptureBackend& backend,
                     const QSizeF& sizeWithoutWindow, QObject* parent = nullptr);
    ~MagnifierCapture() override;

    ScreenCaptureService& screenCaptureService() const { return *m_service; }
    std::optional<DisplayInfo> currentCaptureDisplay() const { return m_currentCaptureDisplay; }
    bool isClosed() const { return m_closed; }

    // What the picture fills, in logical and in device pixels; from the next
    // start or rectangle update on. Device pixels bound the output size.
    void setWindowSize(const QSizeF& logical, const QSize& device);

    // In follow-mouse mode, and while the state asks for it, the caret or
    // focused control that `focus` reports leads instead of the pointer. Set
    // before startObserving(); `focus` must outlive the capture.
    void setFocusFollower(FocusFollower* focus) { m_focus = focus; }

    // Follows the state, the pointer and the stream from now on.
    void startObserving();

    CaptureRegion calculateCaptureRegion() const;
    QCoro::Task<> startCapture();
    QCoro::Task<> updateCaptureRegion();
    // Stops the stream, then starts it again on the current display list.
    QCoro::Task<> restartCapture();

    // Stops the stream in the background and never starts one again; safe to
    // call more than once.
    void close();

Q_SIGNALS:
    void windowSizeChanged();

private:
    Reaction& addReaction(std::function<QCoro::Task<>(MagnifierCapture&)> reaction);
    void applyStreamSettings();
    bool followsMouse() const;
    // The followed keyboard place, while it leads.
    std::optional<QPointF> focusLocation() const;

    MagnifierState& m_state;
    MouseTracker& m_mouseTracker;
    FocusFollower* m_focus = nullptr;
    DisplayManager& m_displayManager;
    // Shared with the task that stops the stream on close, so the stream is
    // stopped before the service is dropped even when this object goes first.
    QSharedPointer<ScreenCaptureService> m_service;
    QSizeF m_sizeWithoutWindow;
    std::optional<QSizeF> m_windowSize;
    QSize m_windowDeviceSize;
    std::optional<DisplayInfo> m_currentCaptureDisplay;
    bool m_observing = false;
    bool m_closed = false;
};

} // namespace oculo
