#include "app/ApplicationCore.h"

#include "app/MagnifierWindow.h"
#include "capture/DisplayManager.h"
#include "capture/MouseTracker.h"
#include "capture/PermissionManager.h"
#include "capture/ScreenCaptureService.h"
#include "common/FireAndForget.h"
#include "common/Reaction.h"
#include "state/MagnifierState.h"
#include "state/OpenWindows.h"
#include "update/UpdateService.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QScreen>
#include <QWindow>

#include <algorithm>
#include <utility>

namespace oculo {

namespace {

const QString login1Service = QStringLiteral("org.freedesktop.login1");
const QString login1Path = QStringLiteral("/org/freedesktop/login1");
const QString login1Manager = QStringLiteral("org.freedesktop.login1.Manager");
const QString prepareForSleep = QStringLiteral("PrepareForSleep");

// Deleted, or closing everything, while a task was suspended.
bool isGone(const ApplicationCore* core) {
    return core == nullptr || core->isTerminating();
}

QCoro::Task<> startCaptureOf(QPointer<MagnifierWindow> weakWindow) {
    if (MagnifierWindow* window = weakWindow.data()) {
        co_await window->startCapture();
    }
}

} // namespace

ApplicationCore::ApplicationCore(MouseTracker& mouseTracker, DisplayManager& displayManager,
                                 PermissionManager& permissionManager,
                                 MagnifierWindowFactory& windowFactory, QObject* parent)
    : WindowRegistry(parent)
    , m_mouseTracker(mouseTracker)
    , m_displayManager(displayManager)
    , m_permissionManager(permissionManager)
    , m_windowFactory(windowFactory) {
    m_systemWakeTimer.setSingleShot(true);
    m_systemWakeTimer.setInterval(systemWakeDelay);
    connect(&m_systemWakeTimer, &QTimer::timeout, this, [this] {
        if (m_displayWakeReaction) {
            m_displayWakeReaction->notifyChange();
        }
    });
    if (auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        connect(app, &QGuiApplication::focusWindowChanged, this,
                &ApplicationCore::notifyIfActiveChanged);
    }
    connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, this,
            &ApplicationCore::applicationWillTerminate);
    // Capture refused after the launch (sharing stopped on Wayland): every
    // window says why and offers to ask again; the recovery grants it back.
    connect(&m_permissionManager, &PermissionManager::permissionStatusChanged, this,
            [this](PermissionManager::PermissionStatus status) {
                if (status == PermissionManager::PermissionStatus::denied) {
                    for (MagnifierWindow* window : std::as_const(m_windows)) {
                        window->state().setHasScreenRecordingPermission(false);
                    }
                }
            });
}

ApplicationCore::~ApplicationCore() {
    applicationWillTerminate();
}

int ApplicationCore::windowCount() const {
    return static_cast<int>(m_windows.size());
}

MagnifierState* ApplicationCore::activeState() const {
    MagnifierWindow* active = activeWindow();
    return active != nullptr ? &active->state() : nullptr;
}

MagnifierWindow* ApplicationCore::activeWindow() const {
    for (MagnifierWindow* window : m_windows) {
        if (window->hasKeyboardFocus()) {
            return window;
        }
    }
    // The menu must not act on a window the user cannot see.
    for (MagnifierWindow* window : m_windows) {
        if (window->isShownToUser()) {
            return window;
        }
    }
    return m_windows.isEmpty() ? nullptr : m_windows.first();
}

void ApplicationCore::setUpdateService(std::unique_ptr<UpdateService> service) {
    m_updateService = std::move(service);
    if (m_updateService) {
        connect(m_updateService.get(), &UpdateService::terminationRequested, this,
                &ApplicationCore::quit);
    }
}

void ApplicationCore::createNewWindow() {
    if (m_isTerminating) {
        return;
    }
    // New windows follow the first window, not the focused one.
    MagnifierState* source = m_windows.isEmpty() ? nullptr : &m_windows.first()->state();
    addWindow(m_windowFactory.createWindow(source, this));
}

