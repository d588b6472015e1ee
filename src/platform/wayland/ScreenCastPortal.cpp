#include "platform/wayland/ScreenCastPortal.h"

#include "platform/portal/PortalRequest.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusUnixFileDescriptor>
#include <QDBusVariant>
#include <QPointer>
#include <qcoro/qcorodbus.h>

#include <fcntl.h>
#include <unistd.h>

namespace oculo::wayland {
namespace {

const QString screenCastInterface = QStringLiteral("org.freedesktop.portal.ScreenCast");
const QString sessionInterface = QStringLiteral("org.freedesktop.portal.Session");

// Names used inside coroutines, where GCC 12 cannot take QStringLiteral.
namespace names {
const QString AvailableCursorModes = QStringLiteral("AvailableCursorModes");
const QString CreateSession = QStringLiteral("CreateSession");
const QString OpenPipeWireRemote = QStringLiteral("OpenPipeWireRemote");
const QString SelectSources = QStringLiteral("SelectSources");
const QString Start = QStringLiteral("Start");
const QString restoreToken = QStringLiteral("restore_token");
const QString sessionHandle = QStringLiteral("session_handle");
const QString streams = QStringLiteral("streams");
const QString version = QStringLiteral("version");
} // namespace names

constexpr uint sourceTypeMonitor = 1;
constexpr uint persistUntilRevoked = 2;
// Every step but Start answers without a person; Start may wait on the share dialog.
constexpr std::chrono::milliseconds quickStepTimeout{15000};
constexpr std::chrono::milliseconds dialogTimeout{10 * 60 * 1000};

QPoint readPair(const QVariant& value) {
    int first = 0;
    int second = 0;
    if (value.canConvert<QDBusArgument>()) {
        const auto argument = value.value<QDBusArgument>();
        argument.beginStructure();
        argument >> first >> second;
        argument.endStructure();
    }
    return {first, second};
}

QList<PortalStream> readStreams(const QVariant& value) {
    QList<PortalStream> streams;
    if (!value.canConvert<QDBusArgument>()) {
        return streams;
    }
    const auto argument = value.value<QDBusArgument>();
    argument.beginArray();
    while (!argument.atEnd()) {
        PortalStream stream;
        QVariantMap properties;
        argument.beginStructure();
        argument >> stream.node >> properties;
        argument.endStructure();
        stream.position = readPair(properties.value(QStringLiteral("position")));
        const QPoint size = readPair(properties.value(QStringLiteral("size")));
        stream.size = QSize(size.x(), size.y());
        streams.append(stream);
    }
    argument.endArray();
    return streams;
}

PortalSession ended(PortalSession::Outcome outcome, QString description) {
    PortalSession session;
    session.outcome = outcome;
    session.description = std::move(description);
    return session;
}

QString unavailableText() {
    return QObject::tr("This desktop offers no screen sharing to applications, so Oculo cannot "
                       "show the screen.");
}

// Options are built outside coroutines: GCC 12 cannot initialise them from
// QStringLiteral inside one.
QVariantMap sessionOptions() {
    return {{QStringLiteral("session_handle_token"), portal::PortalRequest::uniqueToken()}};
}

QVariantMap selectionOptions(CursorMode cursorMode, uint version, const QString& restoreToken) {
    QVariantMap selection{{QStringLiteral("types"), QVariant::fromValue(sourceTypeMonitor)},
                          {QStringLiteral("multiple"), true},
                          {QStringLiteral("cursor_mode"), QVariant::fromValue(uint(cursorMode))}};
    // Remembering the choice came with version 4.
    if (version >= 4) {
        selection.insert(QStringLiteral("persist_mode"), QVariant::fromValue(persistUntilRevoked));
        if (!restoreToken.isEmpty()) {
            selection.insert(QStringLiteral("restore_token"), restoreToken);
        }
    }
    return selection;
}

} // namespace

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
        m_fd = std::exchange(other.m_fd, -1);
    }
    return *this;
}

