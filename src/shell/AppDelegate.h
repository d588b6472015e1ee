#pragma once

#include "app/MagnifierWindow.h"
#include "platform/WindowingLimits.h"

#include <QList>
#include <QObject>
#include <QPoint>
#include <QPointer>

#include <memory>

class QAction;

namespace oculo {

class ApplicationCore;
class CaptureBackend;
class DisplayManager;
class FocusFollower;
class MagnifierWindowController;
class MouseTracker;
class PermissionManager;
class RegionOverlayCoordinator;
class SettingsStore;
class WindowManagerSource;

// The widgets of the application core's windows: makes each magnifier window,
// gives it the application's keys and sends its right-clicks on, and keeps the
// region overlays over the core's windows. The services must outlive it, and
// it must outlive the core it makes windows for.
class AppDelegate final : public QObject, public MagnifierWindowFactory {
    Q_OBJECT

public:
    AppDelegate(MouseTracker& mouseTracker, DisplayManager& displayManager,
                PermissionManager& permissionManager, CaptureBackend& backend, SettingsStore& store,
                QObject* parent = nullptr);
    ~AppDelegate() override;

    MagnifierWindow* createWindow(MagnifierState* copyFrom, QObject* parent) override;
    MagnifierWindow* restoreWindow(const QVariantMap& savedValues, QObject* parent) override;

    // Follows `core`'s windows: its launch starts the region overlays' watch
    // and its termination ends it.
    void follow(ApplicationCore& core);

    // The core's windows, in creation order.
    QList<MagnifierWindowController*> windowControllers() const { return m_windowControllers; }
    RegionOverlayCoordinator& regionOverlays() const { return *m_regionOverlays; }

    // Desktops and docking of windows opened from now on, and the window that
    // gets the keyboard back after a region overlay; must outlive them.
    void setWindowManagerSource(WindowManagerSource* source);
    // What the windowing system lets Oculo do with windows; given once, before
    // the core launches. Controls that need a missing ability are disabled and
    // say why, and the region overlays open one full screen per display.
    void setWindowingLimits(const WindowingLimits& limits);
    // Whose caret and focus follow-mouse windows opened from now on follow;
    // must outlive them.
    void setFocusFollower(FocusFollower* follower) { m_focusFollower = follower; }
    // Every magnifier window, present and future, answers the keys of these actions.
    void setWindowActions(const QList<QAction*>& actions);

Q_SIGNALS:
    // A right-click on any magnifier window.
    void contextMenuRequested(QPoint globalPos);

private:
    void addWindowActions(MagnifierWindowController& controller) const;
    MagnifierWindow* setUp(MagnifierWindowController* controller);

    MouseTracker& m_mouseTracker;
    DisplayManager& m_displayManager;
    PermissionManager& m_permissionManager;
    CaptureBackend& m_backend;
    SettingsStore& m_store;
    WindowManagerSource* m_windowManager = nullptr;
    WindowingLimits m_windowingLimits;
    FocusFollower* m_focusFollower = nullptr;

    QPointer<ApplicationCore> m_core;
    QList<MagnifierWindowController*> m_windowControllers;
    // Reads m_windowControllers, so it is declared after it and goes first.
    std::unique_ptr<RegionOverlayCoordinator> m_regionOverlays;
    QList<QPointer<QAction>> m_windowActions;
};

} // namespace oculo