void ApplicationCore::addWindow(MagnifierWindow* window) {
    if (window == nullptr) {
        return;
    }
    connect(window, &MagnifierWindow::closed, this, [this, window] { removeWindow(*window); });
    window->state().setHasScreenRecordingPermission(m_permissionManager.permissionStatus() ==
                                                    PermissionManager::PermissionStatus::granted);
    if (m_store != nullptr) {
        window->state().setSavedByOwner(true);
        connect(&window->state(), &MagnifierState::saveRequested, this,
                &ApplicationCore::rememberOpenWindows);
    }
    m_windows.append(window);
    m_lastActive = activeWindow();
    Q_EMIT windowsChanged();
    rememberOpenWindows();
    fireAndForget(startCaptureOf(window));
}

void ApplicationCore::openWindowsAtLaunch() {
    if (m_store == nullptr) {
        m_isLaunchDone = true;
        createNewWindow();
        return;
    }
    const OpenWindows record = OpenWindows::read(*m_store);
    m_isLaunchDone = true;
    // At login only the windows shown when the session ended; a start by hand opens all.
    m_isRecordPaused = true;
    if (!m_isStartedAtLogin || record.firstIsShown) {
        createNewWindow();
    }
    for (const QVariantMap& saved : record.others) {
        if (m_isTerminating) {
            break;
        }
        if (!m_isStartedAtLogin || OpenWindows::isShown(saved)) {
            addWindow(m_windowFactory.restoreWindow(saved, this));
        }
    }
    m_isRecordPaused = false;
    rememberOpenWindows();
}

void ApplicationCore::rememberOpenWindows() {
    if (m_store == nullptr || m_isRecordPaused || m_isRecordFinal) {
        return;
    }
    QList<OpenWindows::Window> windows;
    for (const MagnifierWindow* window : std::as_const(m_windows)) {
        windows.append({&window->state(), !window->isHiddenByUser()});
    }
    OpenWindows::write(*m_store, windows);
}

void ApplicationCore::removeWindow(const MagnifierWindow& window) {
    const QUuid id = window.id();
    QList<MagnifierWindow*> removed;
    m_windows.removeIf([&](MagnifierWindow* candidate) {
        if (candidate->id() == id) {
            removed.append(candidate);
            return true;
        }
        return false;
    });
    if (removed.isEmpty()) {
        return;
    }
    for (MagnifierWindow* gone : std::as_const(removed)) {
        // Usually called from inside the window's own close().
        disconnect(gone, &MagnifierWindow::closed, this, nullptr);
        gone->deleteLater();
    }
    // Quitting closes every window; replacing the last one would undo that.
    if (m_windows.isEmpty() && !m_isTerminating) {
        createNewWindow();
        return;
    }
    m_lastActive = activeWindow();
    Q_EMIT windowsChanged();
    rememberOpenWindows();
}

void ApplicationCore::notifyIfActiveChanged() {
    for (MagnifierWindow* window : std::as_const(m_windows)) {
        if (window->hasKeyboardFocus()) {
            m_lastFocused = window;
        }
    }
    MagnifierWindow* active = activeWindow();
    if (active != m_lastActive.data()) {
        m_lastActive = active;
        Q_EMIT windowsChanged();
    }
}

void ApplicationCore::quit() {
    QCoreApplication::quit();
}

void ApplicationCore::applicationDidFinishLaunching() {
    fireAndForget(launch());
}

QCoro::Task<> ApplicationCore::launch() {
    setupDisplayWakeObserver();
    setupPermissionRecoveryObserver();
    Q_EMIT launching();
    if (m_updateService) {
        m_updateService->startAutomaticChecks();
    }
    co_await checkPermissionAndStart();
}

QCoro::Task<> ApplicationCore::checkPermissionAndStart() {
    QPointer<ApplicationCore> self(this);
    const bool granted = co_await m_permissionManager.checkPermission();
    if (isGone(self.data())) {
        co_return;
    }
    if (!granted) {
        // The window explains what is missing; tracking waits for recovery.
        openWindowsAtLaunch();
        co_return;
    }
    co_await m_displayManager.refreshDisplays();
    if (isGone(self.data())) {
        co_return;
    }
    m_mouseTracker.startTracking();
    m_isTrackingStarted = true;
    openWindowsAtLaunch();
}

