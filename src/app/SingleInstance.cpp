#include "app/SingleInstance.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDeadlineTimer>
#include <QDebug>
#include <QDir>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QThread>

#include <sys/stat.h>
#include <unistd.h>

namespace oculo {

namespace {

const QString objectPath = QStringLiteral("/SingleInstance");
const QByteArray activateRequest = QByteArrayLiteral("activate\n");
// How long a later start waits for the running one to take its request; the
// running one may itself be starting.
constexpr int handOverTimeoutMs = 5000;
constexpr int retryPauseMs = 100;

// Where the lock goes when Qt finds no usable runtime folder: a folder of this
// user's own in the temporary one, so that no other user's files can block a
// start. Empty when it is not ours alone (someone else made it first).
QString ownTemporaryFolder() {
    const QString path = QDir::tempPath() + QStringLiteral("/oculo-%1").arg(geteuid());
    const QByteArray native = QFile::encodeName(path);
    mkdir(native.constData(), 0700);
    struct stat info = {};
    if (lstat(native.constData(), &info) != 0 || !S_ISDIR(info.st_mode) ||
        info.st_uid != geteuid() || (info.st_mode & 077) != 0) {
        return {};
    }
    return path;
}

} // namespace

SingleInstance::SingleInstance(QString serviceName, QObject* parent)
    : QObject(parent)
    , m_serviceName(std::move(serviceName)) {}

SingleInstance::~SingleInstance() {
    if (m_onBus) {
        QDBusConnection bus = QDBusConnection::sessionBus();
        bus.unregisterService(m_serviceName);
        bus.unregisterObject(objectPath);
    }
    m_server.close();
}

SingleInstance::Claim SingleInstance::claim() {
    if (QDBusConnection::sessionBus().isConnected()) {
        return claimOnSessionBus();
    }
    return claimLocally();
}

void SingleInstance::Activate() {
    Q_EMIT activationRequested();
}

SingleInstance::Claim SingleInstance::claimOnSessionBus() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.registerObject(objectPath, this, QDBusConnection::ExportScriptableSlots)) {
        m_error = QStringLiteral("Oculo could not register itself on the session bus.");
        return Claim::failed;
    }
    // The bus gives a name to one caller only, so two starts at once cannot both win.
    const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> reply =
        bus.interface()->registerService(m_serviceName, QDBusConnectionInterface::DontQueueService,
                                         QDBusConnectionInterface::DontAllowReplacement);
    if (reply.isValid() && reply.value() == QDBusConnectionInterface::ServiceRegistered) {
        m_onBus = true;
        return Claim::primary;
    }
    bus.unregisterObject(objectPath);
    const QDBusMessage call = QDBusMessage::createMethodCall(
        m_serviceName, objectPath, QStringLiteral("org.oculo.Oculo.SingleInstance"),
        QStringLiteral("Activate"));
    const QDBusMessage answer = bus.call(call, QDBus::Block, handOverTimeoutMs);
    if (answer.type() != QDBusMessage::ReplyMessage) {
        m_error = QStringLiteral("Oculo is already running but does not respond.");
        return Claim::failed;
    }
    return Claim::handedOver;
}

SingleInstance::Claim SingleInstance::claimLocally() {
    QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (folder.isEmpty()) {
        folder = ownTemporaryFolder();
    }
    if (folder.isEmpty()) {
        qWarning("Oculo has no private folder for its lock; a second start will not be noticed");
        return Claim::primary;
    }
    const QString base = folder + QLatin1Char('/') + m_serviceName;
    m_lock = std::make_unique<QLockFile>(base + QStringLiteral(".lock"));
    // Held for the whole run: only a dead holder (a crash) makes a lock stale,
    // never its age.
    m_lock->setStaleLockTime(0);
    const QString socketPath = base + QStringLiteral(".socket");

    const QDeadlineTimer deadline(handOverTimeoutMs);
    while (true) {
        if (m_lock->tryLock(0)) {
            // A socket left by a crashed instance would stop listen().
            QLocalServer::removeServer(socketPath);
            m_server.setSocketOptions(QLocalServer::UserAccessOption);
            if (!m_server.listen(socketPath)) {
                m_error = QStringLiteral("Oculo could not listen on %1: %2")
                              .arg(socketPath, m_server.errorString());
                return Claim::failed;
            }
            connect(&m_server, &QLocalServer::newConnection, this,
                    &SingleInstance::acceptConnections);
            return Claim::primary;
        }
        if (m_lock->error() != QLockFile::LockFailedError) {
            // No lock can be made at all: running beats refusing to start.
            qWarning().noquote() << QStringLiteral("Oculo cannot create its lock in %1; a second "
                                                   "start will not be noticed")
                                        .arg(folder);
            return Claim::primary;
        }
        QLocalSocket socket;
        socket.connectToServer(socketPath);
        if (socket.waitForConnected(retryPauseMs)) {
            socket.write(activateRequest);
            // Wait for the running instance to close: it has taken the request.
            if (socket.waitForBytesWritten(handOverTimeoutMs) &&
                (socket.state() == QLocalSocket::UnconnectedState ||
                 socket.waitForDisconnected(handOverTimeoutMs))) {
                return Claim::handedOver;
            }
        }
        if (deadline.hasExpired()) {
            m_error = QStringLiteral("Oculo is already running but does not respond.");
            return Claim::failed;
        }
        // The holder may still be setting up its socket, or may just have ended.
        QThread::msleep(retryPauseMs);
    }
}

void SingleInstance::acceptConnections() {
    while (QLocalSocket* socket = m_server.nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            if (!socket->canReadLine()) {
                if (socket->bytesAvailable() > activateRequest.size()) {
                    socket->disconnectFromServer(); // not a start of Oculo
                }
                return;
            }
            if (socket->readLine() == activateRequest) {
                Q_EMIT activationRequested();
            }
            socket->disconnectFromServer();
        });
    }
}

} // namespace oculo
