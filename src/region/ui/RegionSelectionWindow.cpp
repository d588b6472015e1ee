#include "region/ui/RegionSelectionWindow.h"

#include "region/ui/RegionOverlayViews.h"

#include <QScreen>
#include <QWindow>

namespace oculo {

namespace {

constexpr int grabRetryMs = 50;
constexpr int grabAttempts = 40;

} // namespace

RegionSelectionWindow::RegionSelectionWindow(QScreen* screen, Placement placement,
                                             const QPixmap& backdrop)
    : QWidget(nullptr, placement == Placement::placed
                           ? Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                                 Qt::BypassWindowManagerHint
                           : Qt::Window | Qt::FramelessWindowHint)
    , m_placement(placement)
    , m_coveredGeometry(screen != nullptr ? screen->geometry() : QRect())
    , m_backdrop(backdrop) {
    setWindowTitle(QStringLiteral("Oculo Region"));
    // A frozen picture of the screen, dimmed by the view, looks the same with
    // and without a compositor; translucency alone needs one.
    if (screen != nullptr && m_backdrop.isNull()) {
        m_backdrop = screen->grabWindow(0);
    }
    if (m_backdrop.isNull()) {
        setAttribute(Qt::WA_TranslucentBackground);
    }
    if (screen != nullptr) {
        setScreen(screen);
    }
    setGeometry(m_coveredGeometry);
    m_grabRetry.setInterval(grabRetryMs);
    connect(&m_grabRetry, &QTimer::timeout, this, &RegionSelectionWindow::tryKeyboardGrab);
}

RegionSelectionWindow::~RegionSelectionWindow() = default;

RegionOverlayView* RegionSelectionWindow::content() const {
    return m_content.data();
}

void RegionSelectionWindow::setContent(RegionOverlayView* view) {
    delete m_content.data();
    m_content = view;
    if (view == nullptr) {
        return;
    }
    view->setParent(this);
    view->setGeometry(rect());
    view->setBackdrop(m_backdrop);
    view->show();
}

void RegionSelectionWindow::present(bool takeKeyboardNow) {
    if (m_placement == Placement::fullScreen) {
        // The compositor puts a full-screen window on the screen it was made for.
        showFullScreen();
    } else {
        show();
        raise();
    }
    if (takeKeyboardNow) {
        takeKeyboard();
    }
}

void RegionSelectionWindow::takeKeyboard() {
    activateWindow();
    if (m_content) {
        m_content->setFocus(Qt::ActiveWindowFocusReason);
        m_content->grabKeyboard();
    }
    // A compositor that places the windows gives the keyboard to the active one.
    m_grabAttemptsLeft = m_placement == Placement::placed ? grabAttempts : 0;
    tryKeyboardGrab();
}

void RegionSelectionWindow::tryKeyboardGrab() {
    // Another overlay may have taken the keyboard meanwhile.
    const bool stillWanted = m_content && QWidget::keyboardGrabber() == m_content.data();
    QWindow* window = windowHandle();
    const bool grabbed =
        stillWanted && window != nullptr && isVisible() && window->setKeyboardGrabEnabled(true);
    if (!stillWanted || grabbed || --m_grabAttemptsLeft <= 0) {
        m_grabRetry.stop();
    } else if (!m_grabRetry.isActive()) {
        m_grabRetry.start();
    }
}

void RegionSelectionWindow::hideEvent(QHideEvent* event) {
    // Keys go back to the magnifier windows at once, not when this one is deleted.
    m_grabRetry.stop();
    if (m_content) {
        m_content->releaseKeyboard();
    }
    QWidget::hideEvent(event);
}

void RegionSelectionWindow::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    if (m_content) {
        m_content->setGeometry(rect());
    }
}

} // namespace oculo
