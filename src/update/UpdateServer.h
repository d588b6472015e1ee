#pragma once

#include <QList>
#include <QNetworkRequest>
#include <QSslCertificate>
#include <QString>
#include <QUrl>

class QNetworkReply;

namespace oculo {

// Where updates come from and whom the updater trusts. Both are fixed when
// Oculo is built; tests pass their own local server and its certificate.
struct UpdateServer {
    // https://host[:port], without a trailing path.
    QUrl baseUrl;
    // When not empty, the only certificates trusted for checks and downloads;
    // else the system's certificate authorities.
    QList<QSslCertificate> trustedCertificates;
    // Why the certificates this build trusts alone could not be read. While
    // set, the updater contacts nothing: it never falls back to the system's.
    QString trustError = {};

    // The server the program was built for: OCULO_UPDATE_BASE_URL and
    // OCULO_UPDATE_CA_FILE, compiled into the update server library it links.
    static UpdateServer builtIn();
    // `baseUrl`, trusting only the certificates in `caFile` (absolute, or
    // relative to the executable's folder) or, when it is empty, the system's.
    static UpdateServer configured(const QUrl& baseUrl, const QString& caFile);

    QUrl checkURL() const;
    QUrl appPageURL(const QString& bundleIdentifier) const;
    // False for the placeholder host and for anything but https: such a
    // server is never contacted.
    bool isUsable() const;
    // A request for `url` that verifies the peer against what this server trusts.
    QNetworkRequest request(const QUrl& url) const;
};

// How a finished request to the update server went, before its body is looked at.
// Each caller words the outcome for its own step.
struct ReplyOutcome {
    enum class Kind {
        ok,         // status 200 and no transport error
        httpStatus, // any other status the server answered with
        tlsFailure, // no secure connection to the server
        timedOut,   // the network stack gave up waiting
        failed,     // any other transport failure; see errorString
    };
    Kind kind;
    int httpStatus = 0;
    QString errorString = {};
};
ReplyOutcome classifyReply(const QNetworkReply& reply);

} // namespace oculo
