#include "shell/AppDelegate.h"

#include "app/ApplicationCore.h"
#include "capture/MagnifierCapture.h"
#include "region/ui/RegionOverlayCoordinator.h"
#include "window/FloatingPanel.h"
#include "window/MagnifierWindowController.h"

#include <QAction>

namespace oculo {

AppDelegate::AppDelegate(MouseTracker& mouseTracker, DisplayManager& displayManager,
                         PermissionManager& permissionManager, CaptureBackend& backend,
                         SettingsStore& store, QObject* parent)
    : QObject(parent)
    , m_mouseTracker(mouseTracker)
    , m_displayManager(displayManager)
    , m_permissionManager(permissionManager)
    , m_backend(backend)
    , m_store(store)
    , m_regionOverlays(std::make_unique<RegionOverlayCoordinator>(m_windowControllers)) {
    m_regionOverlays->setBackdropSource(&backend, &displayManager);
}

AppDelegate::~AppDelegate() = default;

void AppDelegate::follow(ApplicationCore& core) {
    m_core = &core;
    connect(&core, &ApplicationCore::launching, m_regionOverlays.get(),
            [this] { m_regionOverlays->setupRegionObservation(); });
    connect(&core, &ApplicationCore::terminating, m_regionOverlays.get(),
            &RegionOverlayCoordinator::removeRegionObservation);
    // The core drops a closed window from its list before it says so; the
    // overlays read this copy, which never holds a window the core let go.
    connect(&core, &WindowRegistry::windowsChanged, this, [this] {
        m_windowControllers.clear();
        if (m_core) {
            const QList<MagnifierWindow*> windows = m_core->windows();
            for (MagnifierWindow* window : windows) {
                if (auto* controller = qobject_cast<MagnifierWindowController*>(window)) {
                    m_windowControllers.append(controller);
                }
            }
        }
    });
}

MagnifierWindow* AppDelegate::createWindow(MagnifierState* copyFrom, QObject* parent) {
    return setUp(new MagnifierWindowController(m_mouseTracker, m_displayManager,
                                               m_permissionManager, m_backend, m_store, copyFrom,
                                               parent));
}

MagnifierWindow* AppDelegate::restoreWindow(const QVariantMap& savedValues, QObject* parent) {
    return setUp(new MagnifierWindowController(m_mouseTracker, m_displayManager,
                                               m_permissionManager, m_backend, m_store, savedValues,
                                               parent));
}

MagnifierWindow* AppDelegate::setUp(MagnifierWindowController* controller) {
    connect(controller, &MagnifierWindowController::contextMenuRequested, this,
            &AppDelegate::contextMenuRequested);
    connect(controller, &MagnifierWindowController::permissionRetryRequested, this, [this] {
        if (m_core) {
            m_core->askForPermissionAgain();
        }
    });
    controller->setWindowManagerSource(m_windowManager);
    controller->setWindowingLimits(m_windowingLimits);
    controller->capture().setFocusFollower(m_focusFollower);
    controller->setup();
    addWindowActions(*controller);
    m_regionOverlays->watch(controller->state());
    return controller;
}

void AppDelegate::setWindowManagerSource(WindowManagerSource* source) {
    m_windowManager = source;
    m_regionOverlays->setWindowManagerSource(source);
}

void AppDelegate::setWindowingLimits(const WindowingLimits& limits) {
    m_windowingLimits = limits;
    m_regionOverlays->setWindowingLimits(limits);
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

} // namespace oculo