void ApplicationCore::setupDisplayWakeObserver() {
    if (m_displayWakeReaction) {
        return;
    }
    QPointer<ApplicationCore> self(this);
    m_displayWakeReaction = new Reaction(this, [self]() -> QCoro::Task<> {
        ApplicationCore* core = self.data();
        if (!isGone(core)) {
            co_await core->restartAllCaptures();
        }
    });
    if (auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        m_displayWakeReaction->on(app, &QGuiApplication::screenAdded)
            .on(app, &QGuiApplication::screenRemoved);
        connect(app, &QGuiApplication::screenAdded, m_displayWakeReaction.data(),
                [this](QScreen* screen) { watchScreen(screen); });
        const auto screens = QGuiApplication::screens();
        for (QScreen* screen : screens) {
            watchScreen(screen);
        }
    }

    // Without a system bus (containers, some sessions) only screen changes restart.
    QDBusConnection bus = QDBusConnection::systemBus();
    if (bus.isConnected()) {
        m_isListeningForSleep =
            bus.connect(login1Service, login1Path, login1Manager, prepareForSleep, this,
                        SLOT(handlePrepareForSleep(bool)));
    }
}

void ApplicationCore::watchScreen(QScreen* screen) {
    if (m_displayWakeReaction) {
        m_displayWakeReaction->on(screen, &QScreen::geometryChanged);
    }
}

void ApplicationCore::handlePrepareForSleep(bool goingToSleep) {
    if (!goingToSleep && m_displayWakeReaction) {
        // Give the displays a moment to come back before capturing again.
        m_systemWakeTimer.start();
    }
}

void ApplicationCore::removeDisplayWakeObserver() {
    m_systemWakeTimer.stop();
    delete m_displayWakeReaction.data();
    if (m_isListeningForSleep) {
        QDBusConnection::systemBus().disconnect(login1Service, login1Path, login1Manager,
                                                prepareForSleep, this,
                                                SLOT(handlePrepareForSleep(bool)));
        m_isListeningForSleep = false;
    }
}

QCoro::Task<> ApplicationCore::restartAllCaptures() {
    QPointer<ApplicationCore> self(this);
    co_await m_displayManager.refreshDisplays();
    if (self.isNull()) {
        co_return;
    }
    const QList<QPointer<MagnifierWindow>> snapshot(m_windows.cbegin(), m_windows.cend());
    for (const QPointer<MagnifierWindow>& weakWindow : snapshot) {
        if (isGone(self.data())) {
            co_return;
        }
        if (MagnifierWindow* window = weakWindow.data()) {
            co_await window->restartCapture();
        }
    }
}

void ApplicationCore::setupPermissionRecoveryObserver() {
    auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    if (m_permissionRecoveryReaction || app == nullptr) {
        return;
    }
    QPointer<ApplicationCore> self(this);
    m_permissionRecoveryReaction = new Reaction(this, [self]() -> QCoro::Task<> {
        ApplicationCore* core = self.data();
        // A refusal the user can reverse only by asking again (a share dialog
        // they cancelled) is not asked again each time Oculo becomes active.
        if (!isGone(core) && (std::exchange(core->m_isActivationRequested, false) ||
                              (QGuiApplication::applicationState() == Qt::ApplicationActive &&
                               core->m_permissionManager.askAgainReason().isEmpty()))) {
            co_await core->recoverFromPermissionDenialIfNeeded();
        }
    });
    m_permissionRecoveryReaction->on(app, &QGuiApplication::applicationStateChanged);
}

void ApplicationCore::bringWindowsBack() {
    if (m_isTerminating) {
        return;
    }
    for (MagnifierWindow* window : std::as_const(m_windows)) {
        window->bringBack();
    }
    MagnifierWindow* target = m_lastFocused;
    if (target == nullptr) {
        target = activeWindow();
    }
    if (target != nullptr) {
        target->activate();
    }
}

