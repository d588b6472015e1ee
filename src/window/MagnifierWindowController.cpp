#include "window/MagnifierWindowController.h"

#include "capture/MagnifierCapture.h"
#include "capture/MouseTracker.h"
#include "capture/PermissionManager.h"
#include "capture/ScreenCaptureService.h"
#include "common/FrameFitting.h"
#include "common/Geometry.h"
#include "common/Reaction.h"
#include "docking/DockingController.h"
#include "platform/WindowManagerSource.h"
#include "state/MagnifierState.h"
#include "views/MagnifierView.h"
#include "window/FloatingPanel.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QGuiApplication>
#include <QMetaMethod>
#include <QRandomGenerator>
#include <QScreen>
#include <QWindow>

#include <cmath>
#include <utility>

namespace oculo {

namespace {

bool isUsableFrame(const QRectF& frame) {
    return geometry::isFinite(frame) && frame.width() > 0 && frame.height() > 0;
}

// The window's size in device pixels: more captured pixels than this would
// only be thrown away when the picture is drawn.
QSize devicePixelSize(const FloatingPanel& panel) {
    const QSizeF size = QSizeF(panel.size()) * panel.devicePixelRatioF();
    return QSize(static_cast<int>(std::ceil(size.width())),
                 static_cast<int>(std::ceil(size.height())));
}

} // namespace

MagnifierWindowController::MagnifierWindowController(MouseTracker& mouseTracker,
                                                     DisplayManager& displayManager,
                                                     PermissionManager& permissionManager,
                                                     CaptureBackend& backend, SettingsStore& store,
                                                     MagnifierState* copyFrom, QObject* parent)
    : MagnifierWindowController(mouseTracker, displayManager, permissionManager, backend,
                                std::make_unique<MagnifierState>(store), parent) {
    if (copyFrom != nullptr) {
        m_state->setZoomLevel(copyFrom->zoomLevel());
        m_state->setMode(copyFrom->mode());
        m_state->setWindowTransparency(copyFrom->windowTransparency());
        m_state->setKeepWindowActive(copyFrom->keepWindowActive());
        m_state->setStayInCurrentSpace(copyFrom->stayInCurrentSpace());
        m_state->setColorFilter(copyFrom->colorFilter());
        m_state->setSmoothing(copyFrom->smoothing());
        m_state->setCrosshair(copyFrom->crosshair());
        m_state->setFollowFocus(copyFrom->followFocus());
    }
}

MagnifierWindowController::MagnifierWindowController(MouseTracker& mouseTracker,
                                                     DisplayManager& displayManager,
                                                     PermissionManager& permissionManager,
                                                     CaptureBackend& backend, SettingsStore& store,
                                                     const QVariantMap& savedValues,
                                                     QObject* parent)
    : MagnifierWindowController(mouseTracker, displayManager, permissionManager, backend,
                                std::make_unique<MagnifierState>(store, savedValues), parent) {}

MagnifierWindowController::MagnifierWindowController(MouseTracker& mouseTracker,
                                                     DisplayManager& displayManager,
                                                     PermissionManager& permissionManager,
                                                     CaptureBackend& backend,
                                                     std::unique_ptr<MagnifierState> state,
                                                     QObject* parent)
    : MagnifierWindow(parent)
    , m_mouseTracker(mouseTracker)
    , m_permissionManager(permissionManager)
    , m_state(std::move(state))
    , m_capture(std::make_unique<MagnifierCapture>(*m_state, mouseTracker, displayManager, backend,
                                                   QSizeF(FloatingPanel::defaultWindowSize))) {}

MagnifierWindowController::~MagnifierWindowController() {
    // A controller dropped without close() still stops its stream and drops
    // its window, but tells nobody.
    disconnect(this, &MagnifierWindow::closed, nullptr, nullptr);
    close();
    // Nothing of the window may outlive the state its view reads.
    delete m_retiredPanel.data();
}

void MagnifierWindowController::setWindowingLimits(const WindowingLimits& limits) {
    m_state->setWindowingLimits(limits);
}

void MagnifierWindowController::setup() {
    if (m_closed || m_panel) {
        return;
    }
    if (m_windowManager == nullptr) {
        m_noWindowManager = std::make_unique<NoWindowManager>();
        m_windowManager = m_noWindowManager.get();
    }
    const WindowingLimits& limits = m_state->windowingLimits();
    // Nothing to do for a controller that may neither dock nor choose desktops.
    if (limits.canDock() || limits.canShowOnAllDesktops) {
        m_docking =
            new DockingController(*m_state, *m_windowManager, DockingController::defaultPushDelay,
                                  DockingController::defaultMonitorInterval, this);
    }
    // Before the views are made, so they never offer following where it cannot work.
    m_state->setFollowUnavailableReason(m_mouseTracker.followUnavailableReason());
    connect(&m_mouseTracker, &MouseTracker::followUnavailableReasonChanged, m_state.get(),
            &MagnifierState::setFollowUnavailableReason);
    setupPanel();
    startObservationLoops();
}

QRectF MagnifierWindowController::placedFrame(const FloatingPanel& panel) const {
    const auto saved = m_state->windowFrame();
    if (!m_state->windowingLimits().canPlaceWindows) {
        // Only the size comes back; the compositor chooses the place. It is
        // fitted to the primary screen, where a new window usually opens.
        QRectF placed = panel.frame();
        if (saved && isUsableFrame(*saved)) {
            placed.setSize(saved->size());
        }
        const QScreen* primary = QGuiApplication::primaryScreen();
        const QRectF area = primary ? QRectF(primary->availableGeometry()) : placed;
        placed.setSize(
            placed.size().boundedTo(area.size()).expandedTo(QSizeF(panel.minimumSize())));
        return placed;
    }
    const auto offset = [] {
        const int r =
            QRandomGenerator::global()->bounded(minimumPlacementOffset, maximumPlacementOffset + 1);
        return QPointF(r, r);
    };
    QRectF placed = panel.frame().translated(offset());
    if (const auto restorable = restorableFrame()) {
        // Every window restores the one saved frame; a second window there
        // would hide the first completely.
        placed =
            isTakenByAnotherPanel(*restorable) ? restorable->translated(offset()) : *restorable;
    }
    // A frame saved on a larger screen, or one cascaded past the edge, opens
    // wholly on the screen it is on.
    QList<QRectF> areas;
    const auto screens = QGuiApplication::screens();
    for (const QScreen* screen : screens) {
        areas.append(QRectF(screen->availableGeometry()));
    }
    return geometry::fitFrameInto(placed, geometry::availableAreaFor(placed, areas),
                                  QSizeF(panel.minimumSize()));
}

void MagnifierWindowController::setupPanel() {
    const WindowingLimits& limits = m_state->windowingLimits();
    auto* panel = new FloatingPanel();
    panel->setWindowingLimits(limits);
    panel->setInactiveAlpha(m_state->windowTransparency());
    panel->setKeepActive(m_state->keepWindowActive());
    panel->setStayInCurrentSpace(m_state->stayInCurrentSpace());
    panel->setMotionBasedOpacity(m_state->mode() == MagnificationMode::followMouse &&
                                 m_state->hideWhileMoving() && limits.canSetOpacity);
    panel->setFrame(placedFrame(*panel));

    connect(panel, &FloatingPanel::closeRequested, this, &MagnifierWindowController::close);

    auto* view = new MagnifierView(*m_state, panel);
    connect(view, &MagnifierView::openSystemSettingsRequested, &m_permissionManager,
            &PermissionManager::openSystemSettings);
    view->setAskAgainReason(m_permissionManager.askAgainReason());
    connect(&m_permissionManager, &PermissionManager::askAgainReasonChanged, view,
            &MagnifierView::setAskAgainReason);
    connect(view, &MagnifierView::askAgainRequested, this,
            &MagnifierWindowController::permissionRetryRequested);
    view->installEventFilter(this);
    panel->setContent(view);
    // The capture thread draws into the view's picture surface, the controls laid over it.
    connect(view, &MagnifierView::presentationOverlayChanged, &m_capture->screenCaptureService(),
            &ScreenCaptureService::setPresentationOverlay);
    connect(view, &MagnifierView::presentationTargetChanged, &m_capture->screenCaptureService(),
            &ScreenCaptureService::setPresentationTarget);

    m_panel = panel;
    // Before the first show, so the window manager maps it on the right desktops.
    panel->winId();
    if (m_docking != nullptr) {
        m_docking->attach(panel->windowHandle());
        connect(m_docking, &DockingController::frameRequested, panel, &FloatingPanel::setFrame);
    }
    panel->show();
    panel->raise();
    panel->activateWindow();
    // Moving to a screen of another pixel ratio changes the device size alone.
    connect(panel->windowHandle(), &QWindow::screenChanged, this,
            &MagnifierWindowController::tellCaptureWindowSize);
    tellCaptureWindowSize();

    // Connected after show() so the moves of placing the window do not count
    // as the user's; the capture start picks up the frame as it is.
    connect(panel, &FloatingPanel::frameChanged, this, [this](const QRectF& frame) {
        if (m_closed) {
            return;
        }
        tellCaptureWindowSize();
        if (m_state->windowingLimits().canPlaceWindows) {
            m_state->setWindowFrame(frame);
            return;
        }
        // The position reported here means nothing; one stored by a session
        // that could place the window is kept for the next such session.
        const auto stored = m_state->windowFrame();
        m_state->setWindowFrame(QRectF(stored ? stored->topLeft() : frame.topLeft(), frame.size()));
    });
}

void MagnifierWindowController::tellCaptureWindowSize() {
    if (const FloatingPanel* panel = m_panel) {
        // What the picture fills, without the window manager's title bar and borders.
        m_capture->setWindowSize(QSizeF(panel->size()), devicePixelSize(*panel));
    }
}

std::optional<QRectF> MagnifierWindowController::restorableFrame() const {
    const auto saved = m_state->windowFrame();
    if (!saved || !isUsableFrame(*saved)) {
        return std::nullopt;
    }
    const double needWidth = std::min(minimumVisibleSide, saved->width());
    const double needHeight = std::min(minimumVisibleSide, saved->height());
    const auto screens = QGuiApplication::screens();
    for (const QScreen* screen : screens) {
        const QRectF visible = saved->intersected(QRectF(screen->availableGeometry()));
        if (visible.width() >= needWidth && visible.height() >= needHeight) {
            return saved;
        }
    }
    return std::nullopt;
}

bool MagnifierWindowController::isTakenByAnotherPanel(const QRectF& frame) {
    constexpr double samePlace = 2.0;
    const auto windows = QApplication::topLevelWidgets();
    for (const QWidget* window : windows) {
        const auto* other = qobject_cast<const FloatingPanel*>(window);
        if (other != nullptr && other->isVisible()) {
            const QPointF distance = other->frame().topLeft() - frame.topLeft();
            if (std::abs(distance.x()) <= samePlace && std::abs(distance.y()) <= samePlace) {
                return true;
            }
        }
    }
    return false;
}

bool MagnifierWindowController::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::ContextMenu &&
        isSignalConnected(
            QMetaMethod::fromSignal(&MagnifierWindowController::contextMenuRequested))) {
        Q_EMIT contextMenuRequested(static_cast<QContextMenuEvent*>(event)->globalPos());
        event->accept();
        return true;
    }
    return QObject::eventFilter(watched, event);
}

