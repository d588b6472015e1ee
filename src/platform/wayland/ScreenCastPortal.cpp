#include "platform/wayland/ScreenCastPortal.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusUnixFileDescriptor>
#include <QDBusVariant>
#include <QPointer>
#include <qcoro/qcorodbus.h>
#include <qcoro/qcorosignal.h>

#include <fcntl.h>
#include <unistd.h>

namespace oculo::wayland {
namespace {

const QString portalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString portalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString screenCastInterface = QStringLiteral("org.freedesktop.portal.ScreenCast");
const QString requestInterface = QStringLiteral("org.freedesktop.portal.Request");
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

// The object path a request with `token` gets, known before the call so that
// its Response is watched before a fast portal can send it.
QString requestPath(const QString& token) {
    QString sender = QDBusConnection::sessionBus().baseService().mid(1);
    sender.replace(QLatin1Char('.'), QLatin1Char('_'));
    return portalPath + QStringLiteral("/request/") + sender + QLatin1Char('/') + token;
}

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

bool meansNoScreenCast(const QDBusMessage& reply) {
    const QString name = reply.errorName();
    return name == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown") ||
           name == QLatin1String("org.freedesktop.DBus.Error.UnknownInterface") ||
           name == QLatin1String("org.freedesktop.DBus.Error.UnknownMethod") ||
           name == QLatin1String("org.freedesktop.DBus.Error.UnknownObject") ||
           name == QLatin1String("org.freedesktop.DBus.Error.InvalidArgs");
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
QVariantMap sessionOptions(quint32 counter) {
    return {{QStringLiteral("session_handle_token"), QStringLiteral("oculo%1").arg(counter)}};
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

// Receives one request's Response; the answer is kept in case it comes
// before anyone waits for it.
class RequestWatcher : public QObject {
    Q_OBJECT

public:
    explicit RequestWatcher(QString path)
        : m_path(std::move(path)) {
        subscribe(true);
    }
    ~RequestWatcher() override { subscribe(false); }

    void follow(const QString& path) {
        if (path.isEmpty() || path == m_path) {
            return;
        }
        subscribe(false);
        m_path = path;
        subscribe(true);
    }

    bool answered = false;
    uint code = 2;
    QVariantMap results;

Q_SIGNALS:
    void responded();

public Q_SLOTS:
    void handleResponse(uint response, const QVariantMap& values) {
        answered = true;
        code = response;
        results = values;
        Q_EMIT responded();
    }

private:
    void subscribe(bool on) {
        QDBusConnection bus = QDBusConnection::sessionBus();
        if (on) {
            bus.connect(portalService, m_path, requestInterface, QStringLiteral("Response"), this,
                        SLOT(handleResponse(uint, QVariantMap)));
        } else {
            bus.disconnect(portalService, m_path, requestInterface, QStringLiteral("Response"),
                           this, SLOT(handleResponse(uint, QVariantMap)));
        }
    }

    QString m_path;
};

QCoro::Task<std::optional<QVariant>> readProperty(const QString& name) {
    QDBusMessage call = QDBusMessage::createMethodCall(
        portalService, portalPath, QStringLiteral("org.freedesktop.DBus.Properties"),
        QStringLiteral("Get"));
    call << screenCastInterface << name;
    const QDBusMessage reply =
        co_await QDBusConnection::sessionBus().asyncCall(call, int(quickStepTimeout.count()));
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
        co_return std::nullopt;
    }
    co_return reply.arguments().constFirst().value<QDBusVariant>().variant();
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

struct ScreenCastPortal::Answer {
    enum class Kind { answered, noScreenCast, callFailed };
    Kind kind = Kind::callFailed;
    uint code = 2;
    QVariantMap results;
    QString error;
};

ScreenCastPortal::ScreenCastPortal(QObject* parent)
    : QObject(parent) {}

ScreenCastPortal::~ScreenCastPortal() {
    close();
}

QCoro::Task<ScreenCastPortal::Answer> ScreenCastPortal::request(const QString& method,
                                                                QList<QVariant> arguments,
                                                                QVariantMap options,
                                                                std::chrono::milliseconds timeout) {
    const QString token = QStringLiteral("oculo%1").arg(++m_tokenCounter);
    options.insert(QStringLiteral("handle_token"), token);
    RequestWatcher watcher(requestPath(token));
    QDBusMessage call =
        QDBusMessage::createMethodCall(portalService, portalPath, screenCastInterface, method);
    arguments.append(options);
    call.setArguments(arguments);
    const QDBusMessage reply =
        co_await QDBusConnection::sessionBus().asyncCall(call, int(quickStepTimeout.count()));
    Answer answer;
    if (reply.type() != QDBusMessage::ReplyMessage) {
        answer.kind =
            meansNoScreenCast(reply) ? Answer::Kind::noScreenCast : Answer::Kind::callFailed;
        answer.error = reply.errorMessage();
        co_return answer;
    }
    // Older portals chose the request's path themselves.
    watcher.follow(reply.arguments().value(0).value<QDBusObjectPath>().path());
    if (!watcher.answered) {
        co_await qCoro(&watcher, &RequestWatcher::responded, timeout);
    }
    if (!watcher.answered) {
        answer.error = method + QLatin1String(" got no answer");
        co_return answer;
    }
    answer.kind = Answer::Kind::answered;
    answer.code = watcher.code;
    answer.results = watcher.results;
    co_return answer;
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
    const std::optional<QVariant> version = co_await readProperty(names::version);
    if (!self) {
        co_return PortalSession{};
    }
    if (!version) {
        co_return ended(Outcome::unavailable, unavailableText());
    }
    const std::optional<QVariant> cursorModes = co_await readProperty(names::AvailableCursorModes);
    if (!self) {
        co_return PortalSession{};
    }
    const uint offered = cursorModes ? cursorModes->toUInt() : 0;
    const CursorMode cursorMode =
        (offered & uint(CursorMode::metadata)) != 0 ? CursorMode::metadata : CursorMode::embedded;

    const auto failed = [](const Answer& answer, const QString& step) {
        if (answer.kind == Answer::Kind::noScreenCast) {
            return ended(Outcome::unavailable, unavailableText());
        }
        if (answer.kind == Answer::Kind::answered && answer.code == 1) {
            return ended(Outcome::refused,
                         tr("Screen sharing was not allowed, so Oculo cannot show the screen."));
        }
        if (answer.kind == Answer::Kind::answered) {
            return ended(Outcome::refused,
                         tr("The system did not share the screen, so Oculo cannot show it."));
        }
        return ended(Outcome::failed,
                     tr("Oculo could not ask the system to share the screen (%1: %2).")
                         .arg(step, answer.error));
    };

    Answer answer = co_await request(names::CreateSession, QList<QVariant>(),
                                     sessionOptions(m_tokenCounter), quickStepTimeout);
    if (!self) {
        co_return PortalSession{};
    }
    if (answer.kind != Answer::Kind::answered || answer.code != 0) {
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
    if (answer.kind != Answer::Kind::answered || answer.code != 0) {
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
    if (answer.kind != Answer::Kind::answered || answer.code != 0) {
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

    QDBusMessage call = QDBusMessage::createMethodCall(
        portalService, portalPath, screenCastInterface, names::OpenPipeWireRemote);
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
    const QDBusMessage call = QDBusMessage::createMethodCall(
        portalService, m_session, sessionInterface, QStringLiteral("Close"));
    QDBusConnection::sessionBus().call(call, QDBus::NoBlock);
    m_session.clear();
}

void ScreenCastPortal::handleSessionClosed() {
    unwatchSession();
    m_session.clear();
    Q_EMIT closed();
}

void ScreenCastPortal::watchSession(const QString& handle) {
    m_session = handle;
    QDBusConnection::sessionBus().connect(portalService, handle, sessionInterface,
                                          QStringLiteral("Closed"), this,
                                          SLOT(handleSessionClosed()));
}

void ScreenCastPortal::unwatchSession() {
    QDBusConnection::sessionBus().disconnect(portalService, m_session, sessionInterface,
                                             QStringLiteral("Closed"), this,
                                             SLOT(handleSessionClosed()));
}

} // namespace oculo::wayland

#include "ScreenCastPortal.moc"
