#include "region/ui/RegionOverlayCoordinator.h"

#include "capture/DisplayManager.h"
#include "platform/CaptureBackend.h"
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
    connect(&m_flags, &RegionOverlayFlags::opening, this,
            &RegionOverlayCoordinator::prepareScreens);
    connect(&m_flags, &RegionOverlayFlags::openRequested, this,
            &RegionOverlayCoordinator::openOverlays);
    connect(&m_flags, &RegionOverlayFlags::closeRequested, this,
            &RegionOverlayCoordinator::closeOverlays);
    connect(&m_flags, &RegionOverlayFlags::finished, this,
            &RegionOverlayCoordinator::restorePanels);
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

void RegionOverlayCoordinator::setBackdropSource(CaptureBackend* backend,
                                                 const DisplayManager* displays) {
    m_backdropBackend = backend;
    m_backdropDisplays = displays;
}

QPixmap RegionOverlayCoordinator::backdropFor(const QScreen& screen) const {
    if (m_limits.canPlaceWindows || m_backdropBackend == nullptr || m_backdropDisplays == nullptr) {
        return {};
    }
    const auto display = m_backdropDisplays->displayContaining(QRectF(screen.geometry()).center());
    return display ? QPixmap::fromImage(m_backdropBackend->lastDisplayFrame(*display)) : QPixmap();
}

void RegionOverlayCoordinator::setupRegionObservation() {
    m_flags.start();
}

void RegionOverlayCoordinator::watch(MagnifierState& state) {
    m_flags.watch(state);
}

void RegionOverlayCoordinator::removeRegionObservation() {
    // The magnifier windows are closing too; none comes back.
    m_hiddenPanels.clear();
    m_flags.stop();
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

void RegionOverlayCoordinator::showRegionSelectionOverlay(MagnifierState& state) {
    m_flags.show(Kind::selection, state);
}

void RegionOverlayCoordinator::showRegionAdjustmentOverlay(MagnifierState& state) {
    m_flags.show(Kind::adjustment, state);
}

void RegionOverlayCoordinator::hideRegionSelectionOverlay() {
    m_flags.hide(Kind::selection);
}

void RegionOverlayCoordinator::hideRegionAdjustmentOverlay() {
    m_flags.hide(Kind::adjustment);
}

void RegionOverlayCoordinator::prepareScreens() {
    rememberActiveWindow();
    if (hidePanels()) {
        m_flags.delayOpening(panelHideSettle);
    }
}

void RegionOverlayCoordinator::openOverlays(Kind kind, MagnifierState* state) {
    QList<QPointer<RegionSelectionWindow>>& windows = windowsOf(kind);
    RegionSelectionWindow* keyboardOwner = nullptr;
    const QPoint pointer = QCursor::pos();
    const auto screens = QGuiApplication::screens();
    for (QScreen* screen : screens) {
        auto* window = new RegionSelectionWindow(screen,
                                                 m_limits.canPlaceWindows
                                                     ? RegionSelectionWindow::Placement::placed
                                                     : RegionSelectionWindow::Placement::fullScreen,
                                                 backdropFor(*screen));
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

void RegionOverlayCoordinator::closeOverlays(Kind kind) {
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

void RegionOverlayCoordinator::restorePanels() {
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
