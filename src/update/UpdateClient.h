#pragma once

#include "update/UpdateInfo.h"
#include "update/UpdateProtocol.h"
#include "update/UpdateServer.h"
#include "update/bundle/AppIdentity.h"

#include <QByteArray>
#include <QNetworkAccessManager>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <chrono>

class QNetworkReply;

namespace oculo {

// Asks the update server whether a newer build exists. One question at a time,
// over its own network access manager: TLS errors are never ignored and
// redirects are never followed.
class UpdateClient : public QObject {
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds defaultTimeout{30000};

    explicit UpdateClient(UpdateServer server, std::chrono::milliseconds timeout = defaultTimeout,
                          QObject* parent = nullptr);
    ~UpdateClient() override;

    const UpdateServer& server() const { return m_server; }
    bool isFetching() const { return m_isFetching; }

    // Sends the check; fetchFinished follows exactly once, never inline.
    // Ignored while a check is in flight.
    void fetch(const AppIdentity& app, const updateprotocol::SystemVersion& running);

Q_SIGNALS:
    void fetchFinished(const oculo::FetchResult& result);

private:
    void readBody();
    void finishReply();
    void finish(const FetchResult& result);

    UpdateServer m_server;
    std::chrono::milliseconds m_timeout;
    QNetworkAccessManager m_network;
    QPointer<QNetworkReply> m_reply;
    QTimer m_deadline;
    QByteArray m_body;
    qint64 m_currentBuild = 0;
    updateprotocol::SystemVersion m_running;
    bool m_isTooLarge = false;
    bool m_hasTimedOut = false;
    bool m_isFetching = false;
};

} // namespace oculo
