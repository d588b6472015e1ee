#include "platform/portal/PortalRequest.h"

#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusVariant>
#include <QObject>
#include <qcoro/qcorodbus.h>
#include <qcoro/qcorosignal.h>

#include <atomic>

namespace oculo::portal {
namespace {

const QString requestInterface = QStringLiteral("org.freedesktop.portal.Request");
const QString propertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");
const QString responseSignal = QStringLiteral("Response");
// Names used inside coroutines, where GCC 12 cannot take QStringLiteral.
const QString handleTokenKey = QStringLiteral("handle_token");
const QString getMethod = QStringLiteral("Get");
const QString noAnswerText = QStringLiteral(" got no answer");

// Receives one request's Response; the answer is kept in case it comes
// before anyone waits for it.
class ResponseWatcher : public QObject {
    Q_OBJECT

public:
    ResponseWatcher(QDBusConnection bus, QString path)
        : m_bus(std::move(bus))
        , m_path(std::move(path)) {
        subscribe(true);
    }
    ~ResponseWatcher() override { subscribe(false); }

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
        if (on) {
            m_bus.connect(portalService(), m_path, requestInterface, responseSignal, this,
                          SLOT(handleResponse(uint, QVariantMap)));
        } else {
            m_bus.disconnect(portalService(), m_path, requestInterface, responseSignal, this,
                             SLOT(handleResponse(uint, QVariantMap)));
        }
    }

    QDBusConnection m_bus;
    QString m_path;
};

} // namespace

const QString& portalService() {
    static const QString name = QStringLiteral("org.freedesktop.portal.Desktop");
    return name;
}

const QString& portalPath() {
    static const QString path = QStringLiteral("/org/freedesktop/portal/desktop");
    return path;
}

QString PortalRequest::uniqueToken() {
    static std::atomic<quint32> counter{0};
    return QStringLiteral("oculo%1").arg(++counter);
}

QString PortalRequest::requestPath(const QDBusConnection& bus, const QString& token) {
    QString sender = bus.baseService().mid(1);
    sender.replace(QLatin1Char('.'), QLatin1Char('_'));
    return portalPath() + QStringLiteral("/request/") + sender + QLatin1Char('/') + token;
}

bool PortalRequest::meansMissing(const QDBusMessage& reply) {
    const QString name = reply.errorName();
    return name == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown") ||
           name == QLatin1String("org.freedesktop.DBus.Error.UnknownInterface") ||
           name == QLatin1String("org.freedesktop.DBus.Error.UnknownMethod") ||
           name == QLatin1String("org.freedesktop.DBus.Error.UnknownObject") ||
           name == QLatin1String("org.freedesktop.DBus.Error.InvalidArgs");
}

void PortalRequest::closeSession(const QDBusConnection& bus, const QString& sessionHandle) {
    if (sessionHandle.isEmpty()) {
        return;
    }
    bus.asyncCall(QDBusMessage::createMethodCall(portalService(), sessionHandle,
                                                 QStringLiteral("org.freedesktop.portal.Session"),
                                                 QStringLiteral("Close")));
}

QCoro::Task<PortalAnswer> PortalRequest::call(QDBusConnection bus, QString interface,
                                              QString method, QList<QVariant> arguments,
                                              QVariantMap options,
                                              std::chrono::milliseconds answerTimeout) {
    PortalAnswer answer;
    if (!bus.isConnected()) {
        answer.kind = PortalAnswer::Kind::missing;
        answer.error = bus.lastError().message();
        co_return answer;
    }
    const QString token = uniqueToken();
    options.insert(handleTokenKey, token);
    ResponseWatcher watcher(bus, requestPath(bus, token));
    QDBusMessage message =
        QDBusMessage::createMethodCall(portalService(), portalPath(), interface, method);
    arguments.append(options);
    message.setArguments(arguments);
    const QDBusMessage reply = co_await bus.asyncCall(message, int(callTimeout.count()));
    if (reply.type() != QDBusMessage::ReplyMessage) {
        answer.kind =
            meansMissing(reply) ? PortalAnswer::Kind::missing : PortalAnswer::Kind::failed;
        answer.error = reply.errorMessage();
        co_return answer;
    }
    // Older portals chose the request's path themselves.
    watcher.follow(reply.arguments().value(0).value<QDBusObjectPath>().path());
    if (!watcher.answered) {
        co_await qCoro(&watcher, &ResponseWatcher::responded, answerTimeout);
    }
    if (!watcher.answered) {
        answer.error = method + noAnswerText;
        co_return answer;
    }
    answer.kind = PortalAnswer::Kind::answered;
    answer.code = watcher.code;
    answer.results = watcher.results;
    co_return answer;
}

QCoro::Task<std::optional<QVariant>> PortalRequest::property(QDBusConnection bus, QString interface,
                                                             QString name) {
    if (!bus.isConnected()) {
        co_return std::nullopt;
    }
    QDBusMessage message = QDBusMessage::createMethodCall(portalService(), portalPath(),
                                                          propertiesInterface, getMethod);
    message << interface << name;
    const QDBusMessage reply = co_await bus.asyncCall(message, int(callTimeout.count()));
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
        co_return std::nullopt;
    }
    co_return reply.arguments().constFirst().value<QDBusVariant>().variant();
}

} // namespace oculo::portal

#include "PortalRequest.moc"
