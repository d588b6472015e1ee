#include "update/UpdateServer.h"

#include "update/UpdateProtocol.h"

#include <QCoreApplication>
#include <QDir>
#include <QNetworkReply>
#include <QSslConfiguration>

namespace oculo {
namespace {

QUrl withPath(QUrl base, const QString& path) {
    QString prefix = base.path();
    while (prefix.endsWith(QLatin1Char('/'))) {
        prefix.chop(1);
    }
    base.setPath(prefix + path);
    return base;
}

} // namespace

UpdateServer UpdateServer::configured(const QUrl& baseUrl, const QString& caFile) {
    UpdateServer server{baseUrl, {}};
    if (!caFile.isEmpty()) {
        const QString path = QDir(QCoreApplication::applicationDirPath()).filePath(caFile);
        server.trustedCertificates = QSslCertificate::fromPath(path);
        if (server.trustedCertificates.isEmpty()) {
            server.trustError = QStringLiteral("This build of Oculo trusts only the update server "
                                               "certificate in %1, which couldn't be read.")
                                    .arg(path);
        }
    }
    return server;
}

QUrl UpdateServer::checkURL() const {
    return withPath(baseUrl, QLatin1String(updateprotocol::checkPath));
}

QUrl UpdateServer::appPageURL(const QString& bundleIdentifier) const {
    return withPath(baseUrl, QLatin1String(updateprotocol::appPagePath) + bundleIdentifier);
}

bool UpdateServer::isUsable() const {
    const QString host = baseUrl.host();
    // ".invalid" never resolves (RFC 2606); the placeholder uses it.
    return baseUrl.isValid() && baseUrl.scheme() == QLatin1String("https") && !host.isEmpty() &&
           host != QLatin1String("invalid") && !host.endsWith(QLatin1String(".invalid"));
}

QNetworkRequest UpdateServer::request(const QUrl& url) const {
    QNetworkRequest request(url);
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setPeerVerifyMode(QSslSocket::VerifyPeer);
    if (!trustedCertificates.isEmpty()) {
        tls.setCaCertificates(trustedCertificates);
    }
    request.setSslConfiguration(tls);
    return request;
}

ReplyOutcome classifyReply(const QNetworkReply& reply) {
    using Kind = ReplyOutcome::Kind;
    const QVariant status = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute);
    // A status other than 200 decides before the error Qt derives from it.
    if (status.isValid() && status.toInt() != 200) {
        return {Kind::httpStatus, status.toInt()};
    }
    if (reply.error() == QNetworkReply::NoError && status.isValid()) {
        return {Kind::ok, status.toInt()};
    }
    switch (reply.error()) {
    case QNetworkReply::SslHandshakeFailedError:
        return {Kind::tlsFailure, 0, reply.errorString()};
    case QNetworkReply::TimeoutError:
        return {Kind::timedOut, 0, reply.errorString()};
    default:
        return {Kind::failed, 0, reply.errorString()};
    }
}

} // namespace oculo
