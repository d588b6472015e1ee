#pragma once

#include "app/MagnifierWindow.h"
#include "platform/DisplaySource.h"
#include "state/MagnificationMode.h"

#include <QObject>
#include <QPoint>
#include <QPointer>
#include <QRectF>
#include <QSharedPointer>
#include <QUuid>
#include <qcoro/qcorotask.h>

#include <functional>
#include <memory>
#include <optional>

namespace oculo {

class CaptureBackend;
class DisplayManager;
class DockingController;
class FloatingPanel;
class MagnifierState;
class MouseTracker;
class PermissionManager;
class Reaction;
class ScreenCaptureService;
class SettingsStore;
class WindowManagerSource;

// Owns one magnifier window: its panel, its state and its capture stream, and
// keeps them in step. The tracker and the managers are shared by every
// window and must outlive the controller. Main thread only.
class MagnifierWindowController : public MagnifierWindow {
    Q_OBJECT

public:
    // Where to capture: a rectangle relative to `display`'s top-left corner, or,
    // without a display, a rectangle at the origin of the window's capture size.
    struct CaptureRegion {
        QRectF rect;
        std::optional<DisplayInfo> display;
    };

    static constexpr int minimumPlacementOffset = 20;
    static constexpr int maximumPlacementOffset = 100;
    // A saved frame is reused only when at least this much of it (each side) is
    // on a current screen; less could not be grabbed to move it back.
    static constexpr double minimumVisibleSide = 50.0;

    // With `copyFrom`, the new window takes its zoom, mode, transparency,
    // keep-active and stay-in-space settings, and nothing else.
    MagnifierWindowController(MouseTracker& mouseTracker, DisplayManager& displayManager,
                              PermissionManager& permissionManager, CaptureBackend& backend,
                              SettingsStore& store, MagnifierState* copyFrom,
                              QObject* parent = nullptr);
    ~MagnifierWindowController() override;

    QUuid id() const override { return m_id; }
    MagnifierState& state() const override { return *m_state; }
    QPointer<FloatingPanel> panel() const { return m_panel; }
    ScreenCaptureService& screenCaptureService() const override { return *m_captureService; }
    std::optional<DisplayInfo> currentCaptureDisplay() const { return m_currentCaptureDisplay; }
    DockPosition lastKnownDockPosition() const;
    bool isClosed() const { return m_closed; }

    // Desktops, docking moves and the window list; before setup(). Without
    // one the window docks but moves nobody else's windows.
    void setWindowManagerSource(WindowManagerSource* source) { m_windowManager = source; }

    // Builds and shows the window and starts observing.
    void setup();

    CaptureRegion calculateCaptureRegion() const;
    QCoro::Task<> startCapture() override;
    QCoro::Task<> updateCaptureRegion();
    QCoro::Task<> restartCapture() override;

    bool hasKeyboardFocus() const override;
    bool isShownToUser() const override;
    // Shows the window where the user is: restored from minimised, on the
    // current desktop when it stays in its space, in front. A window hidden
    // behind a region overlay stays hidden.
    void bringBack() override;
    void activate() override;
    void close() override;

Q_SIGNALS:
    // A right-click on the magnifier window; with no receiver the click goes to the view.
    void contextMenuRequested(QPoint globalPos);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void setupPanel();
    std::optional<QRectF> restorableFrame() const;
    static bool isTakenByAnotherPanel(const QRectF& frame);
    void updateMotionBasedOpacity(MagnificationMode mode, bool hideWhileMoving);
    Reaction& addReaction(std::function<QCoro::Task<>(MagnifierWindowController&)> reaction);
    void startObservationLoops();
    void dropPanel();
    void stopCaptureInBackground();

    const QUuid m_id = QUuid::createUuid();
    MouseTracker& m_mouseTracker;
    DisplayManager& m_displayManager;
    PermissionManager& m_permissionManager;
    std::unique_ptr<MagnifierState> m_state;
    // Shared with the task that stops the stream on close, so the stream is
    // stopped before the service is dropped even when the controller goes first.
    QSharedPointer<ScreenCaptureService> m_captureService;
    QPointer<FloatingPanel> m_panel;
    QPointer<FloatingPanel> m_retiredPanel; // hidden, waiting for its deferred deletion
    std::optional<DisplayInfo> m_currentCaptureDisplay;
    WindowManagerSource* m_windowManager = nullptr;
    std::unique_ptr<WindowManagerSource> m_noWindowManager;
    DockingController* m_docking = nullptr;
    bool m_closed = false;
};

} // namespace oculo
