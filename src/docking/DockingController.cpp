#include "docking/DockingController.h"

#include "common/Reaction.h"
#include "docking/DockBand.h"
#include "state/MagnifierState.h"

#include <QCoreApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QWindow>

#include <utility>

namespace oculo {

namespace {

Reaction& react(QObject* owner, std::function<void()> body) {
    return *new Reaction(owner, [body = std::move(body)]() -> QCoro::Task<> {
        body();
        co_return;
    });
}

} // namespace

DockingController::DockingController(MagnifierState& state, WindowManagerSource& windowManager,
                                     std::chrono::milliseconds pushDelay,
                                     std::chrono::milliseconds monitorInterval, QObject* parent)
    : QObject(parent)
    , m_state(state)
    , m_windowManager(windowManager) {
    m_delayedPush.setSingleShot(true);
    m_monitor.setInterval(monitorInterval);
    m_pushDelay = pushDelay;
    connect(&m_delayedPush, &QTimer::timeout, this, [this] {
        pushWindowsAway();
        if (--m_delayedPushesLeft > 0) {
            m_delayedPush.setInterval(m_delayedPush.intervalAsDuration() * 2);
            m_delayedPush.start();
        }
    });
    connect(&m_monitor, &QTimer::timeout, this, [this] {
        if (m_state.dockPosition() == DockPosition::none) {
            m_monitor.stop();
        } else {
            pushWindowsAway();
        }
    });
}

DockingController::~DockingController() {
    detach();
}

void DockingController::attach(QWindow* window) {
    detach();
    m_window = window;
    m_lastKnownDockPosition = m_state.dockPosition();
    if (window == nullptr) {
        return;
    }
    window->installEventFilter(this);
    applyDesktop();

    react(this, [this] {
        dockPositionChanged();
    }).on(&m_state, &MagnifierState::dockPositionChanged);
    react(this, [this] {
        applyDesktop();
    }).on(&m_state, &MagnifierState::stayInCurrentSpaceChanged);
    react(this, [this] {
        currentDesktopChanged();
    }).on(&m_windowManager, &WindowManagerSource::currentDesktopChanged);

    Reaction& screens = react(this, [this] { redockOnScreenChange(); });
    m_screenReaction = &screens;
    screens.on(&m_windowManager, &WindowManagerSource::workAreaChanged);
    if (auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        screens.on(app, &QGuiApplication::screenRemoved)
            .on(app, &QGuiApplication::primaryScreenChanged);
        connect(app, &QGuiApplication::screenAdded, &screens, [this](QScreen* added) {
            watchScreen(added);
            m_screenReaction->notifyChange();
        });
    }
    const auto all = QGuiApplication::screens();
    for (QScreen* each : all) {
        watchScreen(each);
    }
}

void DockingController::watchScreen(QScreen* screen) {
    if (Reaction* reaction = m_screenReaction) {
        reaction->on(screen, &QScreen::geometryChanged)
            .on(screen, &QScreen::availableGeometryChanged);
    }
}

void DockingController::detach() {
    m_delayedPush.stop();
    m_monitor.stop();
    if (QWindow* window = m_window) {
        window->removeEventFilter(this);
    }
    m_window = nullptr;
    // Later: detaching may happen inside one of their runs.
    const auto reactions = findChildren<Reaction*>(QString(), Qt::FindDirectChildrenOnly);
    for (Reaction* reaction : reactions) {
        reaction->deleteLater();
    }
}

bool DockingController::eventFilter(QObject* watched, QEvent* event) {
    // Sent before the window is mapped, every time it is shown again: the
    // window manager reads the desktop when it takes the window on.
    if (watched == m_window && event->type() == QEvent::Show) {
        m_desktopUnchecked = true;
        applyDesktop();
    }
    // Mapped now: a window manager that went its own way with what it read
    // is asked again, the way it must follow for a mapped window. The desktop
    // last asked for counts, not the one the user may have gone to since.
    if (watched == m_window && event->type() == QEvent::Expose && m_window->isExposed() &&
        std::exchange(m_desktopUnchecked, false)) {
        if (const auto wanted = m_appliedDesktop) {
            const auto actual = m_windowManager.windowDesktop(m_window->winId());
            if (actual && *actual != *wanted) {
                m_windowManager.setWindowDesktop(m_window->winId(), *wanted);
            }
        }
    }
    return QObject::eventFilter(watched, event);
}

void DockingController::dockPositionChanged() {
    const DockPosition position = m_state.dockPosition();
    const DockPosition old = m_lastKnownDockPosition;
    m_lastKnownDockPosition = position;
    if (position == old || m_window == nullptr) {
        return;
    }
    if (position != DockPosition::none) {
        if (const auto frame = dockedFrame(position)) {
            Q_EMIT frameRequested(*frame);
            schedulePushes(1);
        }
        // Switching edges keeps the running monitor.
        if (old == DockPosition::none) {
            m_monitor.start();
        }
        return;
    }
    m_delayedPush.stop();
    m_monitor.stop();
    if (const auto frame = m_state.preDockFrame()) {
        Q_EMIT frameRequested(*frame);
        m_state.setPreDockFrame(std::nullopt);
    }
}

void DockingController::applyDesktop() {
    const QWindow* window = m_window;
    if (window == nullptr) {
        return;
    }
    m_appliedDesktop = m_state.stayInCurrentSpace() ? m_windowManager.currentDesktop()
                                                    : WindowManagerSource::allDesktops;
    if (m_appliedDesktop) {
        m_windowManager.setWindowDesktop(window->winId(), *m_appliedDesktop);
    }
}

void DockingController::currentDesktopChanged() {
    // The desktop now shown may hold windows under the band. Window managers
    // announce the change before they have mapped its windows, and a busy one
    // maps them late: so three times more, later and later.
    if (m_state.dockPosition() != DockPosition::none && isOnCurrentDesktop()) {
        pushWindowsAway();
        schedulePushes(3);
    }
}

void DockingController::schedulePushes(int count) {
    m_delayedPushesLeft = count;
    m_delayedPush.setInterval(m_pushDelay);
    m_delayedPush.start();
}

void DockingController::redockOnScreenChange() {
    const DockPosition position = m_state.dockPosition();
    if (position == DockPosition::none || m_window == nullptr) {
        return;
    }
    if (const auto frame = dockedFrame(position)) {
        Q_EMIT frameRequested(*frame);
    }
}

QScreen* DockingController::screen() const {
    QScreen* screen = m_window != nullptr ? m_window->screen() : nullptr;
    return screen != nullptr ? screen : QGuiApplication::primaryScreen();
}

std::optional<QRectF> DockingController::dockedFrame(DockPosition position) const {
    const QScreen* target = screen();
    if (m_window == nullptr || target == nullptr) {
        return std::nullopt;
    }
    const QRectF available =
        DockBand::availableArea(QRectF(target->geometry()), m_windowManager.workArea(),
                                QRectF(target->availableGeometry()));
    return DockBand::dockedFrame(position, available, m_window->frameGeometry().height());
}

bool DockingController::isOnCurrentDesktop() const {
    const QWindow* window = m_window;
    if (window == nullptr || !window->isVisible()) {
        return false;
    }
    const auto desktop = m_windowManager.windowDesktop(window->winId());
    const auto current = m_windowManager.currentDesktop();
    // Without a desktop-aware window manager every window is on the one desktop.
    return !desktop || !current || *desktop == WindowManagerSource::allDesktops ||
           *desktop == *current;
}

void DockingController::pushWindowsAway() {
    const DockPosition position = m_state.dockPosition();
    const QScreen* target = screen();
    if (position == DockPosition::none || target == nullptr || !isOnCurrentDesktop()) {
        return;
    }
    const DockBand band(position, QRectF(m_window->frameGeometry()), QRectF(target->geometry()));
    const auto moves =
        band.moves(m_windowManager.clientWindows(), QCoreApplication::applicationPid());
    for (const DockBand::Move& move : moves) {
        m_windowManager.moveWindow(move.window, move.frameY);
    }
}

} // namespace oculo
