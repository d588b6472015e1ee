#include "region/ui/RegionOverlayCoordinator.h"

#include "platform/WindowManagerSource.h"
#include "region/ui/RegionOverlayViews.h"
#include "region/ui/RegionSelectionWindow.h"
#include "state/MagnifierState.h"
#include "window/FloatingPanel.h"
#include "window/MagnifierWindowController.h"

#include <QCoreApplication>
#include <QCursor>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QScreen>
#include <QWindow>

#include <utility>

namespace oculo {

RegionOverlayCoordinator::RegionOverlayCoordinator(
    const QList<MagnifierWindowController*>& controllers, QObject* parent)
    : QObject(parent)
    , m_controllers(controllers) {
    connect(&m_pollTimer, &QTimer::timeout, this, &RegionOverlayCoordinator::poll);
}

RegionOverlayCoordinator::~RegionOverlayCoordinator() {
    // The controllers may be gone already: only the overlays are closed here.
    setEscapeFilterInstalled(false);
    for (const Kind kind : {Kind::selection, Kind::adjustment}) {
        for (const QPointer<RegionSelectionWindow>& window : std::as_const(windowsOf(kind))) {
            delete window.data();
        }
    }
}

void RegionOverlayCoordinator::setupRegionObservation(std::chrono::milliseconds interval) {
    m_observing = true;
    m_pollTimer.start(interval);
}

void RegionOverlayCoordinator::watch(MagnifierState& state) {
    const auto wake = [this] {
        if (m_observing && !m_pollTimer.isActive()) {
            m_pollTimer.start();
        }
    };
    connect(&state, &MagnifierState::isSelectingRegionChanged, this, wake);
    connect(&state, &MagnifierState::isAdjustingRegionChanged, this, wake);
}

void RegionOverlayCoordinator::removeRegionObservation() {
    m_observing = false;
    m_pollTimer.stop();
    // The magnifier windows are closing too; none comes back.
    m_hiddenPanels.clear();
    hideRegionSelectionOverlay();
    hideRegionAdjustmentOverlay();
}

QList<QPointer<RegionSelectionWindow>>& RegionOverlayCoordinator::windowsOf(Kind kind) {
    return kind == Kind::selection ? m_selectionWindows : m_adjustmentWindows;
}

QList<RegionSelectionWindow*> RegionOverlayCoordinator::regionSelectionWindows() const {
    QList<RegionSelectionWindow*> windows;
    for (const QPointer<RegionSelectionWindow>& window : m_selectionWindows) {
        if (window) {
            windows.append(window.data());
        }
    }
    return windows;
}

QList<RegionSelectionWindow*> RegionOverlayCoordinator::regionAdjustmentWindows() const {
    QList<RegionSelectionWindow*> windows;
    for (const QPointer<RegionSelectionWindow>& window : m_adjustmentWindows) {
        if (window) {
            windows.append(window.data());
        }
    }
    return windows;
}

MagnifierState* RegionOverlayCoordinator::activeRegionState() const {
    return m_activeRegionState.data();
}

void RegionOverlayCoordinator::poll() {
    QHash<QUuid, bool> selecting;
    QHash<QUuid, bool> adjusting;
    // Showing an overlay never changes the list, but a copy costs nothing.
    const QList<MagnifierWindowController*> controllers = m_controllers;
    for (MagnifierWindowController* controller : controllers) {
        MagnifierState& state = controller->state();
        const QUuid id = controller->id();
        const bool sel = state.isSelectingRegion();
        const bool adj = state.isAdjustingRegion();
        if (sel && !m_wasSelecting.value(id)) {
            showRegionSelectionOverlay(state);
        } else if (!sel && m_wasSelecting.value(id)) {
            hideRegionSelectionOverlay();
        }
        if (adj && !m_wasAdjusting.value(id)) {
            showRegionAdjustmentOverlay(state);
        } else if (!adj && m_wasAdjusting.value(id)) {
            hideRegionAdjustmentOverlay();
        }
        selecting.insert(id, sel);
        adjusting.insert(id, adj);
    }
    // A window closed during its selection can no longer lower its flag.
    const auto orphaned = [](const QList<QPointer<RegionSelectionWindow>>& windows) {
        for (const QPointer<RegionSelectionWindow>& window : windows) {
            if (window && window->content() != nullptr && window->content()->state() != nullptr) {
                return false;
            }
        }
        return !windows.isEmpty();
    };
    if (orphaned(m_selectionWindows)) {
        hideRegionSelectionOverlay();
    }
    if (orphaned(m_adjustmentWindows)) {
        hideRegionAdjustmentOverlay();
    }
    m_wasSelecting = selecting;
    m_wasAdjusting = adjusting;
    const bool flagUp = selecting.values().contains(true) || adjusting.values().contains(true);
    if (!flagUp && m_selectionWindows.isEmpty() && m_adjustmentWindows.isEmpty() &&
        m_pendingOpens == 0) {
        m_pollTimer.stop(); // until a watched flag changes
    }
}

void RegionOverlayCoordinator::showRegionSelectionOverlay(MagnifierState& state) {
    showOverlay(Kind::selection, state);
}

void RegionOverlayCoordinator::showRegionAdjustmentOverlay(MagnifierState& state) {
    if (!state.fixedRegion()) {
        // Nothing to adjust; the flag's fall closes what never opened.
        state.setIsAdjustingRegion(false);
        return;
    }
    showOverlay(Kind::adjustment, state);
}

void RegionOverlayCoordinator::showOverlay(Kind kind, MagnifierState& state) {
    rememberActiveWindow();
    m_activeRegionState = &state;
    QPointer<MagnifierState> target(&state);
    if (!hidePanels()) {
        openOverlays(kind, target);
        return;
    }
    const int generation = kind == Kind::selection ? m_selectionGeneration : m_adjustmentGeneration;
    ++m_pendingOpens;
    QTimer::singleShot(panelHideSettle, this, [this, kind, target, generation] {
        --m_pendingOpens;
        const int current =
            kind == Kind::selection ? m_selectionGeneration : m_adjustmentGeneration;
        if (generation == current && target) {
            openOverlays(kind, target);
        } else {
            restorePanelsIfDone();
        }
    });
}

void RegionOverlayCoordinator::openOverlays(Kind kind, QPointer<MagnifierState> state) {
    if (!state) {
        return;
    }
    QList<QPointer<RegionSelectionWindow>>& windows = windowsOf(kind);
    RegionSelectionWindow* keyboardOwner = nullptr;
    const QPoint pointer = QCursor::pos();
    const auto screens = QGuiApplication::screens();
    for (QScreen* screen : screens) {
        auto* window = new RegionSelectionWindow(screen);
        const QPointF origin = window->coveredGeometry().topLeft();
        RegionOverlayView* view = nullptr;
        if (kind == Kind::selection) {
            view = new RegionSelectionView(*state, origin);
        } else {
            view = new RegionAdjustmentView(*state, origin);
        }
        window->setContent(view);
        // The keyboard follows the user to the screen they press on.
        connect(view, &RegionOverlayView::pressed, window, &RegionSelectionWindow::takeKeyboard);
        windows.append(window);
        window->present(false);
        if (keyboardOwner == nullptr || window->coveredGeometry().contains(pointer)) {
            keyboardOwner = window;
        }
    }
    if (keyboardOwner != nullptr) {
        keyboardOwner->takeKeyboard();
    }
    if (kind == Kind::selection) {
        setEscapeFilterInstalled(true);
    }
}

void RegionOverlayCoordinator::hideRegionSelectionOverlay() {
    hideOverlay(Kind::selection);
}

void RegionOverlayCoordinator::hideRegionAdjustmentOverlay() {
    hideOverlay(Kind::adjustment);
}

void RegionOverlayCoordinator::hideOverlay(Kind kind) {
    ++(kind == Kind::selection ? m_selectionGeneration : m_adjustmentGeneration);
    const QList<QPointer<RegionSelectionWindow>> windows = std::exchange(windowsOf(kind), {});
    if (kind == Kind::selection) {
        // Escape belongs to whatever has the keyboard once the selection ends.
        setEscapeFilterInstalled(false);
    }
    for (const QPointer<RegionSelectionWindow>& window : windows) {
        if (window) {
            window->hide();
            window->deleteLater();
        }
    }
    restorePanelsIfDone();
}

void RegionOverlayCoordinator::rememberActiveWindow() {
    // Only before the first overlay: later ones would name an overlay.
    if (std::exchange(m_rememberedActiveWindow, true)) {
        return;
    }
    m_previousActiveWindow =
        m_windowManager != nullptr ? m_windowManager->activeWindow() : std::nullopt;
    m_previousFocusWindow = QGuiApplication::focusWindow();
}

bool RegionOverlayCoordinator::hidePanels() {
    bool hidSome = false;
    for (MagnifierWindowController* controller : std::as_const(m_controllers)) {
        FloatingPanel* panel = controller->panel();
        if (panel != nullptr && panel->isVisible()) {
            panel->hide();
            m_hiddenPanels.append(panel);
            hidSome = true;
        }
    }
    return hidSome;
}

void RegionOverlayCoordinator::restorePanelsIfDone() {
    if (!m_selectionWindows.isEmpty() || !m_adjustmentWindows.isEmpty() || m_pendingOpens > 0) {
        return;
    }
    const QList<QPointer<FloatingPanel>> panels = std::exchange(m_hiddenPanels, {});
    const std::optional<quint64> previous = std::exchange(m_previousActiveWindow, std::nullopt);
    const QPointer<QWindow> previousFocus = std::exchange(m_previousFocusWindow, nullptr);
    m_rememberedActiveWindow = false;
    FloatingPanel* previousPanel = nullptr;
    for (const QPointer<FloatingPanel>& panel : panels) {
        if (!panel) {
            continue;
        }
        QWindow* handle = panel->windowHandle();
        if (handle != nullptr &&
            (previous ? *previous == handle->winId() : handle == previousFocus.data())) {
            previousPanel = panel;
        }
        // Mapped without taking the keyboard (how Qt passes
        // WA_ShowWithoutActivating to a window that exists already), so it
        // cannot take it from the window that gets it back below.
        if (handle != nullptr) {
            handle->setProperty("_q_showWithoutActivating", true);
        }
        panel->show();
        panel->raise();
        if (handle != nullptr) {
            handle->setProperty("_q_showWithoutActivating", QVariant());
        }
    }
    if (previousPanel != nullptr) {
        previousPanel->activateWindow();
    } else if (previous && m_windowManager != nullptr) {
        m_windowManager->activateWindow(*previous);
    } else if (previousFocus != nullptr && previousFocus->isVisible()) {
        previousFocus->requestActivate();
    }
    m_activeRegionState = nullptr;
}

void RegionOverlayCoordinator::setEscapeFilterInstalled(bool installed) {
    QCoreApplication* app = QCoreApplication::instance();
    if (installed == m_escapeFilterInstalled || app == nullptr) {
        return;
    }
    m_escapeFilterInstalled = installed;
    if (installed) {
        app->installEventFilter(this);
    } else {
        app->removeEventFilter(this);
    }
}

bool RegionOverlayCoordinator::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
        // Every selection open ends, whichever window has the keyboard.
        for (const QPointer<RegionSelectionWindow>& window : std::as_const(m_selectionWindows)) {
            if (window && window->content() != nullptr) {
                if (MagnifierState* state = window->content()->state()) {
                    state->setIsSelectingRegion(false);
                }
            }
        }
        return true;
    }
    return QObject::eventFilter(watched, event);
}

} // namespace oculo
