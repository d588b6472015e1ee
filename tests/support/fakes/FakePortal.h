#pragma once

#include "platform/portal/PortalRequest.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVirtualObject>

namespace oculo::test {

// A fake desktop portal: `object` answers every call to the portal's path and
// below, on a connection of its own to the test's session bus, until this goes.
class FakePortalService {
public:
    FakePortalService(const QString& name, QDBusVirtualObject* object)
        : m_name(name)
        , m_bus(QDBusConnection::connectToBus(
              QString::fromLocal8Bit(qgetenv("DBUS_SESSION_BUS_ADDRESS")), name)) {
        registered =
            m_bus.registerVirtualObject(portal::portalPath(), object, QDBusConnection::SubPath) &&
            m_bus.registerService(portal::portalService());
    }
    ~FakePortalService() {
        m_bus.unregisterService(portal::portalService());
        m_bus.unregisterObject(portal::portalPath(), QDBusConnection::UnregisterTree);
        QDBusConnection::disconnectFromBus(m_name);
    }
    FakePortalService(const FakePortalService&) = delete;
    FakePortalService& operator=(const FakePortalService&) = delete;

    QDBusConnection& bus() { return m_bus; }
    bool registered = false;

private:
    QString m_name;
    QDBusConnection m_bus;
};

// The Request object a portal call of `message` answers on, as the caller predicted it.
inline QString predictedRequestPath(const QDBusMessage& message) {
    const QString token = qdbus_cast<QVariantMap>(message.arguments().constLast())
                              .value(QStringLiteral("handle_token"))
                              .toString();
    return portal::portalPath() + QStringLiteral("/request/") +
           message.service().mid(1).replace(QLatin1Char('.'), QLatin1Char('_')) + QLatin1Char('/') +
           token;
}

// The Response a portal sends on the request object at `path`.
inline QDBusMessage portalResponse(const QString& path, uint code, const QVariantMap& results) {
    return QDBusMessage::createSignal(path, QStringLiteral("org.freedesktop.portal.Request"),
                                      QStringLiteral("Response"))
           << code << results;
}

// Answers a portal call at once: the request's path, then its Response there.
inline void answerRequest(const QDBusConnection& connection, const QDBusMessage& message, uint code,
                          const QVariantMap& results) {
    const QString path = predictedRequestPath(message);
    connection.send(message.createReply(QVariant::fromValue(QDBusObjectPath(path))));
    connection.send(portalResponse(path, code, results));
}

} // namespace oculo::test
