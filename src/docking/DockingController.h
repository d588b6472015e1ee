#pragma once

#include "platform/WindowManagerSource.h"
#include "state/MagnificationMode.h"

#include <QObject>
#include <QPointer>
#include <QRectF>
#include <QTimer>

#include <chrono>
#include <optional>

class QScreen;
class QWindow;

namespace oculo {

class MagnifierState;
class Reaction;

// Keeps one magnifier window on the desktops its state asks for and, while it
// is docked, at its screen's top or bottom edge with other applications'
// windows pushed out of its band. It never moves the window itself: it asks
// for frames through `frameRequested`, which the owner applies. The state and
// the window manager must outlive it. GUI thread only.
class DockingController : public QObject {
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds defaultPushDelay{350};
    static constexpr std::chrono::milliseconds defaultMonitorInterval{500};

    DockingController(MagnifierState& state, WindowManagerSource& windowManager,
                      std::chrono::milliseconds pushDelay = defaultPushDelay,
                      std::chrono::milliseconds monitorInterval = defaultMonitorInterval,
                      QObject* parent = nullptr);
    ~DockingController() override;

    // Starts following `window`, the magnifier's native window, before it is
    // first shown. A position loaded with the state is recorded, not docked
    // again: windows are pushed only from the next desktop or dock change.
    void attach(QWindow* window);
    // Stops the monitor and the pending push; the dock position stays.
    void detach();
    // Puts the window on the desktops its state asks for: every desktop, or
    // the current one when it stays in its space.
    void applyDesktop();

    DockPosition lastKnownDockPosition() const { return m_lastKnownDockPosition; }
    bool isMonitoring() const { return m_monitor.isActive(); }
    // The frame docked at `position` on the window's screen, at its height.
    std::optional<QRectF> dockedFrame(DockPosition position) const;
    bool isOnCurrentDesktop() const;
    // Moves other applications' windows out of the band, once.
    void pushWindowsAway();

Q_SIGNALS:
    void frameRequested(const QRectF& frame);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void dockPositionChanged();
    void currentDesktopChanged();
    // Pushes again after the push delay, `count` times, each wait twice the last.
    void schedulePushes(int count);
    void redockOnScreenChange();
    void watchScreen(QScreen* screen);
    QScreen* screen() const;

    MagnifierState& m_state;
    WindowManagerSource& m_windowManager;
    QPointer<QWindow> m_window;
    QPointer<Reaction> m_screenReaction;
    DockPosition m_lastKnownDockPosition = DockPosition::none;
    std::optional<quint32> m_appliedDesktop;
    bool m_desktopUnchecked = false; // shown, not yet mapped
    QTimer m_delayedPush;
    std::chrono::milliseconds m_pushDelay;
    int m_delayedPushesLeft = 0;
    QTimer m_monitor;
};

} // namespace oculo
