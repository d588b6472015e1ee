#include "window/FloatingPanel.h"

#include <QCloseEvent>
#include <QEvent>
#include <QGuiApplication>
#include <QMetaObject>
#include <QMouseEvent>
#include <QPropertyAnimation>
#include <QScreen>
#include <QVBoxLayout>
#include <QWindow>

#include <algorithm>
#include <cmath>

namespace oculo {

namespace {

constexpr int keyChangeDurationMs = 200;
constexpr int showFullyDurationMs = 100;
constexpr int fadeWhileMovingDurationMs = 300;
constexpr int forcedMotionDurationMs = 200;

// How long after setFrame() a late window-manager decoration is still folded
// into the asked-for frame; later size changes are the user's.
constexpr int pendingFrameWindowMs = 2000;

} // namespace

FloatingPanel::FloatingPanel(QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::WindowStaysOnTopHint)
    , m_animation(new QPropertyAnimation(this, "windowOpacity", this)) {
    setWindowTitle(QStringLiteral("Oculo"));
    setMinimumSize(minimumWindowSize);
    resize(defaultWindowSize);
    setWindowOpacity(activeAlpha);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect available = screen->availableGeometry();
        move(available.center() - QPoint(width() / 2, height() / 2));
    }
}

FloatingPanel::~FloatingPanel() = default;

void FloatingPanel::setWindowingLimits(const WindowingLimits& limits) {
    m_limits = limits;
    // A hint the compositor ignores would only promise what does not happen.
    setWindowFlag(Qt::WindowStaysOnTopHint, limits.canKeepAbove);
    if (!limits.canSetOpacity) {
        animateAlpha(activeAlpha, 0);
    }
}

void FloatingPanel::setInactiveAlpha(double alpha) {
    if (std::isnan(alpha)) {
        return;
    }
    m_inactiveAlpha = std::clamp(alpha, 0.0, 1.0);
    if (!isKeyWindow() && !m_keepActive) {
        animateAlpha(m_inactiveAlpha, keyChangeDurationMs);
    }
}

void FloatingPanel::setKeepActive(bool keep) {
    m_keepActive = keep;
    if (keep) {
        animateAlpha(activeAlpha, keyChangeDurationMs);
    } else if (!isKeyWindow()) {
        animateAlpha(m_inactiveAlpha, keyChangeDurationMs);
    }
}

bool FloatingPanel::isKeyWindow() const {
    return isActiveWindow();
}

QRectF FloatingPanel::frame() const {
    return QRectF(frameGeometry());
}

void FloatingPanel::setFrame(const QRectF& frame) {
    const QRect outer = frame.toRect();
    const QWindow* window = windowHandle();
    const QMargins margins = window ? window->frameMargins() : QMargins();
    const QSize decoration(margins.left() + margins.right(), margins.top() + margins.bottom());

    if (margins.isNull()) {
        // Not yet decorated: the window manager may add a title bar when it maps
        // the window, so the size is corrected once that is known.
        m_pendingFrame = outer;
        m_pendingFrameDeadline = QDeadlineTimer(pendingFrameWindowMs);
    } else {
        m_pendingFrame.reset();
    }
    resize(outer.size() - decoration);
    if (m_limits.canPlaceWindows) {
        // For a window, move() places the outer frame.
        move(outer.topLeft());
    }
}

void FloatingPanel::applyPendingFrameOnceDecorated() {
    if (!m_pendingFrame) {
        return;
    }
    if (m_pendingFrameDeadline.hasExpired()) {
        m_pendingFrame.reset();
        return;
    }
    const QWindow* window = windowHandle();
    if (!window || window->frameMargins().isNull()) {
        return;
    }
    const QRect outer = *m_pendingFrame;
    setFrame(outer);
}

void FloatingPanel::setContent(QWidget* content) {
    if (content == m_content) {
        return;
    }
    delete m_content;
    m_content = content;
    if (m_content) {
        layout()->addWidget(m_content);
    }
}

