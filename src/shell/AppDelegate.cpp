#include "shell/AppDelegate.h"

#include "capture/DisplayManager.h"
#include "capture/MouseTracker.h"
#include "capture/PermissionManager.h"
#include "capture/ScreenCaptureService.h"
#include "common/Reaction.h"
#include "region/ui/RegionOverlayCoordinator.h"
#include "state/MagnifierState.h"
#include "update/UpdateService.h"
#include "window/FloatingPanel.h"
#include "window/MagnifierWindowController.h"

#include <QAction>
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
bool isGone(const AppDelegate* delegate) {
    return delegate == nullptr || delegate->isTerminating();
}

QCoro::Task<> startCaptureOf(QPointer<MagnifierWindowController> controller) {
    if (MagnifierWindowController* window = controller.data()) {
        co_await window->startCapture();
    }
}

} // namespace

AppDelegate::AppDelegate(MouseTracker& mouseTracker, DisplayManager& displayManager,
                         PermissionManager& permissionManager, CaptureBackend& backend,
                         SettingsStore& store, QObject* parent)
    : WindowRegistry(parent)
    , m_mouseTracker(mouseTracker)
    , m_displayManager(displayManager)
    , m_permissionManager(permissionManager)
    , m_backend(backend)
    , m_store(store)
    , m_regionOverlays(std::make_unique<RegionOverlayCoordinator>(m_windowControllers)) {
    m_systemWakeTimer.setSingleShot(true);
    m_systemWakeTimer.setInterval(systemWakeDelay);
    connect(&m_systemWakeTimer, &QTimer::timeout, this, [this] {
        if (m_displayWakeReaction) {
            m_displayWakeReaction->notifyChange();
        }
    });
    if (auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        connect(app, &QGuiApplication::focusWindowChanged, this,
                &AppDelegate::notifyIfActiveChanged);
    }
    connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, this,
            &AppDelegate::applicationWillTerminate);
}

AppDelegate::~AppDelegate() {
    applicationWillTerminate();
}

int AppDelegate::windowCount() const {
    return static_cast<int>(m_windowControllers.size());
}

MagnifierState* AppDelegate::activeState() const {
    MagnifierWindowController* active = activeWindowController();
    return active != nullptr ? &active->state() : nullptr;
}

MagnifierWindowController* AppDelegate::activeWindowController() const {
    for (MagnifierWindowController* controller : m_windowControllers) {
        const QPointer<FloatingPanel> panel = controller->panel();
        if (panel && panel->isKeyWindow()) {
            return controller;
        }
    }
    // The menu must not act on a window the user cannot see.
    for (MagnifierWindowController* controller : m_windowControllers) {
        const QPointer<FloatingPanel> panel = controller->panel();
        if (panel && panel->isVisible() && !panel->isMinimized() && panel->windowHandle() &&
            panel->windowHandle()->isExposed()) {
            return controller;
        }
    }
    return m_windowControllers.isEmpty() ? nullptr : m_windowControllers.first();
}

void AppDelegate::setUpdateService(std::unique_ptr<UpdateService> service) {
    m_updateService = std::move(service);
    if (m_updateService) {
        connect(m_updateService.get(), &UpdateService::terminationRequested, this,
                &AppDelegate::quit);
    }
}

void AppDelegate::setWindowManagerSource(WindowManagerSource* source) {
    m_windowManager = source;
    m_regionOverlays->setWindowManagerSource(source);
}

void AppDelegate::setContextMenuHandler(std::function<void(QPoint)> handler) {
    m_contextMenuHandler = std::move(handler);
    for (MagnifierWindowController* controller : std::as_const(m_windowControllers)) {
        controller->onContextMenuRequested = m_contextMenuHandler;
    }
}

void AppDelegate::setWindowActions(const QList<QAction*>& actions) {
    m_windowActions = QList<QPointer<QAction>>(actions.cbegin(), actions.cend());
    for (MagnifierWindowController* controller : std::as_const(m_windowControllers)) {
        addWindowActions(*controller);
    }
}

void AppDelegate::addWindowActions(MagnifierWindowController& controller) const {
    if (const QPointer<FloatingPanel> panel = controller.panel()) {
        for (const QPointer<QAction>& action : m_windowActions) {
            if (action) {
                panel->addAction(action);
            }
        }
    }
}

