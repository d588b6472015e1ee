#include "window/MagnifierWindowController.h"

#include "capture/DisplayManager.h"
#include "capture/MouseTracker.h"
#include "capture/PermissionManager.h"
#include "capture/ScreenCaptureService.h"
#include "common/FrameFitting.h"
#include "common/Geometry.h"
#include "common/PrintLine.h"
#include "common/Reaction.h"
#include "docking/DockingController.h"
#include "platform/WindowManagerSource.h"
#include "state/MagnifierState.h"
#include "views/MagnifierView.h"
#include "window/FloatingPanel.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QGuiApplication>
#include <QRandomGenerator>
#include <QScreen>

#include <cmath>

namespace oculo {

namespace {

bool isUsableFrame(const QRectF& frame) {
    return geometry::isFinite(frame) && frame.width() > 0 && frame.height() > 0;
}

// The window's size in device pixels: more captured pixels than this would
// only be thrown away when the picture is drawn.
QSize devicePixelSize(const FloatingPanel* panel) {
    if (panel == nullptr) {
        return {};
    }
    const QSizeF size = QSizeF(panel->size()) * panel->devicePixelRatioF();
    return QSize(static_cast<int>(std::ceil(size.width())),
                 static_cast<int>(std::ceil(size.height())));
}

// Closed or deleted while a task was suspended.
bool isGone(const MagnifierWindowController* controller) {
    return controller == nullptr || controller->isClosed();
}

// The service is shared with this task so that it outlives a controller that
// is dropped meanwhile; it is deleted later, never from inside its own stop.
QCoro::Task<> stopAndRelease(QSharedPointer<ScreenCaptureService> service) {
    co_await service->stopCapture();
}

} // namespace

MagnifierWindowController::MagnifierWindowController(MouseTracker& mouseTracker,
                                                     DisplayManager& displayManager,
                                                     PermissionManager& permissionManager,
                                                     CaptureBackend& backend, SettingsStore& store,
                                                     MagnifierState* copyFrom, QObject* parent)
    : QObject(parent)
    , m_mouseTracker(mouseTracker)
    , m_displayManager(displayManager)
    , m_permissionManager(permissionManager)
    , m_state(std::make_unique<MagnifierState>(store))
    , m_captureService(new ScreenCaptureService(backend), &QObject::deleteLater) {
    if (copyFrom != nullptr) {
        m_state->setZoomLevel(copyFrom->zoomLevel());
        m_state->setMode(copyFrom->mode());
        m_state->setWindowTransparency(copyFrom->windowTransparency());
        m_state->setKeepWindowActive(copyFrom->keepWindowActive());
        m_state->setStayInCurrentSpace(copyFrom->stayInCurrentSpace());
    }
}

MagnifierWindowController::~MagnifierWindowController() {
    // A controller dropped without close() still stops its stream and drops
    // its window, but tells nobody.
    onClose = nullptr;
    close();
    // Nothing of the window may outlive the state its view reads.
    delete m_retiredPanel.data();
}

void MagnifierWindowController::setup() {
    if (m_closed || m_panel) {
        return;
    }
    if (m_windowManager == nullptr) {
        m_noWindowManager = std::make_unique<NoWindowManager>();
        m_windowManager = m_noWindowManager.get();
    }
    m_docking =
        new DockingController(*m_state, *m_windowManager, DockingController::defaultPushDelay,
                              DockingController::defaultMonitorInterval, this);
    setupPanel();
    startObservationLoops();
}

void MagnifierWindowController::setupPanel() {
    auto* panel = new FloatingPanel();
    panel->setInactiveAlpha(m_state->windowTransparency());
    panel->setKeepActive(m_state->keepWindowActive());
    panel->setStayInCurrentSpace(m_state->stayInCurrentSpace());
    panel->setMotionBasedOpacity(m_state->mode() == MagnificationMode::followMouse &&
                                 m_state->hideWhileMoving());

    const auto offset = [] {
        const int r =
            QRandomGenerator::global()->bounded(minimumPlacementOffset, maximumPlacementOffset + 1);
        return QPointF(r, r);
    };
    QRectF placed = panel->frame().translated(offset());
    if (const auto saved = restorableFrame()) {
        // Every window restores the one saved frame; a second window there
        // would hide the first completely.
        placed = isTakenByAnotherPanel(*saved) ? saved->translated(offset()) : *saved;
    }
    // A frame saved on a larger screen, or one cascaded past the edge, opens
    // wholly on the screen it is on.
    QList<QRectF> areas;
    const auto screens = QGuiApplication::screens();
    for (const QScreen* screen : screens) {
        areas.append(QRectF(screen->availableGeometry()));
    }
    panel->setFrame(geometry::fitFrameInto(placed, geometry::availableAreaFor(placed, areas),
                                           QSizeF(panel->minimumSize())));

    connect(panel, &FloatingPanel::closeRequested, this, &MagnifierWindowController::close);

    auto* view = new MagnifierView(*m_state, panel);
    connect(view, &MagnifierView::openSystemSettingsRequested, &m_permissionManager,
            &PermissionManager::openSystemSettings);
    view->installEventFilter(this);
    panel->setContent(view);
    // The capture thread draws into the view's picture surface while nothing covers it.
    connect(view, &MagnifierView::presentationTargetChanged, m_captureService.data(),
            &ScreenCaptureService::setPresentationTarget);

    m_panel = panel;
    // Before the first show, so the window manager maps it on the right desktops.
    panel->winId();
    m_docking->attach(panel->windowHandle());
    connect(m_docking, &DockingController::frameRequested, panel, &FloatingPanel::setFrame);
    panel->show();
    panel->raise();
    panel->activateWindow();

    // Connected after show() so the moves of placing the window do not count
    // as the user's; the capture start picks up the frame as it is.
    connect(panel, &FloatingPanel::frameChanged, this, [this](const QRectF& frame) {
        if (m_closed) {
            return;
        }
        m_state->setWindowFrame(frame);
        updateCaptureRegion();
    });
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
    if (event->type() == QEvent::ContextMenu && onContextMenuRequested) {
        onContextMenuRequested(static_cast<QContextMenuEvent*>(event)->globalPos());
        event->accept();
        return true;
    }
    return QObject::eventFilter(watched, event);
}

Reaction& MagnifierWindowController::addReaction(
    std::function<QCoro::Task<>(MagnifierWindowController&)> reaction) {
    QPointer<MagnifierWindowController> self(this);
    // A run never touches the controller after its own co_await: the reaction
    // bodies below end with the await, and the await guards itself.
    return *new Reaction(this, [self, reaction = std::move(reaction)]() -> QCoro::Task<> {
        MagnifierWindowController* controller = self.data();
        if (!isGone(controller)) {
            co_await reaction(*controller);
        }
    });
}

void MagnifierWindowController::startObservationLoops() {
    MagnifierState* model = m_state.get();

    // Mode and region: the capture moves at once, in either direction, so the
    // window never shows the place it was looking at before.
    addReaction([](MagnifierWindowController& c) -> QCoro::Task<> {
        c.updateMotionBasedOpacity(c.m_state->mode(), c.m_state->hideWhileMoving());
        co_await c.updateCaptureRegion();
    })
        .on(model, &MagnifierState::modeChanged)
        .on(model, &MagnifierState::hideWhileMovingChanged)
        .on(model, &MagnifierState::fixedRegionChanged);

    // Zoom
    addReaction([](MagnifierWindowController& c) -> QCoro::Task<> {
        co_await c.updateCaptureRegion();
    }).on(model, &MagnifierState::zoomLevelChanged);

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

    // Mouse location
    addReaction([](MagnifierWindowController& c) -> QCoro::Task<> {
        if (c.m_state->mode() != MagnificationMode::followMouse) {
            // The region stays, but the pointer drawn into it must move; a
            // followed pointer is drawn afresh with the moved rectangle.
            c.m_captureService->pointerMoved();
            co_return;
        }
        const QPointF location = c.m_mouseTracker.mouseLocation();
        c.m_state->setMouseLocation(location);
        // A stream that keeps the rectangle on the pointer itself needs only a
        // nudge (for warps it cannot see), unless the pointer changed display.
        const auto display = c.m_displayManager.displayContaining(location);
        if (c.m_captureService->followsPointerItself() && display && c.m_currentCaptureDisplay &&
            display->id == c.m_currentCaptureDisplay->id) {
            c.m_captureService->pointerMoved();
            co_return;
        }
        co_await c.updateCaptureRegion();
    }).on(&m_mouseTracker, &MouseTracker::mouseLocationChanged);

    // Motion state
    addReaction([](MagnifierWindowController& c) -> QCoro::Task<> {
        FloatingPanel* panel = c.m_panel;
        if (c.m_state->mode() == MagnificationMode::followMouse && c.m_state->hideWhileMoving() &&
            panel != nullptr) {
            panel->updateMotionOpacity(!c.m_mouseTracker.isMoving());
        }
        co_return;
    }).on(&m_mouseTracker, &MouseTracker::isMovingChanged);

    // Current frame: an empty frame keeps the last picture on screen.
    addReaction([](MagnifierWindowController& c) -> QCoro::Task<> {
        const QImage frame = c.m_captureService->currentFrame();
        if (!frame.isNull()) {
            c.m_state->setCurrentFrame(frame);
        }
        co_return;
    }).on(m_captureService.data(), &ScreenCaptureService::currentFrameChanged);

    // A stream that failed on its own leaves the placeholder, not a frozen
    // picture that looks live; the next rectangle update starts it afresh.
    connect(m_captureService.data(), &ScreenCaptureService::captureFailed, this, [this] {
        m_state->setCurrentFrame(QImage());
        m_currentCaptureDisplay.reset();
    });
    // The tracker samples a followed pointer sparsely; a display change is
    // sampled at once, so the new display's picture comes without delay.
    connect(m_captureService.data(), &ScreenCaptureService::pointerLeftDisplay, &m_mouseTracker,
            &MouseTracker::pollMousePosition);
}

void MagnifierWindowController::updateMotionBasedOpacity(MagnificationMode mode,
                                                         bool hideWhileMoving) {
    FloatingPanel* panel = m_panel;
    if (panel == nullptr) {
        return;
    }
    constexpr int fadeMs = 200;
    const bool enabled = mode == MagnificationMode::followMouse && hideWhileMoving;
    panel->setMotionBasedOpacity(enabled);
    if (enabled && !panel->isKeyWindow()) {
        panel->animateAlpha(FloatingPanel::activeAlpha, fadeMs);
    } else if (!enabled && !panel->isKeyWindow() && !panel->keepActive()) {
        panel->animateAlpha(panel->inactiveAlpha(), fadeMs);
    }
}

MagnifierWindowController::CaptureRegion MagnifierWindowController::calculateCaptureRegion() const {
    const FloatingPanel* panel = m_panel;
    if (panel == nullptr) {
        return {QRectF(0, 0, FloatingPanel::defaultWindowSize.width(),
                       FloatingPanel::defaultWindowSize.height()),
                std::nullopt};
    }
    // What the picture fills, without the window manager's title bar and
    // borders: a source of that size over the zoom shows exactly the zoom.
    const QSizeF content = panel->size();
    const double zoom = m_state->zoomLevel();
    const double width = content.width() / zoom;
    const double height = content.height() / zoom;

    QPointF centre;
    if (m_state->mode() == MagnificationMode::followMouse) {
        centre = m_mouseTracker.mouseLocation();
    } else if (const auto region = m_state->fixedRegion()) {
        centre = region->center();
    } else if (const QScreen* primary = QGuiApplication::primaryScreen()) {
        centre = QRectF(primary->geometry()).center();
    }

    const auto display = m_displayManager.displayContaining(centre);
    if (!display) {
        return {QRectF(0, 0, width, height), std::nullopt};
    }
    return {QRectF(centre.x() - display->frame.x() - width / 2.0,
                   centre.y() - display->frame.y() - height / 2.0, width, height),
            display};
}

QCoro::Task<> MagnifierWindowController::startCapture() {
    if (m_closed) {
        co_return;
    }
    auto [rect, display] = calculateCaptureRegion();
    if (!display) {
        display = m_displayManager.primaryDisplay();
    }
    if (!display) {
        printLine(QStringLiteral("No display available for capture"));
        co_return;
    }
    m_currentCaptureDisplay = display;
    QPointer<MagnifierWindowController> self(this);
    const auto service = m_captureService;
    service->setMaximumOutputSize(devicePixelSize(m_panel));
    service->setFollowsPointer(m_state->mode() == MagnificationMode::followMouse);
    const auto error = co_await service->startCapture(*display, rect);
    // A window closed meanwhile stopped its stream on purpose.
    if (error && !isGone(self.data())) {
        printLine(QStringLiteral("Failed to start capture: ") + error->description);
    }
}

QCoro::Task<> MagnifierWindowController::updateCaptureRegion() {
    if (m_closed) {
        co_return;
    }
    QPointer<MagnifierWindowController> self(this);
    const auto service = m_captureService;
    const auto [rect, display] = calculateCaptureRegion();
    service->setMaximumOutputSize(devicePixelSize(m_panel));
    service->setFollowsPointer(m_state->mode() == MagnificationMode::followMouse);

    if (display && (!m_currentCaptureDisplay || m_currentCaptureDisplay->id != display->id)) {
        // Set before awaiting, so updates that run meanwhile take the
        // rectangle path instead of starting a second switch.
        m_currentCaptureDisplay = display;
        co_await service->stopCapture();
        if (isGone(self.data())) {
            co_return;
        }
        const auto error = co_await service->startCapture(*display, rect);
        if (error && !isGone(self.data())) {
            printLine(QStringLiteral("Failed to switch capture to display: ") + error->description);
        }
        co_return;
    }
    co_await service->updateCaptureRegion(rect);
}

QCoro::Task<> MagnifierWindowController::restartCapture() {
    if (m_closed) {
        co_return;
    }
    QPointer<MagnifierWindowController> self(this);
    const auto service = m_captureService;
    co_await service->stopCapture();
    if (isGone(self.data())) {
        co_return;
    }
    co_await startCapture();
}

void MagnifierWindowController::bringBack() {
    FloatingPanel* panel = m_panel;
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

void MagnifierWindowController::close() {
    if (m_closed) {
        return;
    }
    m_closed = true;
    stopCaptureInBackground();
    dropPanel();
    if (onClose) {
        // The owner may drop this controller from its handler.
        const auto handler = std::move(onClose);
        onClose = nullptr;
        handler();
    }
}

void MagnifierWindowController::stopCaptureInBackground() {
    stopAndRelease(m_captureService);
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
