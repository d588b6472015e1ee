#include "UpdateTestSupport.h"

#include <QSslConfiguration>
#include <QSslSocket>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <memory>

namespace oculo::test {
namespace {

template <typename T, void (*Free)(T*)>
using OpenSslPtr = std::unique_ptr<T, decltype([](T* p) { Free(p); })>;

QByteArray drain(BIO* bio) {
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return QByteArray(data, static_cast<qsizetype>(size));
}

} // namespace

TestCertificate makeLocalCertificate(const char* commonName) {
    const OpenSslPtr<EVP_PKEY, EVP_PKEY_free> key(EVP_EC_gen("P-256"));
    const OpenSslPtr<X509, X509_free> cert(X509_new());
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 86400);
    X509_set_pubkey(cert.get(), key.get());
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(commonName), -1, -1, 0);
    X509_set_issuer_name(cert.get(), name);
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, cert.get(), cert.get(), nullptr, nullptr, 0);
    const OpenSslPtr<X509_EXTENSION, X509_EXTENSION_free> altName(
        X509V3_EXT_conf_nid(nullptr, &context, NID_subject_alt_name, "IP:127.0.0.1"));
    X509_add_ext(cert.get(), altName.get(), -1);
    X509_sign(cert.get(), key.get(), EVP_sha256());

    const OpenSslPtr<BIO, BIO_free_all> certPem(BIO_new(BIO_s_mem()));
    const OpenSslPtr<BIO, BIO_free_all> keyPem(BIO_new(BIO_s_mem()));
    PEM_write_bio_X509(certPem.get(), cert.get());
    PEM_write_bio_PrivateKey(keyPem.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr);
    return {QSslCertificate(drain(certPem.get())), QSslKey(drain(keyPem.get()), QSsl::Ec)};
}

TestHttpsServer::TestHttpsServer(const TestCertificate& identity)
    : m_certificate(identity.certificate) {
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setLocalCertificate(identity.certificate);
    tls.setPrivateKey(identity.key);
    tls.setPeerVerifyMode(QSslSocket::VerifyNone);
    m_server.setSslConfiguration(tls);
    connect(&m_server, &QTcpServer::pendingConnectionAvailable, this, [this] {
        while (QTcpSocket* socket = m_server.nextPendingConnection()) {
            connect(socket, &QIODevice::readyRead, this, [this, socket] { readFrom(socket); });
            connect(socket, &QAbstractSocket::disconnected, this, [this, socket] {
                m_buffers.remove(socket);
                socket->deleteLater();
            });
            readFrom(socket);
        }
    });
    if (!m_server.listen(QHostAddress::LocalHost, 0)) {
        qFatal("The test server cannot listen on 127.0.0.1");
    }
}

QUrl TestHttpsServer::baseUrl() const {
    return QUrl(QStringLiteral("https://127.0.0.1:%1").arg(m_server.serverPort()));
}

void TestHttpsServer::readFrom(QTcpSocket* socket) {
    QByteArray& buffer = m_buffers[socket];
    buffer += socket->readAll();
    const qsizetype headEnd = buffer.indexOf("\r\n\r\n");
    if (headEnd < 0) {
        return;
    }
    ReceivedRequest request;
    const QList<QByteArray> lines = buffer.left(headEnd).split('\n');
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    request.method = requestLine.value(0);
    request.path = requestLine.value(1);
    qsizetype length = 0;
    for (const QByteArray& line : lines) {
        const QByteArray field = line.left(line.indexOf(':')).trimmed().toLower();
        const QByteArray value = line.mid(line.indexOf(':') + 1).trimmed();
        if (field == "content-length") {
            length = value.toLongLong();
        } else if (field == "content-type") {
            request.contentType = value;
        }
    }
    if (buffer.size() < headEnd + 4 + length) {
        return;
    }
    request.body = buffer.mid(headEnd + 4, length);
    buffer.clear();
    requests.append(request);
    if (m_queue.isEmpty()) {
        m_held.append(socket);
    } else {
        answer(socket, m_queue.takeFirst());
    }
}

void TestHttpsServer::answerHeld(const CannedResponse& response) {
    if (!m_held.isEmpty()) {
        if (QTcpSocket* socket = m_held.takeFirst()) {
            answer(socket, response);
        }
    }
}

void TestHttpsServer::answer(QTcpSocket* socket, const CannedResponse& response) {
    QByteArray head = "HTTP/1.1 " + QByteArray::number(response.status) + " Test\r\n";
    if (response.status != 204 && response.status != 304) {
        head += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
    }
    socket->write(head + response.extraHeaders + "Connection: close\r\n\r\n" + response.body);
    socket->disconnectFromHost();
}

} // namespace oculo::test