UniqueFd::~UniqueFd() {
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

ScreenCastPortal::ScreenCastPortal(QObject* parent)
    : QObject(parent) {}

ScreenCastPortal::~ScreenCastPortal() {
    close();
}

QCoro::Task<portal::PortalAnswer> ScreenCastPortal::request(const QString& method,
                                                            QList<QVariant> arguments,
                                                            QVariantMap options,
                                                            std::chrono::milliseconds timeout) {
    return portal::PortalRequest::call(QDBusConnection::sessionBus(), screenCastInterface, method,
                                       std::move(arguments), std::move(options), timeout);
}

QCoro::Task<PortalSession> ScreenCastPortal::open(QString restoreToken) {
    close();
    QPointer<ScreenCastPortal> self(this);
    PortalSession session = co_await walk(std::move(restoreToken));
    if (!self) {
        co_return session;
    }
    if (session.outcome == PortalSession::Outcome::started) {
        watchSession(session.handle);
    } else if (!session.handle.isEmpty()) {
        // A session left half set up would keep its stream nodes alive.
        m_session = session.handle;
        close();
    }
    co_return session;
}

QCoro::Task<PortalSession> ScreenCastPortal::walk(QString restoreToken) {
    using Outcome = PortalSession::Outcome;
    QPointer<ScreenCastPortal> self(this);
    if (!QDBusConnection::sessionBus().isConnected()) {
        co_return ended(Outcome::unavailable, unavailableText());
    }
    const std::optional<QVariant> version = co_await portal::PortalRequest::property(
        QDBusConnection::sessionBus(), screenCastInterface, names::version);
    if (!self) {
        co_return PortalSession{};
    }
    if (!version) {
        co_return ended(Outcome::unavailable, unavailableText());
    }
    const std::optional<QVariant> cursorModes = co_await portal::PortalRequest::property(
        QDBusConnection::sessionBus(), screenCastInterface, names::AvailableCursorModes);
    if (!self) {
        co_return PortalSession{};
    }
    const uint offered = cursorModes ? cursorModes->toUInt() : 0;
    const CursorMode cursorMode =
        (offered & uint(CursorMode::metadata)) != 0 ? CursorMode::metadata : CursorMode::embedded;

    const auto failed = [](const portal::PortalAnswer& answer, const QString& step) {
        if (answer.kind == portal::PortalAnswer::Kind::missing) {
            return ended(Outcome::unavailable, unavailableText());
        }
        if (answer.kind == portal::PortalAnswer::Kind::answered && answer.code == 1) {
            return ended(Outcome::refused,
                         tr("Screen sharing was not allowed, so Oculo cannot show the screen."));
        }
        if (answer.kind == portal::PortalAnswer::Kind::answered) {
            return ended(Outcome::refused,
                         tr("The system did not share the screen, so Oculo cannot show it."));
        }
        return ended(Outcome::failed,
                     tr("Oculo could not ask the system to share the screen (%1: %2).")
                         .arg(step, answer.error));
    };

    portal::PortalAnswer answer = co_await request(names::CreateSession, QList<QVariant>(),
                                                   sessionOptions(), quickStepTimeout);
    if (!self) {
        co_return PortalSession{};
    }
    if (answer.kind != portal::PortalAnswer::Kind::answered || answer.code != 0) {
        co_return failed(answer, names::CreateSession);
    }
    PortalSession session;
    // Sent back as a string, taken as an object path.
    session.handle = answer.results.value(names::sessionHandle).toString();
    session.cursorMode = cursorMode;
    const QDBusObjectPath handle(session.handle);

    const QList<QVariant> selectArguments{QVariant::fromValue(handle)};
    answer = co_await request(names::SelectSources, selectArguments,
                              selectionOptions(cursorMode, version->toUInt(), restoreToken),
                              quickStepTimeout);
    if (!self) {
        co_return PortalSession{};
    }
    if (answer.kind != portal::PortalAnswer::Kind::answered || answer.code != 0) {
        PortalSession result = failed(answer, names::SelectSources);
        result.handle = session.handle;
        co_return result;
    }
    // Initialiser lists must not live across a suspension (GCC 12).
    const QList<QVariant> startArguments{QVariant::fromValue(handle), QString()};
    answer = co_await request(names::Start, startArguments, QVariantMap(), dialogTimeout);
    if (!self) {
        co_return PortalSession{};
    }
    if (answer.kind != portal::PortalAnswer::Kind::answered || answer.code != 0) {
        PortalSession result = failed(answer, names::Start);
        result.handle = session.handle;
        co_return result;
    }
    session.restoreToken = answer.results.value(names::restoreToken).toString();
    session.streams = readStreams(answer.results.value(names::streams));
    if (session.streams.isEmpty()) {
        PortalSession result =
            ended(Outcome::refused, tr("No screen was shared, so Oculo cannot show the screen."));
        result.handle = session.handle;
        co_return result;
    }

    QDBusMessage call =
        QDBusMessage::createMethodCall(portal::portalService(), portal::portalPath(),
                                       screenCastInterface, names::OpenPipeWireRemote);
    call << QVariant::fromValue(handle) << QVariantMap{};
    const QDBusMessage reply =
        co_await QDBusConnection::sessionBus().asyncCall(call, int(quickStepTimeout.count()));
    if (!self) {
        co_return PortalSession{};
    }
    const int fd = reply.arguments().value(0).value<QDBusUnixFileDescriptor>().fileDescriptor();
    if (reply.type() != QDBusMessage::ReplyMessage || fd < 0) {
        PortalSession result =
            ended(Outcome::failed,
                  tr("Oculo could not reach the shared screen (%1).").arg(reply.errorMessage()));
        result.handle = session.handle;
        co_return result;
    }
    // The message's descriptor closes with it.
    session.pipeWire = UniqueFd(fcntl(fd, F_DUPFD_CLOEXEC, 3));
    session.outcome = Outcome::started;
    co_return session;
}

void ScreenCastPortal::close() {
    if (m_session.isEmpty()) {
        return;
    }
    unwatchSession();
    portal::PortalRequest::closeSession(QDBusConnection::sessionBus(), m_session);
    m_session.clear();
}

void ScreenCastPortal::handleSessionClosed() {
    unwatchSession();
    m_session.clear();
    Q_EMIT closed();
}

void ScreenCastPortal::watchSession(const QString& handle) {
    m_session = handle;
    QDBusConnection::sessionBus().connect(portal::portalService(), handle, sessionInterface,
                                          QStringLiteral("Closed"), this,
                                          SLOT(handleSessionClosed()));
}

void ScreenCastPortal::unwatchSession() {
    QDBusConnection::sessionBus().disconnect(portal::portalService(), m_session, sessionInterface,
                                             QStringLiteral("Closed"), this,
                                             SLOT(handleSessionClosed()));
}

} // namespace oculo::wayland