Reaction& MagnifierWindowController::addReaction(
    std::function<QCoro::Task<>(MagnifierWindowController&)> reaction) {
    // The bodies below never suspend, so one check before the run is enough.
    return Reaction::ofOwner(this, std::move(reaction));
}

void MagnifierWindowController::startObservationLoops() {
    MagnifierState* model = m_state.get();

    m_capture->startObserving();

    // Mode and fading while moving
    addReaction([](MagnifierWindowController& c) -> QCoro::Task<> {
        c.updateMotionBasedOpacity(c.m_state->mode(), c.m_state->hideWhileMoving());
        co_return;
    })
        .on(model, &MagnifierState::modeChanged)
        .on(model, &MagnifierState::hideWhileMovingChanged);

    // Transparency
    addReaction([](MagnifierWindowController& c) -> QCoro::Task<> {
        if (FloatingPanel* panel = c.m_panel) {
            panel->setInactiveAlpha(c.m_state->windowTransparency());
        }
        co_return;
    }).on(model, &MagnifierState::windowTransparencyChanged);

    // Keep active
    addReaction([](MagnifierWindowController& c) -> QCoro::Task<> {
        if (FloatingPanel* panel = c.m_panel) {
            panel->setKeepActive(c.m_state->keepWindowActive());
        }
        co_return;
    }).on(model, &MagnifierState::keepWindowActiveChanged);

    // Stay in space: a window shown on every desktop cannot stay docked.
    addReaction([](MagnifierWindowController& c) -> QCoro::Task<> {
        const bool stay = c.m_state->stayInCurrentSpace();
        if (FloatingPanel* panel = c.m_panel) {
            panel->setStayInCurrentSpace(stay);
        }
        if (!stay && c.m_state->dockPosition() != DockPosition::none) {
            c.m_state->setDockPosition(DockPosition::none);
        }
        co_return;
    }).on(model, &MagnifierState::stayInCurrentSpaceChanged);

    // Active desktop: the alpha is re-applied even if the motion state stayed.
    addReaction([](MagnifierWindowController& c) -> QCoro::Task<> {
        FloatingPanel* panel = c.m_panel;
        if (c.m_state->mode() == MagnificationMode::followMouse && c.m_state->hideWhileMoving() &&
            panel != nullptr) {
            panel->forceUpdateMotionOpacity(!c.m_mouseTracker.isMoving());
        }
        co_return;
    }).on(m_windowManager, &WindowManagerSource::currentDesktopChanged);

    // Motion state
    addReaction([](MagnifierWindowController& c) -> QCoro::Task<> {
        FloatingPanel* panel = c.m_panel;
        if (c.m_state->mode() == MagnificationMode::followMouse && c.m_state->hideWhileMoving() &&
            panel != nullptr) {
            panel->updateMotionOpacity(!c.m_mouseTracker.isMoving());
        }
        co_return;
    }).on(&m_mouseTracker, &MouseTracker::isMovingChanged);
}

