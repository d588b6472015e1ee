#include "update/UpdateClient.h"

#include <QMetaObject>
#include <QNetworkReply>
#include <QNetworkRequest>

namespace oculo {
UpdateClient::UpdateClient(UpdateServer server, std::chrono::milliseconds timeout, QObject* parent)
    : QObject(parent)
    , m_server(std::move(server))
    , m_timeout(timeout) {
    m_deadline.setSingleShot(true);
    connect(&m_deadline, &QTimer::timeout, this, [this] {
        m_hasTimedOut = true;
        if (m_reply) {
            m_reply->abort();
        }
    });
}

UpdateClient::~UpdateClient() {
    if (m_reply) {
        disconnect(m_reply, nullptr, this, nullptr);
        m_reply->abort();
    }
}

void UpdateClient::fetch(const AppIdentity& app, const updateprotocol::SystemVersion& running) {
    if (m_isFetching) {
        return;
    }
    m_isFetching = true;
    if (!m_server.isUsable()) {
        finish(
            FetchResult::failure(QStringLiteral("Update checks are not set up for this build.")));
        return;
    }
    if (!m_server.trustError.isEmpty()) {
        finish(FetchResult::failure(m_server.trustError));
        return;
    }
    m_body.clear();
    m_isTooLarge = false;
    m_hasTimedOut = false;
    m_currentBuild = app.currentBuild;
    m_running = running;

    QNetworkRequest request = m_server.request(m_server.checkURL());
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    // A redirect is an unexpected answer, not a new address to trust.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);

    m_reply = m_network.post(request, updateprotocol::checkRequestBody(app));
    connect(m_reply, &QNetworkReply::readyRead, this, &UpdateClient::readBody);
    connect(m_reply, &QNetworkReply::finished, this, &UpdateClient::finishReply);
    m_deadline.start(m_timeout);
}

void UpdateClient::readBody() {
    if (!m_reply || m_isTooLarge || !m_reply->isOpen()) {
        return;
    }
    m_body += m_reply->read(updateprotocol::maxResponseBytes + 1 - m_body.size());
    if (m_body.size() > updateprotocol::maxResponseBytes) {
        m_isTooLarge = true;
        m_reply->abort();
    }
}

void UpdateClient::finishReply() {
    if (!m_reply) {
        return;
    }
    readBody();
    QNetworkReply* reply = m_reply;
    m_reply = nullptr;
    m_deadline.stop();
    reply->deleteLater();
    disconnect(reply, nullptr, this, nullptr);

    using Kind = ReplyOutcome::Kind;
    const ReplyOutcome outcome = classifyReply(*reply);
    if (m_isTooLarge) {
        finish(FetchResult::failure(updateprotocol::unexpectedResponse));
    } else if (m_hasTimedOut || outcome.kind == Kind::timedOut) {
        finish(FetchResult::failure(QStringLiteral("The update server did not answer in time.")));
    } else if (outcome.kind == Kind::httpStatus) {
        finish(FetchResult::failure(updateprotocol::unexpectedResponse));
    } else if (outcome.kind == Kind::tlsFailure) {
        finish(FetchResult::failure(
            QStringLiteral("A secure connection to the update server could not be established.")));
    } else if (outcome.kind == Kind::failed) {
        finish(FetchResult::failure(QStringLiteral("The update server could not be reached: %1.")
                                        .arg(outcome.errorString)));
    } else {
        finish(updateprotocol::evaluateCheckResponse(outcome.httpStatus, m_body, m_currentBuild,
                                                     m_running));
    }
    m_body.clear();
}

void UpdateClient::finish(const FetchResult& result) {
    // Delivered from the event loop, outside the reply's own signal.
    QMetaObject::invokeMethod(
        this,
        [this, result] {
            m_isFetching = false;
            Q_EMIT fetchFinished(result);
        },
        Qt::QueuedConnection);
}

} // namespace oculo