void ApplicationCore::activateFromAnotherStart() {
    if (m_isTerminating) {
        return;
    }
    // Whoever starts Oculo by hand after a start at login with no window wants one.
    if (m_windows.isEmpty() && m_isLaunchDone) {
        createNewWindow();
    }
    bringWindowsBack();
    if (m_permissionRecoveryReaction) {
        m_isActivationRequested = true;
        m_permissionRecoveryReaction->notifyChange();
    }
}

void ApplicationCore::askForPermissionAgain() {
    // The recovery's reaction runs the check, so repeated presses fold into one.
    if (!m_isTerminating && m_permissionRecoveryReaction) {
        m_isActivationRequested = true;
        m_permissionRecoveryReaction->notifyChange();
    }
}

void ApplicationCore::removePermissionRecoveryObserver() {
    delete m_permissionRecoveryReaction.data();
}

QCoro::Task<> ApplicationCore::recoverFromPermissionDenialIfNeeded() {
    if (m_permissionManager.permissionStatus() == PermissionManager::PermissionStatus::granted) {
        co_return;
    }
    QPointer<ApplicationCore> self(this);
    const bool granted = co_await m_permissionManager.checkPermission();
    if (!granted || isGone(self.data())) {
        co_return;
    }
    co_await m_displayManager.refreshDisplays();
    if (isGone(self.data())) {
        co_return;
    }
    if (!m_isTrackingStarted) {
        m_mouseTracker.startTracking();
        m_isTrackingStarted = true;
    }
    const QList<QPointer<MagnifierWindow>> snapshot(m_windows.cbegin(), m_windows.cend());
    for (const QPointer<MagnifierWindow>& weakWindow : snapshot) {
        if (isGone(self.data())) {
            co_return;
        }
        if (MagnifierWindow* window = weakWindow.data()) {
            window->state().setHasScreenRecordingPermission(true);
            co_await window->startCapture();
        }
    }
}

void ApplicationCore::applicationWillTerminate() {
    if (m_isTerminating) {
        return;
    }
    m_isTerminating = true;
    removeDisplayWakeObserver();
    removePermissionRecoveryObserver();
    Q_EMIT terminating();
    if (m_updateService) {
        m_updateService->stopAutomaticChecks();
    }
    m_mouseTracker.stopTracking();
    // The save delay would otherwise drop a change made just before quitting.
    savePendingChanges();
    // Closing the windows below must not undo the record of which were open.
    m_isRecordFinal = true;
    const QList<MagnifierWindow*> snapshot = m_windows;
    for (MagnifierWindow* window : snapshot) {
        m_stoppingCaptures.append(&window->screenCaptureService());
        window->close();
    }
    for (MagnifierWindow* window : std::as_const(m_windows)) {
        disconnect(window, &MagnifierWindow::closed, this, nullptr);
        window->deleteLater();
    }
    m_windows.clear();
    m_lastActive = nullptr;
    Q_EMIT windowsChanged();
}

void ApplicationCore::savePendingChanges() {
    // One record for all of them, below.
    m_isRecordPaused = true;
    for (MagnifierWindow* window : std::as_const(m_windows)) {
        window->state().flushPendingSave();
    }
    m_isRecordPaused = false;
    rememberOpenWindows();
}

bool ApplicationCore::finishStoppingCaptures(std::chrono::milliseconds timeout) {
    QElapsedTimer clock;
    clock.start();
    const auto allStopped = [this] {
        return std::all_of(m_stoppingCaptures.cbegin(), m_stoppingCaptures.cend(),
                           [](const QPointer<ScreenCaptureService>& service) { return !service; });
    };
    constexpr int sliceMs = 10;
    while (!allStopped() && clock.elapsed() < timeout.count()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, sliceMs);
        // Deferred deletions are not run outside an event loop otherwise.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    return allStopped();
}

} // namespace oculo
