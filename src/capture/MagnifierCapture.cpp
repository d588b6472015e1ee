#include "capture/MagnifierCapture.h"

#include "capture/DisplayManager.h"
#include "capture/FocusFollower.h"
#include "capture/MouseTracker.h"
#include "capture/ScreenCaptureService.h"
#include "common/FireAndForget.h"
#include "common/PrintLine.h"
#include "common/Reaction.h"
#include "state/MagnifierState.h"

#include <QGuiApplication>
#include <QPointer>
#include <QScreen>

namespace oculo {

namespace {

// Closed or deleted while a task was suspended.
bool isGone(const MagnifierCapture* capture) {
    return capture == nullptr || capture->isClosed();
}

// The service is shared with this task so that it outlives a capture that
// is dropped meanwhile; it is deleted later, never from inside its own stop.
QCoro::Task<> stopAndRelease(QSharedPointer<ScreenCaptureService> service) {
    co_await service->stopCapture();
}

} // namespace

MagnifierCapture::MagnifierCapture(MagnifierState& state, MouseTracker& mouseTracker,
                                   DisplayManager& displayManager, CaptureBackend& backend,
                                   const QSizeF& sizeWithoutWindow, QObject* parent)
    : QObject(parent)
    , m_state(state)
    , m_mouseTracker(mouseTracker)
    , m_displayManager(displayManager)
    , m_service(new ScreenCaptureService(backend), &QObject::deleteLater)
    , m_sizeWithoutWindow(sizeWithoutWindow) {}

MagnifierCapture::~MagnifierCapture() {
    close();
}

void MagnifierCapture::setWindowSize(const QSizeF& logical, const QSize& device) {
    if (m_windowSize == logical && m_windowDeviceSize == device) {
        return;
    }
    m_windowSize = logical;
    m_windowDeviceSize = device;
    Q_EMIT windowSizeChanged();
}

Reaction& MagnifierCapture::addReaction(std::function<QCoro::Task<>(MagnifierCapture&)> reaction) {
    // The bodies below end with their await, which guards itself.
    return Reaction::ofOwner(this, std::move(reaction));
}

void MagnifierCapture::startObserving() {
    if (m_observing) {
        return;
    }
    m_observing = true;
    MagnifierState* model = &m_state;

    // Mode and region: the capture moves at once, in either direction, so the
    // window never shows the place it was looking at before.
    addReaction([](MagnifierCapture& c) -> QCoro::Task<> { co_await c.updateCaptureRegion(); })
        .on(model, &MagnifierState::modeChanged)
        .on(model, &MagnifierState::fixedRegionChanged);

    // Zoom and the window: its size sets the rectangle's, and a move also
    // starts afresh a stream that failed.
    addReaction([](MagnifierCapture& c) -> QCoro::Task<> { co_await c.updateCaptureRegion(); })
        .on(model, &MagnifierState::zoomLevelChanged)
        .on(this, &MagnifierCapture::windowSizeChanged)
        .on(model, &MagnifierState::windowFrameChanged);

    // The caret or focused control takes the lead, or gives it back.
    if (m_focus != nullptr) {
        const auto wantFocus = [this] {
            if (!m_closed) {
                m_focus->setWanted(this, followsMouse() && m_state.followFocus());
            }
        };
        connect(model, &MagnifierState::modeChanged, this, wantFocus);
        connect(model, &MagnifierState::followFocusChanged, this, wantFocus);
        wantFocus();
        addReaction([](MagnifierCapture& c) -> QCoro::Task<> {
            if (c.followsMouse()) {
                co_await c.updateCaptureRegion();
            }
        })
            .on(m_focus, &FocusFollower::focusLocationChanged)
            .on(model, &MagnifierState::followFocusChanged);
    }

    // Mouse location
    addReaction([](MagnifierCapture& c) -> QCoro::Task<> {
        if (!c.followsMouse() || c.focusLocation()) {
            // The region (or the caret) stays, but the pointer drawn into it must move; a
            // followed pointer is drawn afresh with the moved rectangle.
            c.m_service->pointerMoved();
            co_return;
        }
        const QPointF location = c.m_mouseTracker.mouseLocation();
        c.m_state.setMouseLocation(location);
        // A stream that keeps the rectangle on the pointer itself needs only a
        // nudge (for warps it cannot see), unless the pointer changed display.
        const auto display = c.m_displayManager.displayContaining(location);
        if (c.m_service->followsPointerItself() && display && c.m_currentCaptureDisplay &&
            display->id == c.m_currentCaptureDisplay->id) {
            c.m_service->pointerMoved();
            co_return;
        }
        co_await c.updateCaptureRegion();
    }).on(&m_mouseTracker, &MouseTracker::mouseLocationChanged);

    // The picture settings reach the running stream at once, not with the
    // next rectangle, which a pointer at rest never asks for.
    const auto applyPicture = [this] { m_service->setPictureOptions(m_state.pictureOptions()); };
    connect(model, &MagnifierState::colorFilterChanged, this, applyPicture);
    connect(model, &MagnifierState::smoothingChanged, this, applyPicture);
    connect(model, &MagnifierState::crosshairChanged, this, applyPicture);

    // Current frame: an empty frame keeps the last picture on screen. Handed on
    // at once: a frame waits for nothing, and a queued run would cost each
    // frame another pass of the event loop.
    connect(m_service.data(), &ScreenCaptureService::currentFrameChanged, this, [this] {
        const QImage frame = m_service->currentFrame();
        if (!m_closed && !frame.isNull()) {
            m_state.setCurrentFrame(frame);
        }
    });

    // A stream that failed on its own leaves the placeholder, not a frozen
    // picture that looks live; the next rectangle update starts it afresh.
    connect(m_service.data(), &ScreenCaptureService::captureFailed, this, [this] {
        m_state.setCurrentFrame(QImage());
        m_currentCaptureDisplay.reset();
    });
    // The tracker samples a followed pointer sparsely; a display change is
    // sampled at once, so the new display's picture comes without delay.
    connect(m_service.data(), &ScreenCaptureService::pointerLeftDisplay, &m_mouseTracker,
            &MouseTracker::pollMousePosition);
}

MagnifierCapture::CaptureRegion MagnifierCapture::calculateCaptureRegion() const {
    if (!m_windowSize) {
        return {QRectF(QPointF(), m_sizeWithoutWindow), std::nullopt};
    }
    // A source of the window's size over the zoom shows exactly the zoom.
    const double zoom = m_state.zoomLevel();
    const double width = m_windowSize->width() / zoom;
    const double height = m_windowSize->height() / zoom;

    QPointF centre;
    if (const auto focus = focusLocation()) {
        centre = *focus;
    } else if (followsMouse()) {
        centre = m_mouseTracker.mouseLocation();
    } else if (const auto region = m_state.fixedRegion()) {
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

void MagnifierCapture::applyStreamSettings() {
    m_service->setMaximumOutputSize(m_windowDeviceSize);
    m_service->setFollowsPointer(followsMouse() && !focusLocation());
    m_service->setPictureOptions(m_state.pictureOptions());
}

bool MagnifierCapture::followsMouse() const {
    return m_state.mode() == MagnificationMode::followMouse;
}

std::optional<QPointF> MagnifierCapture::focusLocation() const {
    if (m_focus == nullptr || !followsMouse() || !m_state.followFocus()) {
        return std::nullopt;
    }
    return m_focus->focusLocation();
}

QCoro::Task<> MagnifierCapture::startCapture() {
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
    QPointer<MagnifierCapture> self(this);
    const auto service = m_service;
    applyStreamSettings();
    const auto error = co_await service->startCapture(*display, rect);
    // A window closed meanwhile stopped its stream on purpose.
    if (error && !isGone(self.data())) {
        printLine(QStringLiteral("Failed to start capture: ") + error->description);
    }
}

QCoro::Task<> MagnifierCapture::updateCaptureRegion() {
    if (m_closed) {
        co_return;
    }
    QPointer<MagnifierCapture> self(this);
    const auto service = m_service;
    const auto [rect, display] = calculateCaptureRegion();
    applyStreamSettings();

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

QCoro::Task<> MagnifierCapture::restartCapture() {
    if (m_closed) {
        co_return;
    }
    QPointer<MagnifierCapture> self(this);
    const auto service = m_service;
    co_await service->stopCapture();
    if (isGone(self.data())) {
        co_return;
    }
    co_await startCapture();
}

void MagnifierCapture::close() {
    if (m_closed) {
        return;
    }
    m_closed = true;
    if (m_focus != nullptr) {
        m_focus->setWanted(this, false);
    }
    fireAndForget(stopAndRelease(m_service));
}

} // namespace oculo
