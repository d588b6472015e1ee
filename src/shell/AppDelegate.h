#pragma once

#include "app/WindowRegistry.h"

#include <QList>
#include <QPoint>
#include <QPointer>
#include <QTimer>
#include <QUuid>
#include <qcoro/qcorotask.h>

#include <chrono>
#include <functional>
#include <memory>

class QAction;
class QScreen;

namespace oculo {

class CaptureBackend;
class DisplayManager;
class MagnifierState;
class MagnifierWindowController;
class MouseTracker;
class PermissionManager;
class Reaction;
class RegionOverlayCoordinator;
class ScreenCaptureService;
class SettingsStore;
class UpdateService;
class WindowManagerSource;

// Everything that exists once per process: the magnifier windows (at least one
// after launch), the launch sequence, restarting capture when screens change
// or the system wakes, recovering from missing capture permission, and the
// clean-up when the application quits. The services must outlive it.
class AppDelegate final : public WindowRegistry {
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds systemWakeDelay{500};

    AppDelegate(MouseTracker& mouseTracker, DisplayManager& displayManager,
                PermissionManager& permissionManager, CaptureBackend& backend, SettingsStore& store,
                QObject* parent = nullptr);
    ~AppDelegate() override;

    int windowCount() const override;
    MagnifierState* activeState() const override;
    void createNewWindow() override;
    void bringWindowsBack() override;
    void quit() override;

    // In creation order.
    QList<MagnifierWindowController*> windowControllers() const { return m_windowControllers; }
    // The first window that has keyboard focus, else the first the user can
    // see (not minimised, on this desktop), else the first, else none.
    MagnifierWindowController* activeWindowController() const;
    bool isTrackingStarted() const { return m_isTrackingStarted; }
    bool isTerminating() const { return m_isTerminating; }
    RegionOverlayCoordinator& regionOverlays() const { return *m_regionOverlays; }

    // Takes the update service; its automatic checks start with the launch
    // and its requests to quit end the application.
    void setUpdateService(std::unique_ptr<UpdateService> service);
    UpdateService* updateService() const { return m_updateService.get(); }

    // Desktops and docking of windows opened from now on, and the window that
    // gets the keyboard back after a region overlay; must outlive them.
    void setWindowManagerSource(WindowManagerSource* source);

    // Right-clicks on every window, present and future, go here.
    void setContextMenuHandler(std::function<void(QPoint globalPos)> handler);
    // Every magnifier window, present and future, answers the keys of these actions.
    void setWindowActions(const QList<QAction*>& actions);

    // Returns at once; the launch runs as a task on the event loop.
    void applicationDidFinishLaunching();
    // Oculo was started again: acts as when the application becomes active and
    // brings the magnifiers back.
    void activateFromAnotherStart();
    // Closes every window for good; runs when the application is about to quit.
    void applicationWillTerminate();
    // Writes every window's changes that wait for their save delay.
    void savePendingChanges();

    // Drops a closed window; the last one is replaced by a new one.
    void removeWindowController(const MagnifierWindowController& controller);

    QCoro::Task<> restartAllCaptures();
    QCoro::Task<> recoverFromPermissionDenialIfNeeded();

    // After the event loop has ended: lets the streams that closing windows
    // stopped finish stopping, for at most `timeout`. True when all did.
    bool finishStoppingCaptures(std::chrono::milliseconds timeout);

public Q_SLOTS:
    // logind's PrepareForSleep; false means the system has just woken.
    void handlePrepareForSleep(bool goingToSleep);

private:
    QCoro::Task<> launch();
    QCoro::Task<> checkPermissionAndStart();
    void setupDisplayWakeObserver();
    void removeDisplayWakeObserver();
    void setupPermissionRecoveryObserver();
    void removePermissionRecoveryObserver();
    void watchScreen(QScreen* screen);
    void notifyIfActiveChanged();
    void addWindowActions(MagnifierWindowController& controller) const;

    MouseTracker& m_mouseTracker;
    DisplayManager& m_displayManager;
    PermissionManager& m_permissionManager;
    CaptureBackend& m_backend;
    SettingsStore& m_store;
    std::unique_ptr<UpdateService> m_updateService;
    WindowManagerSource* m_windowManager = nullptr;

    QList<MagnifierWindowController*> m_windowControllers;
    // Reads m_windowControllers, so it is declared after it and goes first.
    std::unique_ptr<RegionOverlayCoordinator> m_regionOverlays;
    QPointer<MagnifierWindowController> m_lastActive;
    QPointer<MagnifierWindowController> m_lastFocused; // the last that had the keyboard
    std::function<void(QPoint)> m_contextMenuHandler;
    QList<QPointer<QAction>> m_windowActions;
    QList<QPointer<ScreenCaptureService>> m_stoppingCaptures;

    QPointer<Reaction> m_displayWakeReaction;
    QPointer<Reaction> m_permissionRecoveryReaction;
    QTimer m_systemWakeTimer;
    bool m_isListeningForSleep = false;
    bool m_isTrackingStarted = false;
    bool m_isTerminating = false;
    bool m_isActivationRequested = false;
};

} // namespace oculo