void AppDelegate::createNewWindow() {
    if (m_isTerminating) {
        return;
    }
    // New windows follow the first window, not the focused one.
    MagnifierState* source =
        m_windowControllers.isEmpty() ? nullptr : &m_windowControllers.first()->state();
    auto* controller = new MagnifierWindowController(
        m_mouseTracker, m_displayManager, m_permissionManager, m_backend, m_store, source, this);
    QPointer<AppDelegate> self(this);
    QPointer<MagnifierWindowController> weakController(controller);
    controller->onClose = [self, weakController] {
        AppDelegate* delegate = self.data();
        const MagnifierWindowController* closed = weakController.data();
        if (delegate != nullptr && closed != nullptr) {
            delegate->removeWindowController(*closed);
        }
    };
    controller->onContextMenuRequested = m_contextMenuHandler;
    controller->setWindowManagerSource(m_windowManager);
    controller->setup();
    addWindowActions(*controller);
    controller->state().setHasScreenRecordingPermission(
        m_permissionManager.permissionStatus() == PermissionManager::PermissionStatus::granted);
    m_windowControllers.append(controller);
    m_regionOverlays->watch(controller->state());
    m_lastActive = activeWindowController();
    Q_EMIT windowsChanged();
    startCaptureOf(weakController);
}

void AppDelegate::removeWindowController(const MagnifierWindowController& controller) {
    const QUuid id = controller.id();
    QList<MagnifierWindowController*> removed;
    m_windowControllers.removeIf([&](MagnifierWindowController* candidate) {
        if (candidate->id() == id) {
            removed.append(candidate);
            return true;
        }
        return false;
    });
    if (removed.isEmpty()) {
        return;
    }
    for (MagnifierWindowController* gone : std::as_const(removed)) {
        // Usually called from inside the controller's own close().
        gone->onClose = nullptr;
        gone->deleteLater();
    }
    // Quitting closes every window; replacing the last one would undo that.
    if (m_windowControllers.isEmpty() && !m_isTerminating) {
        createNewWindow();
        return;
    }
    m_lastActive = activeWindowController();
    Q_EMIT windowsChanged();
}

void AppDelegate::notifyIfActiveChanged() {
    for (MagnifierWindowController* controller : std::as_const(m_windowControllers)) {
        if (const QPointer<FloatingPanel> panel = controller->panel();
            panel && panel->isKeyWindow()) {
            m_lastFocused = controller;
        }
    }
    MagnifierWindowController* active = activeWindowController();
    if (active != m_lastActive.data()) {
        m_lastActive = active;
        Q_EMIT windowsChanged();
    }
}

void AppDelegate::quit() {
    QCoreApplication::quit();
}

void AppDelegate::applicationDidFinishLaunching() {
    launch();
}

QCoro::Task<> AppDelegate::launch() {
    setupDisplayWakeObserver();
    setupPermissionRecoveryObserver();
    m_regionOverlays->setupRegionObservation();
    if (m_updateService) {
        m_updateService->startAutomaticChecks();
    }
    co_await checkPermissionAndStart();
}

QCoro::Task<> AppDelegate::checkPermissionAndStart() {
    QPointer<AppDelegate> self(this);
    const bool granted = co_await m_permissionManager.checkPermission();
    if (isGone(self.data())) {
        co_return;
    }
    if (!granted) {
        // The window explains what is missing; tracking waits for recovery.
        createNewWindow();
        co_return;
    }
    co_await m_displayManager.refreshDisplays();
    if (isGone(self.data())) {
        co_return;
    }
    m_mouseTracker.startTracking();
    m_isTrackingStarted = true;
    createNewWindow();
}

