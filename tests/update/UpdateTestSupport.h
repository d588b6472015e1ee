#pragma once

#include "update/UpdateInstaller.h"
#include "update/UpdatePresenter.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QPointer>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslServer>
#include <QUrl>

namespace oculo::test {

// A self-signed certificate for 127.0.0.1, made when asked; the key stays in memory.
struct TestCertificate {
    QSslCertificate certificate;
    QSslKey key;
};
TestCertificate makeLocalCertificate(const char* commonName);

struct CannedResponse {
    int status = 200;
    QByteArray body;
    QByteArray extraHeaders; // whole lines, each ending in "\r\n"
};

struct ReceivedRequest {
    QByteArray method;
    QByteArray path;
    QByteArray contentType;
    QByteArray body;
};

// An HTTPS server on 127.0.0.1 that answers requests with queued responses;
// a request finding none is held until answerHeld().
class TestHttpsServer : public QObject {
public:
    explicit TestHttpsServer(const TestCertificate& identity = makeLocalCertificate("oculo-test"));

    QUrl baseUrl() const;
    QSslCertificate certificate() const { return m_certificate; }
    void enqueue(const CannedResponse& response) { m_queue.append(response); }
    void answerHeld(const CannedResponse& response);

    QList<ReceivedRequest> requests;

private:
    void readFrom(QTcpSocket* socket);
    static void answer(QTcpSocket* socket, const CannedResponse& response);

    QSslCertificate m_certificate;
    QList<CannedResponse> m_queue;
    QList<QPointer<QTcpSocket>> m_held;
    QHash<QTcpSocket*, QByteArray> m_buffers;
    // Last: its sockets go first, while what their handlers touch still exists.
    QSslServer m_server;
};

// Records every alert and answers with the queued choices, else -1 (closed).
class FakeUpdatePresenter : public UpdatePresenter {
public:
    int runAlert(const UpdateAlert& alert) override {
        alerts.append(alert);
        return answers.isEmpty() ? -1 : answers.takeFirst();
    }
    void openUrl(const QUrl& url) override { openedUrls.append(url); }

    QList<UpdateAlert> alerts;
    QList<int> answers;
    QList<QUrl> openedUrls;
};

// Records what it was asked to install; the test emits its signals.
class FakeUpdateInstaller : public UpdateInstaller {
public:
    void install(const UpdateInfo& update) override { started.append(update); }
    QList<UpdateInfo> started;
};

} // namespace oculo::test
