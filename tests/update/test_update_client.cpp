#include "support/TestEnvironment.h"
#include "update/UpdateClient.h"
#include "update/UpdateTestSupport.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>

#include <chrono>

using namespace oculo;
using namespace oculo::test;
using namespace std::chrono_literals;

namespace {

const QByteArray offerBody =
    R"({"isUpdateAvailable":true,"latestVersion":"2.0","latestBuildNumber":42,)"
    R"("downloadUrl":"https://127.0.0.1/p.zip","packageHash":"sha256:00"})";
const AppIdentity app{QStringLiteral("org.oculo.Oculo"), QStringLiteral("1.2"), 41};

// Runs one check against `server`, trusting `trusted`, and returns its result.
FetchResult fetchFrom(const TestHttpsServer& server, const QSslCertificate& trusted,
                      std::chrono::milliseconds timeout = 10s) {
    UpdateClient client({server.baseUrl(), {trusted}}, timeout);
    QSignalSpy finished(&client, &UpdateClient::fetchFinished);
    client.fetch(app, {6, 1, 0});
    if (!finished.wait(20000)) {
        return FetchResult::failure(QStringLiteral("no answer"));
    }
    return finished.first().first().value<FetchResult>();
}

QString outcome(const FetchResult& result) {
    return result.error ? result.error->errorDescription
                        : QLatin1String(result.update ? "offer" : "none");
}

} // namespace

class TestUpdateClient : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void postsTheCheckOverTrustedTls() {
        TestHttpsServer server;
        server.enqueue({200, offerBody, {}});
        const FetchResult result = fetchFrom(server, server.certificate());
        QCOMPARE(outcome(result), QStringLiteral("offer"));
        QCOMPARE(result.update->buildNumber, 42);
        QCOMPARE(server.requests.size(), 1);
        const ReceivedRequest& request = server.requests.first();
        QCOMPARE(request.method, QByteArray("POST"));
        QCOMPARE(request.path, QByteArray("/api/v1/distribution/check-update"));
        QCOMPARE(request.contentType, QByteArray("application/json"));
        QCOMPARE(QJsonDocument::fromJson(request.body)
                     .object()
                     .value(QLatin1String("currentBuildNumber")),
                 41);
    }

    void refusesWhatAServerMustNotDo() {
        TestHttpsServer server;
        const QByteArray elsewhere = "Location: " + server.baseUrl().toEncoded() + "/elsewhere\r\n";
        server.enqueue({302, offerBody, elsewhere});
        QCOMPARE(outcome(fetchFrom(server, server.certificate())),
                 updateprotocol::unexpectedResponse);
        QCOMPARE(server.requests.size(), 1); // the redirect was not followed

        server.enqueue({200, QByteArray(2 * updateprotocol::maxResponseBytes, ' '), {}});
        QCOMPARE(outcome(fetchFrom(server, server.certificate())),
                 updateprotocol::unexpectedResponse);

        // A certificate the client was not told to trust ends the exchange before any request.
        const int before = static_cast<int>(server.requests.size());
        const FetchResult untrusted = fetchFrom(server, makeLocalCertificate("other").certificate);
        QVERIFY(untrusted.error);
        QVERIFY(!untrusted.update);
        QCOMPARE(server.requests.size(), before);

        // A server that never answers is given up after the timeout.
        QCOMPARE(outcome(fetchFrom(server, server.certificate(), 300ms)),
                 QStringLiteral("The update server did not answer in time."));
    }

    void placeholderServerIsNeverContacted() {
        QVERIFY(!UpdateServer::builtIn().isUsable());
        UpdateClient client(UpdateServer::builtIn());
        QSignalSpy finished(&client, &UpdateClient::fetchFinished);
        client.fetch(app, {6, 1, 0});
        QVERIFY(finished.isEmpty()); // never inline
        QVERIFY(finished.wait(5000));
        QVERIFY(finished.first().first().value<FetchResult>().isFailure());
    }
};

OCULO_TEST_MAIN(TestUpdateClient)
#include "test_update_client.moc"