void MagnifierWindowController::updateMotionBasedOpacity(MagnificationMode mode,
                                                         bool hideWhileMoving) {
    FloatingPanel* panel = m_panel;
    if (panel == nullptr) {
        return;
    }
    constexpr int fadeMs = 200;
    const bool enabled = mode == MagnificationMode::followMouse && hideWhileMoving &&
                         m_state->windowingLimits().canSetOpacity;
    panel->setMotionBasedOpacity(enabled);
    if (enabled && !panel->isKeyWindow()) {
        panel->animateAlpha(FloatingPanel::activeAlpha, fadeMs);
    } else if (!enabled && !panel->isKeyWindow() && !panel->keepActive()) {
        panel->animateAlpha(panel->inactiveAlpha(), fadeMs);
    }
}

ScreenCaptureService& MagnifierWindowController::screenCaptureService() const {
    return m_capture->screenCaptureService();
}

QCoro::Task<> MagnifierWindowController::startCapture() {
    return m_capture->startCapture();
}

QCoro::Task<> MagnifierWindowController::restartCapture() {
    return m_capture->restartCapture();
}

void MagnifierWindowController::bringBack() {
    FloatingPanel* panel = m_panel;
    if (panel != nullptr && std::exchange(m_hiddenByUser, false)) {
        // Mapped without taking the keyboard from the application the user is in.
        QWindow* handle = panel->windowHandle();
        if (handle != nullptr) {
            handle->setProperty("_q_showWithoutActivating", true);
        }
        panel->show();
        if (handle != nullptr) {
            handle->setProperty("_q_showWithoutActivating", QVariant());
        }
    }
    if (panel == nullptr || !panel->isVisible()) {
        return;
    }
    if (panel->isMinimized()) {
        panel->setWindowState(panel->windowState() & ~Qt::WindowMinimized);
    }
    if (m_docking != nullptr) {
        m_docking->applyDesktop();
    }
    panel->raise();
}

