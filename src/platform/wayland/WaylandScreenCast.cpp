#include "platform/wayland/WaylandScreenCast.h"

#include "common/Reaction.h"
#include "platform/wayland/PipeWireScreen.h"

#include <QGuiApplication>
#include <QMetaObject>
#include <QPointer>
#include <QScreen>
#include <qcoro/qcorosignal.h>

#include <algorithm>
#include <mutex>

namespace oculo::wayland {

// The newest pointer position from any stream, and the object told about it.
struct WaylandScreenCast::PointerFeed {
    std::mutex mutex;
    std::optional<PointerSighting> sighting;
    WaylandScreenCast* owner = nullptr; // cleared when the owner goes
    bool watched = false;
    bool notePosted = false;

    // PipeWire's thread. Another monitor's stream says "not here" for a
    // pointer that went over to it; only a position counts.
    void note(const PortalStream& stream, std::optional<QPoint> at, QSize pixels) {
        if (!at) {
            return;
        }
        const qreal scale = stream.size.width() > 0 && pixels.width() > 0
                                ? qreal(pixels.width()) / stream.size.width()
                                : 1.0;
        const QPointF position = QPointF(stream.position) + QPointF(*at) / scale;
        const std::lock_guard lock(mutex);
        if (sighting && sighting->position == position) {
            return;
        }
        sighting = PointerSighting{position, std::chrono::steady_clock::now()};
        if (owner == nullptr || !watched || std::exchange(notePosted, true)) {
            return;
        }
        // Posted events die with their receiver.
        QMetaObject::invokeMethod(
            owner,
            [target = owner, this] {
                {
                    const std::lock_guard guiLock(mutex);
                    notePosted = false;
                }
                Q_EMIT target->pointerMoved();
            },
            Qt::QueuedConnection);
    }
};

WaylandScreenCast::WaylandScreenCast(QString restoreToken, QObject* parent)
    : QObject(parent)
    , m_restoreToken(std::move(restoreToken))
    , m_pointerFeed(std::make_shared<PointerFeed>()) {
    m_pointerFeed->owner = this;
    connect(&m_portal, &ScreenCastPortal::closed, this, &WaylandScreenCast::noteScreenLost);

    m_screenChangeTimer.setSingleShot(true);
    m_screenChangeTimer.setInterval(screenChangeDelay);
    QPointer<WaylandScreenCast> self(this);
    (new Reaction(this, [self]() -> QCoro::Task<> {
        if (self) {
            co_await self->settleScreens();
        }
    }))->on(&m_screenChangeTimer, &QTimer::timeout);
    const auto watch = [this](const QScreen* screen) {
        connect(screen, &QScreen::geometryChanged, this, &WaylandScreenCast::noteScreensChanged);
    };
    if (auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        connect(app, &QGuiApplication::screenAdded, this, [this, watch](const QScreen* screen) {
            watch(screen);
            noteScreensChanged();
        });
        connect(app, &QGuiApplication::screenRemoved, this, &WaylandScreenCast::noteScreensChanged);
        const auto screens = QGuiApplication::screens();
        for (const QScreen* screen : screens) {
            watch(screen);
        }
    }
}

WaylandScreenCast::~WaylandScreenCast() {
    {
        const std::lock_guard lock(m_pointerFeed->mutex);
        m_pointerFeed->owner = nullptr;
    }
    close();
}

QCoro::Task<std::optional<DisplayQueryError>> WaylandScreenCast::ensureSession(Asker asker) {
    QPointer<WaylandScreenCast> self(this);
    if (asker == Asker::displayQuery && (m_screensChanged || m_lostUnsettled)) {
        // The displays are listed from the session that shares the screens as
        // they are now; a session lost meanwhile is reported, not walked anew.
        co_await qCoro(this, &WaylandScreenCast::screensSettled);
        if (!self) {
            co_return DisplayQueryError{DisplayQueryError::Kind::Other, QString()};
        }
        if (m_connection) {
            co_return std::nullopt;
        }
        // This answer reports the loss: the next query, asking again, walks anew.
        m_endUnreported = false;
        co_return DisplayQueryError{DisplayQueryError::Kind::CaptureRefused,
                                    m_lastError ? m_lastError->description : QString(),
                                    /*canAskAgain=*/true};
    }
    if (m_connection) {
        co_return std::nullopt;
    }
    if (asker == Asker::stream && !m_opening) {
        co_return m_lastError.value_or(DisplayQueryError{
            DisplayQueryError::Kind::Other, tr("The screen is not shared with Oculo.")});
    }
    if (asker == Asker::displayQuery && std::exchange(m_endUnreported, false)) {
        co_return DisplayQueryError{DisplayQueryError::Kind::CaptureRefused,
                                    m_lastError ? m_lastError->description : QString(),
                                    /*canAskAgain=*/true};
    }
    if (m_opening) {
        co_await qCoro(this, &WaylandScreenCast::sessionOpened);
    } else {
        co_await open();
    }
    if (!self) {
        co_return DisplayQueryError{DisplayQueryError::Kind::Other, QString()};
    }
    if (m_connection) {
        co_return std::nullopt;
    }
    co_return m_lastError;
}

QCoro::Task<> WaylandScreenCast::open() {
    QPointer<WaylandScreenCast> self(this);
    m_opening = true;
    PortalSession session = co_await m_portal.open(m_restoreToken);
    if (!self) {
        co_return;
    }
    m_opening = false;
    using Outcome = PortalSession::Outcome;
    if (!session.restoreToken.isEmpty() && session.restoreToken != m_restoreToken) {
        m_restoreToken = session.restoreToken;
        Q_EMIT restoreTokenChanged(m_restoreToken);
    }
    if (session.outcome != Outcome::started) {
        const bool refused = session.outcome != Outcome::failed;
        m_lastError = DisplayQueryError{refused ? DisplayQueryError::Kind::CaptureRefused
                                                : DisplayQueryError::Kind::Other,
                                        session.description, /*canAskAgain=*/true};
        Q_EMIT sessionOpened();
        co_return;
    }
    QString error;
    auto connection = PipeWireConnection::connect(session.pipeWire.release(), &error);
    if (!connection) {
        m_portal.close();
        m_lastError = DisplayQueryError{DisplayQueryError::Kind::Other, error};
        Q_EMIT sessionOpened();
        co_return;
    }
    m_lastError.reset();
    m_streams = session.streams;
    m_cursorMode = session.cursorMode;
    for (int i = 0; i < m_streams.size(); ++i) {
        connection->addScreen(m_streams.at(i).node,
                              [feed = m_pointerFeed, stream = m_streams.at(i)](
                                  std::optional<QPoint> position, QSize pixels) {
                                  feed->note(stream, position, pixels);
                              });
    }
    m_connection = std::move(connection);
    const QString reason =
        hasPointerMetadata()
            ? QString()
            : tr("This desktop shares the screen with the pointer drawn into it, so Oculo "
                 "cannot tell where the pointer is and cannot follow it.");
    if (reason != m_pointerUnavailableReason) {
        m_pointerUnavailableReason = reason;
        Q_EMIT pointerUnavailableReasonChanged(reason);
    }
    Q_EMIT sessionOpened();
}

std::optional<int> WaylandScreenCast::screenShowing(const QRectF& frame) const {
    for (int i = 0; i < m_streams.size(); ++i) {
        const PortalStream& stream = m_streams.at(i);
        if (!stream.size.isEmpty() && QRectF(stream.position, stream.size) == frame) {
            return i;
        }
    }
    if (m_streams.size() == 1) {
        return 0;
    }
    return std::nullopt;
}

bool WaylandScreenCast::hasPointerMetadata() const {
    return m_cursorMode == CursorMode::metadata;
}

std::optional<WaylandScreenCast::PointerSighting> WaylandScreenCast::pointer() const {
    const std::lock_guard lock(m_pointerFeed->mutex);
    return m_pointerFeed->sighting;
}

void WaylandScreenCast::setPointerWatched(bool watched) {
    const std::lock_guard lock(m_pointerFeed->mutex);
    m_pointerFeed->watched = watched;
}

void WaylandScreenCast::endSession(const QString& description) {
    if (m_connection) {
        m_connection->failAll(description);
    }
    // Streams that still hold it end it when they stop.
    m_connection.reset();
    m_streams.clear();
    m_lastError = DisplayQueryError{DisplayQueryError::Kind::Other, description};
}

void WaylandScreenCast::noteScreenLost() {
    if (!m_connection) {
        return;
    }
    m_portal.close();
    endSession(tr("Screen sharing was stopped, so Oculo no longer sees the screen."));
    // A removed monitor's stream ends before or after Qt hears of it; only a
    // loss that no screen change explains is the user's or the compositor's.
    m_lostUnsettled = true;
    m_screenChangeTimer.start();
}

void WaylandScreenCast::noteScreensChanged() {
    // Without a session there is nothing shared that could be out of date.
    if (m_connection || m_opening || m_lostUnsettled) {
        m_screensChanged = true;
        m_screenChangeTimer.start();
    }
}

bool WaylandScreenCast::sharesEveryScreen() const {
    const auto screens = QGuiApplication::screens();
    if (screens.size() != m_streams.size()) {
        return false;
    }
    return std::all_of(screens.cbegin(), screens.cend(), [this](const QScreen* screen) {
        return screenShowing(screen->geometry()).has_value();
    });
}

QCoro::Task<> WaylandScreenCast::settleScreens() {
    QPointer<WaylandScreenCast> self(this);
    if (m_opening) {
        co_await qCoro(this, &WaylandScreenCast::sessionOpened);
        if (!self) {
            co_return;
        }
    }
    if (m_screenChangeTimer.isActive()) {
        co_return; // more changes came; the run after them decides
    }
    bool lost = std::exchange(m_lostUnsettled, false);
    if (std::exchange(m_screensChanged, false) &&
        (lost || (m_connection && !sharesEveryScreen()))) {
        if (m_connection) {
            m_portal.close();
            endSession(tr("The screens changed, so Oculo shares them anew."));
        }
        // The stored token keeps this silent where the portal restores the
        // choice; a new monitor may make the desktop ask again.
        co_await open();
        if (!self) {
            co_return;
        }
        lost = m_connection == nullptr;
    }
    if (lost) {
        m_endUnreported = true;
        Q_EMIT sessionEnded();
    }
    Q_EMIT screensSettled();
}

void WaylandScreenCast::close() {
    m_portal.close();
    endSession(tr("Screen sharing was stopped, so Oculo no longer sees the screen."));
}

} // namespace oculo::wayland
