#pragma once

#include "app/WindowRegistry.h"

#include <QList>
#include <QPointer>
#include <QTimer>
#include <qcoro/qcorotask.h>

#include <chrono>
#include <memory>

class QScreen;

namespace oculo {

class DisplayManager;
class MagnifierState;
class MagnifierWindow;
class MagnifierWindowFactory;
class MouseTracker;
class PermissionManager;
class Reaction;
class ScreenCaptureService;
class SettingsStore;
class UpdateService;

// Everything that exists once per process: the magnifier windows (at least one
// after launch, unless a start at login found none to open), the launch sequence, restarting
// capture when screens change or the system wakes, recovering from missing capture permission, and
// the clean-up when the application quits. The services and the factory must outlive it.
class ApplicationCore final : public WindowRegistry {
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds systemWakeDelay{500};

    ApplicationCore(MouseTracker& mouseTracker, DisplayManager& displayManager,
                    PermissionManager& permissionManager, MagnifierWindowFactory& windowFactory,
                    QObject* parent = nullptr);
    ~ApplicationCore() override;

    int windowCount() const override;
    MagnifierState* activeState() const override;
    void createNewWindow() override;
    void bringWindowsBack() override;
    void quit() override;

    // In creation order.
    QList<MagnifierWindow*> windows() const { return m_windows; }
    // The first window that has keyboard focus, else the first the user can
    // see (not minimised, on this desktop), else the first, else none.
    MagnifierWindow* activeWindow() const;
    bool isTrackingStarted() const { return m_isTrackingStarted; }
    bool isTerminating() const { return m_isTerminating; }

    // Takes the update service; its automatic checks start with the launch
    // and its requests to quit end the application.
    void setUpdateService(std::unique_ptr<UpdateService> service);
    UpdateService* updateService() const { return m_updateService.get(); }

    // Before the launch: the windows' settings are kept in `store`, every open
    // window's, and the launch opens every window the last run had open. Without
    // a store each window saves itself and the launch opens one.
    void setSettingsStore(SettingsStore* store) { m_store = store; }
    // A start at login opens no window unless the last run ended with one open.
    void setStartedAtLogin(bool atLogin) { m_isStartedAtLogin = atLogin; }

    // Returns at once; the launch runs as a task on the event loop.
    void applicationDidFinishLaunching();
    // Oculo was started again: acts as when the application becomes active and
    // brings the magnifiers back.
    void activateFromAnotherStart();
    // Closes every window for good; runs when the application is about to quit.
    void applicationWillTerminate();
    // Writes every window's changes that wait for their save delay, and which
    // windows are open.
    void savePendingChanges();

    // Drops a closed window; the last one is replaced by a new one.
    void removeWindow(const MagnifierWindow& window);

    // The user asks to be asked for capture again (the placeholder's button):
    // checks the permission once more and, when granted, starts every capture.
    void askForPermissionAgain();

    QCoro::Task<> restartAllCaptures();
    QCoro::Task<> recoverFromPermissionDenialIfNeeded();

    // After the event loop has ended: lets the streams that closing windows
    // stopped finish stopping, for at most `timeout`. True when all did.
    bool finishStoppingCaptures(std::chrono::milliseconds timeout);

Q_SIGNALS:
    // The launch begins; no window exists yet.
    void launching();
    // Quitting begins; the windows are still open.
    void terminating();

public Q_SLOTS:
    // logind's PrepareForSleep; false means the system has just woken.
    void handlePrepareForSleep(bool goingToSleep);

private:
    QCoro::Task<> launch();
    QCoro::Task<> checkPermissionAndStart();
    void openWindowsAtLaunch();
    void addWindow(MagnifierWindow* window);
    // Records every open window in the store, when there is one.
    void rememberOpenWindows();
    void setupDisplayWakeObserver();
    void removeDisplayWakeObserver();
    void setupPermissionRecoveryObserver();
    void removePermissionRecoveryObserver();
    void watchScreen(QScreen* screen);
    void notifyIfActiveChanged();

    MouseTracker& m_mouseTracker;
    DisplayManager& m_displayManager;
    PermissionManager& m_permissionManager;
    MagnifierWindowFactory& m_windowFactory;
    std::unique_ptr<UpdateService> m_updateService;
    SettingsStore* m_store = nullptr;

    QList<MagnifierWindow*> m_windows;
    QPointer<MagnifierWindow> m_lastActive;
    QPointer<MagnifierWindow> m_lastFocused; // the last that had the keyboard
    QList<QPointer<ScreenCaptureService>> m_stoppingCaptures;

    QPointer<Reaction> m_displayWakeReaction;
    QPointer<Reaction> m_permissionRecoveryReaction;
    QTimer m_systemWakeTimer;
    bool m_isListeningForSleep = false;
    bool m_isTrackingStarted = false;
    bool m_isTerminating = false;
    bool m_isActivationRequested = false;
    bool m_isStartedAtLogin = false;
    bool m_isLaunchDone = false;
    bool m_isRecordPaused = false; // while several windows open or save at once
    bool m_isRecordFinal = false;  // from quitting on
};

} // namespace oculo