void MagnifierWindowController::hideFromUser() {
    if (m_panel && m_panel->isVisible()) {
        m_hiddenByUser = true;
        m_panel->hide();
    }
}

bool MagnifierWindowController::hasKeyboardFocus() const {
    return m_panel && m_panel->isKeyWindow();
}

bool MagnifierWindowController::isShownToUser() const {
    return m_panel && m_panel->isVisible() && !m_panel->isMinimized() &&
           m_panel->windowHandle() != nullptr && m_panel->windowHandle()->isExposed();
}

void MagnifierWindowController::activate() {
    if (m_panel && m_panel->isVisible()) {
        m_panel->activateWindow();
    }
}

void MagnifierWindowController::close() {
    if (m_closed) {
        return;
    }
    m_closed = true;
    m_capture->close();
    dropPanel();
    Q_EMIT closed();
}

DockPosition MagnifierWindowController::lastKnownDockPosition() const {
    return m_docking != nullptr ? m_docking->lastKnownDockPosition() : DockPosition::none;
}

void MagnifierWindowController::dropPanel() {
    if (m_docking != nullptr) {
        m_docking->detach();
    }
    FloatingPanel* panel = m_panel.data();
    if (panel == nullptr) {
        return;
    }
    m_panel = nullptr;
    // Hiding must not come back here through the panel's own close request.
    disconnect(panel, nullptr, this, nullptr);
    if (QWidget* content = panel->content()) {
        content->removeEventFilter(this);
    }
    panel->hide();
    // The user's close reaches us from inside the panel's own event handler.
    panel->deleteLater();
    m_retiredPanel = panel;
}

} // namespace oculo
