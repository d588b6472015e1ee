#pragma once

#include "app/MagnifierWindow.h"
#include "state/MagnificationMode.h"

#include <QObject>
#include <QPoint>
#include <QPointer>
#include <QRectF>
#include <QUuid>
#include <QVariantMap>
#include <qcoro/qcorotask.h>

#include <functional>
#include <memory>
#include <optional>

namespace oculo {

class CaptureBackend;
class DisplayManager;
class DockingController;
class FloatingPanel;
class MagnifierCapture;
class MagnifierState;
class MouseTracker;
class PermissionManager;
class Reaction;
class ScreenCaptureService;
class SettingsStore;
class WindowManagerSource;
struct WindowingLimits;

// Owns one magnifier window: its panel, its state and its capture stream, and
// keeps them in step. The tracker and the managers are shared by every
// window and must outlive the controller. Main thread only.
class MagnifierWindowController : public MagnifierWindow {
    Q_OBJECT

public:
    static constexpr int minimumPlacementOffset = 20;
    static constexpr int maximumPlacementOffset = 100;
    // A saved frame is reused only when at least this much of it (each side) is
    // on a current screen; less could not be grabbed to move it back.
    static constexpr double minimumVisibleSide = 50.0;

    // With `copyFrom`, the new window takes its zoom, mode, transparency,
    // keep-active and stay-in-space settings and its picture (filter, scaling,
    // crosshair) and whether it follows the keyboard, and nothing else.
    MagnifierWindowController(MouseTracker& mouseTracker, DisplayManager& displayManager,
                              PermissionManager& permissionManager, CaptureBackend& backend,
                              SettingsStore& store, MagnifierState* copyFrom,
                              QObject* parent = nullptr);
    // A window saved at the end of an earlier run, from its saved values.
    MagnifierWindowController(MouseTracker& mouseTracker, DisplayManager& displayManager,
                              PermissionManager& permissionManager, CaptureBackend& backend,
                              SettingsStore& store, const QVariantMap& savedValues,
                              QObject* parent = nullptr);
    ~MagnifierWindowController() override;

    QUuid id() const override { return m_id; }
    MagnifierState& state() const override { return *m_state; }
    QPointer<FloatingPanel> panel() const { return m_panel; }
    // What the window shows; it captures once startCapture() is called.
    MagnifierCapture& capture() const { return *m_capture; }
    ScreenCaptureService& screenCaptureService() const override;
    DockPosition lastKnownDockPosition() const;
    bool isClosed() const { return m_closed; }

    // Desktops, docking moves and the window list; before setup(). Without
    // one the window docks but moves nobody else's windows.
    void setWindowManagerSource(WindowManagerSource* source) { m_windowManager = source; }
    // What the windowing system lets the window do; before setup().
    void setWindowingLimits(const WindowingLimits& limits);

    // Builds and shows the window and starts observing.
    void setup();

    QCoro::Task<> startCapture() override;
    QCoro::Task<> restartCapture() override;

    bool hasKeyboardFocus() const override;
    bool isShownToUser() const override;
    // Shows the window where the user is: restored from minimised, on the
    // current desktop when it stays in its space, in front. A window hidden
    // behind a region overlay stays hidden.
    void bringBack() override;
    void hideFromUser() override;
    bool isHiddenByUser() const override { return m_hiddenByUser; }
    void activate() override;
    void close() override;

Q_SIGNALS:
    // A right-click on the magnifier window; with no receiver the click goes to the view.
    void contextMenuRequested(QPoint globalPos);
    // The placeholder's "Ask Again": capture was refused in a way the user
    // may take back, and they want to be asked once more.
    void permissionRetryRequested();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    MagnifierWindowController(MouseTracker& mouseTracker, DisplayManager& displayManager,
                              PermissionManager& permissionManager, CaptureBackend& backend,
                              std::unique_ptr<MagnifierState> state, QObject* parent);
    void setupPanel();
    std::optional<QRectF> restorableFrame() const;
    QRectF placedFrame(const FloatingPanel& panel) const;
    static bool isTakenByAnotherPanel(const QRectF& frame);
    void updateMotionBasedOpacity(MagnificationMode mode, bool hideWhileMoving);
    Reaction& addReaction(std::function<QCoro::Task<>(MagnifierWindowController&)> reaction);
    void startObservationLoops();
    void tellCaptureWindowSize();
    void dropPanel();

    const QUuid m_id = QUuid::createUuid();
    MouseTracker& m_mouseTracker;
    PermissionManager& m_permissionManager;
    std::unique_ptr<MagnifierState> m_state;
    // After the state it reads, so it goes first.
    std::unique_ptr<MagnifierCapture> m_capture;
    QPointer<FloatingPanel> m_panel;
    QPointer<FloatingPanel> m_retiredPanel; // hidden, waiting for its deferred deletion
    WindowManagerSource* m_windowManager = nullptr;
    std::unique_ptr<WindowManagerSource> m_noWindowManager;
    DockingController* m_docking = nullptr;
    bool m_closed = false;
    bool m_hiddenByUser = false;
};

} // namespace oculo
