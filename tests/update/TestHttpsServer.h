#pragma once

#include <QPointer>
#include <QProcess>
#include <QRegularExpression>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslServer>
#include <QTcpSocket>

// The update tests' HTTPS server on 127.0.0.1, shared by the check and install tests.
namespace oculo::test {

// A server identity with a self-signed certificate for 127.0.0.1, made when asked;
// its key never touches the disk.
inline QSslConfiguration makeLocalIdentity(const char* commonName) {
    QProcess openssl;
    openssl.start(QStringLiteral("openssl"),
                  QStringLiteral("req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes "
                                 "-days 1 -addext subjectAltName=IP:127.0.0.1 -subj /CN=%1 "
                                 "-keyout /dev/stdout -out /dev/stdout")
                      .arg(QLatin1String(commonName))
                      .split(QLatin1Char(' ')));
    if (!openssl.waitForFinished(60000) || openssl.exitCode() != 0) {
        qFatal("openssl could not make a test certificate");
    }
    const QByteArray pem = openssl.readAllStandardOutput();
    QSslConfiguration identity = QSslConfiguration::defaultConfiguration();
    identity.setLocalCertificate(QSslCertificate(pem));
    identity.setPrivateKey(QSslKey(pem, QSsl::Ec));
    return identity;
}

struct CannedResponse {
    int status = 200;
    QByteArray body = {};
    QByteArray extraHeaders = {}; // whole lines, each ending in "\r\n"
};

// An HTTPS server on 127.0.0.1 that answers requests with queued responses;
// a request finding none is held until answerHeld(). Records each request's
// head (request line and header fields).
class TestHttpsServer : public QObject {
public:
    TestHttpsServer() {
        m_server.setSslConfiguration(makeLocalIdentity("oculo-test"));
        connect(&m_server, &QTcpServer::pendingConnectionAvailable, this, [this] {
            while (QTcpSocket* socket = m_server.nextPendingConnection()) {
                connect(socket, &QIODevice::readyRead, this, [this, socket] { readFrom(socket); });
                connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
                readFrom(socket);
            }
        });
        if (!m_server.listen(QHostAddress::LocalHost, 0)) {
            qFatal("The test server cannot listen on 127.0.0.1");
        }
    }

    QUrl baseUrl() const {
        return QUrl(QStringLiteral("https://127.0.0.1:%1").arg(m_server.serverPort()));
    }
    QSslCertificate certificate() const { return m_server.sslConfiguration().localCertificate(); }
    void enqueue(const CannedResponse& response) { m_queue.append(response); }

    void answerHeld(const CannedResponse& response) {
        QTcpSocket* socket = m_held.isEmpty() ? nullptr : m_held.takeFirst().data();
        if (socket != nullptr) {
            socket->write("HTTP/1.1 " + QByteArray::number(response.status) +
                          " Test\r\nContent-Length: " + QByteArray::number(response.body.size()) +
                          "\r\n" + response.extraHeaders + "Connection: close\r\n\r\n" +
                          response.body);
            socket->disconnectFromHost();
        }
    }

    QList<QByteArray> requests;

private:
    // Takes a request once it has fully arrived.
    void readFrom(QTcpSocket* socket) {
        const QByteArray data = socket->peek(socket->bytesAvailable());
        const qsizetype headEnd = data.indexOf("\r\n\r\n");
        static const QRegularExpression lengthField(QStringLiteral("content-length: *(\\d+)"),
                                                    QRegularExpression::CaseInsensitiveOption);
        const QByteArray head = data.left(headEnd);
        const qsizetype length =
            lengthField.match(QString::fromLatin1(head)).captured(1).toLongLong();
        if (headEnd < 0 || data.size() < headEnd + 4 + length) {
            return;
        }
        socket->readAll();
        requests.append(head);
        m_held.append(socket);
        if (!m_queue.isEmpty()) {
            answerHeld(m_queue.takeFirst());
        }
    }

    QList<CannedResponse> m_queue;
    QList<QPointer<QTcpSocket>> m_held;
    QSslServer m_server;
};

} // namespace oculo::test