void AppDelegate::setupDisplayWakeObserver() {
    if (m_displayWakeReaction) {
        return;
    }
    QPointer<AppDelegate> self(this);
    m_displayWakeReaction = new Reaction(this, [self]() -> QCoro::Task<> {
        AppDelegate* delegate = self.data();
        if (!isGone(delegate)) {
            co_await delegate->restartAllCaptures();
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

void AppDelegate::watchScreen(QScreen* screen) {
    if (m_displayWakeReaction) {
        m_displayWakeReaction->on(screen, &QScreen::geometryChanged);
    }
}

void AppDelegate::handlePrepareForSleep(bool goingToSleep) {
    if (!goingToSleep && m_displayWakeReaction) {
        // Give the displays a moment to come back before capturing again.
        m_systemWakeTimer.start();
    }
}

void AppDelegate::removeDisplayWakeObserver() {
    m_systemWakeTimer.stop();
    delete m_displayWakeReaction.data();
    if (m_isListeningForSleep) {
        QDBusConnection::systemBus().disconnect(login1Service, login1Path, login1Manager,
                                                prepareForSleep, this,
                                                SLOT(handlePrepareForSleep(bool)));
        m_isListeningForSleep = false;
    }
}

QCoro::Task<> AppDelegate::restartAllCaptures() {
    QPointer<AppDelegate> self(this);
    co_await m_displayManager.refreshDisplays();
    if (self.isNull()) {
        co_return;
    }
    const QList<QPointer<MagnifierWindowController>> snapshot(m_windowControllers.cbegin(),
                                                              m_windowControllers.cend());
    for (const QPointer<MagnifierWindowController>& controller : snapshot) {
        if (isGone(self.data())) {
            co_return;
        }
        if (MagnifierWindowController* window = controller.data()) {
            co_await window->restartCapture();
        }
    }
}

void AppDelegate::setupPermissionRecoveryObserver() {
    auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    if (m_permissionRecoveryReaction || app == nullptr) {
        return;
    }
    QPointer<AppDelegate> self(this);
    m_permissionRecoveryReaction = new Reaction(this, [self]() -> QCoro::Task<> {
        AppDelegate* delegate = self.data();
        if (!isGone(delegate) && (std::exchange(delegate->m_isActivationRequested, false) ||
                                  QGuiApplication::applicationState() == Qt::ApplicationActive)) {
            co_await delegate->recoverFromPermissionDenialIfNeeded();
        }
    });
    m_permissionRecoveryReaction->on(app, &QGuiApplication::applicationStateChanged);
}

void AppDelegate::bringWindowsBack() {
    if (m_isTerminating) {
        return;
    }
    for (MagnifierWindowController* controller : std::as_const(m_windowControllers)) {
        controller->bringBack();
    }
    MagnifierWindowController* target = m_lastFocused;
    if (target == nullptr) {
        target = activeWindowController();
    }
    if (const QPointer<FloatingPanel> panel = target != nullptr ? target->panel() : nullptr;
        panel && panel->isVisible()) {
        panel->activateWindow();
    }
}

void AppDelegate::activateFromAnotherStart() {
    if (m_isTerminating) {
        return;
    }
    bringWindowsBack();
    if (m_permissionRecoveryReaction) {
        m_isActivationRequested = true;
        m_permissionRecoveryReaction->notifyChange();
    }
}

void AppDelegate::removePermissionRecoveryObserver() {
    delete m_permissionRecoveryReaction.data();
}

QCoro::Task<> AppDelegate::recoverFromPermissionDenialIfNeeded() {
    if (m_permissionManager.permissionStatus() == PermissionManager::PermissionStatus::granted) {
        co_return;
    }
    QPointer<AppDelegate> self(this);
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
    const QList<QPointer<MagnifierWindowController>> snapshot(m_windowControllers.cbegin(),
                                                              m_windowControllers.cend());
    for (const QPointer<MagnifierWindowController>& controller : snapshot) {
        if (isGone(self.data())) {
            co_return;
        }
        if (MagnifierWindowController* window = controller.data()) {
            window->state().setHasScreenRecordingPermission(true);
            co_await window->startCapture();
        }
    }
}

void AppDelegate::applicationWillTerminate() {
    if (m_isTerminating) {
        return;
    }
    m_isTerminating = true;
    removeDisplayWakeObserver();
    removePermissionRecoveryObserver();
    m_regionOverlays->removeRegionObservation();
    if (m_updateService) {
        m_updateService->stopAutomaticChecks();
    }
    m_mouseTracker.stopTracking();
    // The save delay would otherwise drop a change made just before quitting.
    savePendingChanges();
    const QList<MagnifierWindowController*> snapshot = m_windowControllers;
    for (MagnifierWindowController* controller : snapshot) {
        m_stoppingCaptures.append(&controller->screenCaptureService());
        controller->close();
    }
    for (MagnifierWindowController* controller : std::as_const(m_windowControllers)) {
        controller->onClose = nullptr;
        controller->deleteLater();
    }
    m_windowControllers.clear();
    m_lastActive = nullptr;
    Q_EMIT windowsChanged();
}

void AppDelegate::savePendingChanges() {
    for (MagnifierWindowController* controller : std::as_const(m_windowControllers)) {
        controller->state().flushPendingSave();
    }
}

bool AppDelegate::finishStoppingCaptures(std::chrono::milliseconds timeout) {
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