void FloatingPanel::updateMotionOpacity(bool isMoving) {
    if (!m_motionBasedOpacity || m_keepActive || isMoving == m_cursorIsMoving) {
        return;
    }
    m_cursorIsMoving = isMoving;
    if (isMoving) {
        animateAlpha(activeAlpha, showFullyDurationMs);
    } else {
        animateAlpha(m_inactiveAlpha, fadeWhileMovingDurationMs);
    }
}

void FloatingPanel::forceUpdateMotionOpacity(bool isMoving) {
    if (!m_motionBasedOpacity || m_keepActive) {
        return;
    }
    m_cursorIsMoving = isMoving;
    animateAlpha(isMoving ? activeAlpha : m_inactiveAlpha, forcedMotionDurationMs);
}

void FloatingPanel::animateAlpha(double alpha, int durationMs) {
    if (!m_limits.canSetOpacity) {
        // The window stays as made, fully opaque; asking a platform that
        // cannot change opacity only earns a warning.
        m_targetAlpha = activeAlpha;
        if (m_animation) {
            m_animation->stop();
        }
        return;
    }
    m_targetAlpha = alpha;
    m_lastAnimationDurationMs = durationMs;
    if (!m_animation) {
        return;
    }
    m_animation->stop();
    if (durationMs <= 0) {
        setWindowOpacity(alpha);
        return;
    }
    m_animation->setDuration(durationMs);
    m_animation->setStartValue(windowOpacity());
    m_animation->setEndValue(alpha);
    m_animation->start();
}

void FloatingPanel::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() != QEvent::ActivationChange) {
        return;
    }
    const bool key = isActiveWindow();
    if (key == m_wasKey) {
        return;
    }
    m_wasKey = key;
    if (key) {
        becameKey();
    } else {
        resignedKey();
    }
}

void FloatingPanel::becameKey() {
    animateAlpha(activeAlpha, keyChangeDurationMs);
}

void FloatingPanel::resignedKey() {
    if (!m_keepActive) {
        animateAlpha(m_inactiveAlpha, keyChangeDurationMs);
    }
}

void FloatingPanel::moveEvent(QMoveEvent* event) {
    QWidget::moveEvent(event);
    reportFrame();
}

void FloatingPanel::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    reportFrame();
}

void FloatingPanel::reportFrame() {
    Q_EMIT frameChanged(frame());
    applyPendingFrameOnceDecorated();
}

void FloatingPanel::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        QWidget::mousePressEvent(event);
        return;
    }
    event->accept();
    if (!m_limits.canPlaceWindows) {
        // Only the compositor may move the window; it follows the pointer itself.
        if (QWindow* window = windowHandle()) {
            window->startSystemMove();
        }
        return;
    }
    m_dragPress = event->globalPosition();
    m_dragStartFrame = frameGeometry().topLeft();
}

void FloatingPanel::mouseMoveEvent(QMouseEvent* event) {
    if (!m_dragPress || !event->buttons().testFlag(Qt::LeftButton)) {
        m_dragPress.reset();
        QWidget::mouseMoveEvent(event);
        return;
    }
    // Global positions come from the server with each event, so the travel
    // is exact however far behind the window's own moves are.
    const QPointF pointer = event->globalPosition();
    QPointF position = m_dragStartFrame + (pointer - *m_dragPress);
    // The title bar stays reachable below the top of the screen under the pointer.
    if (const QScreen* screen = QGuiApplication::screenAt(pointer.toPoint())) {
        position.setY(
            std::max(position.y(), static_cast<double>(screen->availableGeometry().top())));
    }
    move(position.toPoint());
    event->accept();
}

void FloatingPanel::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && m_dragPress) {
        m_dragPress.reset();
        event->accept();
        return;
    }
    QWidget::mouseReleaseEvent(event);
}

void FloatingPanel::closeEvent(QCloseEvent* event) {
    QWidget::closeEvent(event);
    if (!event->isAccepted()) {
        return;
    }
    // Queued: the owner typically drops the panel on the request, which must
    // not happen while Qt is still inside this close.
    QMetaObject::invokeMethod(this, &FloatingPanel::closeRequested, Qt::QueuedConnection);
}

} // namespace oculo
