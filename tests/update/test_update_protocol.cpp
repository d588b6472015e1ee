#include "support/TestEnvironment.h"
#include "update/AppIdentity.h"
#include "update/UpdateProtocol.h"

#include <QJsonDocument>
#include <QJsonObject>

using namespace oculo;
using namespace oculo::updateprotocol;

namespace {

constexpr qint64 runningBuild = 41;
const SystemVersion runningSystem{6, 1, 0};

const QJsonObject offer{
    {QStringLiteral("isUpdateAvailable"), true},
    {QStringLiteral("latestVersion"), QStringLiteral("2.0")},
    {QStringLiteral("latestBuildNumber"), 42},
    {QStringLiteral("downloadUrl"), QStringLiteral("https://dl.example.org/Oculo-42.zip")},
    {QStringLiteral("packageHash"), QStringLiteral("sha256:ab12")},
    {QStringLiteral("releaseNotes"), QStringLiteral("Fixes.")},
    {QStringLiteral("unknownKey"), QStringLiteral("ignored")},
};

// The offer with `key` set to `value`, or removed when `value` is undefined.
QByteArray offerWith(const char* key, const QJsonValue& value = QJsonValue::Undefined) {
    QJsonObject object = offer;
    if (value.isUndefined()) {
        object.remove(QLatin1String(key));
    } else {
        object.insert(QLatin1String(key), value);
    }
    return QJsonDocument(object).toJson();
}

} // namespace

class TestUpdateProtocol : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void evaluatesResponses_data() {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        // "offer", "none", or the failure's description.
        QTest::addColumn<QString>("expected");
        const QString none = QStringLiteral("none");
        const QString offered = QStringLiteral("offer");
        const QByteArray valid = QJsonDocument(offer).toJson();
        QByteArray padded = valid;
        padded.append(maxResponseBytes, ' ');

        QTest::newRow("offer") << 200 << valid << offered;
        QTest::newRow("status 204") << 204 << QByteArray() << unexpectedResponse;
        QTest::newRow("status 304") << 304 << valid << unexpectedResponse;
        QTest::newRow("over 1 MiB") << 200 << padded << unexpectedResponse;
        QTest::newRow("not JSON") << 200 << QByteArray("<html>") << unreadableResponse;
        QTest::newRow("array") << 200 << QByteArray("[]") << unreadableResponse;
        QTest::newRow("flag missing")
            << 200 << offerWith("isUpdateAvailable") << unreadableResponse;
        QTest::newRow("flag as string")
            << 200 << offerWith("isUpdateAvailable", QStringLiteral("true")) << unreadableResponse;
        QTest::newRow("build as string")
            << 200 << offerWith("latestBuildNumber", QStringLiteral("42")) << unreadableResponse;
        QTest::newRow("build fractional")
            << 200 << offerWith("latestBuildNumber", 42.5) << unreadableResponse;
        QTest::newRow("mandatory as string")
            << 200 << offerWith("isMandatory", QStringLiteral("yes")) << unreadableResponse;
        QTest::newRow("notes as number")
            << 200 << offerWith("releaseNotes", 5) << unreadableResponse;
        QTest::newRow("notes null")
            << 200 << offerWith("releaseNotes", QJsonValue::Null) << offered;
        QTest::newRow("not available") << 200 << offerWith("isUpdateAvailable", false) << none;
        QTest::newRow("no version") << 200 << offerWith("latestVersion") << none;
        QTest::newRow("no build") << 200 << offerWith("latestBuildNumber") << none;
        QTest::newRow("build equal") << 200 << offerWith("latestBuildNumber", 41) << none;
        QTest::newRow("build older") << 200 << offerWith("latestBuildNumber", 7) << none;
        QTest::newRow("no url") << 200 << offerWith("downloadUrl") << none;
        QTest::newRow("not a url")
            << 200 << offerWith("downloadUrl", QStringLiteral("https://[x")) << none;
        QTest::newRow("http") << 200
                              << offerWith("downloadUrl", QStringLiteral("http://a.org/p.zip"))
                              << none;
        QTest::newRow("upper-case scheme")
            << 200 << offerWith("downloadUrl", QStringLiteral("HTTPS://a.org/p.zip")) << none;
        QTest::newRow("no host") << 200 << offerWith("downloadUrl", QStringLiteral("https:p.zip"))
                                 << none;
        QTest::newRow("no hash") << 200 << offerWith("packageHash") << none;
        QTest::newRow("md5 hash") << 200 << offerWith("packageHash", QStringLiteral("md5:ab"))
                                  << none;
        QTest::newRow("upper-case hash")
            << 200 << offerWith("packageHash", QStringLiteral("SHA256:AB12")) << offered;
        QTest::newRow("system 6") << 200 << offerWith("minOsVersion", QStringLiteral("6"))
                                  << offered;
        QTest::newRow("system 7") << 200 << offerWith("minOsVersion", QStringLiteral("7")) << none;
        QTest::newRow("system 6.x.3 is 6.3.0")
            << 200 << offerWith("minOsVersion", QStringLiteral("6.x.3")) << none;
        QTest::newRow("system 6.x.1 is 6.1.0")
            << 200 << offerWith("minOsVersion", QStringLiteral("6.x.1")) << offered;
        QTest::newRow("system 6.1.0.9")
            << 200 << offerWith("minOsVersion", QStringLiteral("6.1.0.9")) << offered;
        QTest::newRow("system without numbers")
            << 200 << offerWith("minOsVersion", QStringLiteral("latest")) << offered;
    }

    void evaluatesResponses() {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, expected);
        const FetchResult result = evaluateCheckResponse(status, body, runningBuild, runningSystem);
        QCOMPARE(result.error    ? result.error->errorDescription
                 : result.update ? QStringLiteral("offer")
                                 : QStringLiteral("none"),
                 expected);
        if (result.update) {
            // The hash is kept exactly as sent; the install compares it later.
            const QJsonObject sent = QJsonDocument::fromJson(body).object();
            QCOMPARE(result.update->packageHash,
                     sent.value(QLatin1String("packageHash")).toString());
        }
    }

    void offerCarriesTheServerValues() {
        const FetchResult result =
            evaluateCheckResponse(200, offerWith("isMandatory", true), runningBuild, runningSystem);
        QVERIFY(result.update);
        QCOMPARE(*result.update,
                 (UpdateInfo{QStringLiteral("2.0"), 42,
                             QUrl(QStringLiteral("https://dl.example.org/Oculo-42.zip")),
                             QStringLiteral("sha256:ab12"), QStringLiteral("Fixes."), true}));
        QCOMPARE(systemVersionFromKernelRelease(QStringLiteral("6.1.0-18-amd64")),
                 (SystemVersion{6, 1, 0}));
        QCOMPARE(systemVersionFromKernelRelease(QStringLiteral("5.10")), (SystemVersion{5, 10, 0}));
    }

    void requestNamesTheRunningBuild() {
        // A bundle that states no build number asks as build 0, so any offer is newer.
        const AppIdentity app = AppIdentity::fromInfo(
            {{QStringLiteral("CFBundleShortVersionString"), QStringLiteral("1.2")}});
        const QJsonObject body = QJsonDocument::fromJson(checkRequestBody(app)).object();
        QCOMPARE(body,
                 (QJsonObject{{QStringLiteral("appId"), QStringLiteral(OCULO_BUNDLE_IDENTIFIER)},
                              {QStringLiteral("platform"), QStringLiteral("Linux")},
                              {QStringLiteral("currentVersion"), QStringLiteral("1.2")},
                              {QStringLiteral("currentBuildNumber"), 0},
                              {QStringLiteral("channel"), QStringLiteral("Stable")},
                              {QStringLiteral("architecture"), QStringLiteral("x64")}}));

        const auto buildOf = [](const QJsonValue& value) {
            return AppIdentity::fromInfo({{QStringLiteral("CFBundleVersion"), value}}).currentBuild;
        };
        QCOMPARE(buildOf(QStringLiteral("+17")), 17);
        QCOMPARE(buildOf(QStringLiteral("-3")), -3);
        QCOMPARE(buildOf(QStringLiteral("17a")), 0);
        QCOMPARE(buildOf(QStringLiteral("99999999999999999999")), 0);
        QCOMPARE(buildOf(17), 0);
        QCOMPARE(AppIdentity::fromInfo({{QStringLiteral("CFBundleShortVersionString"), 3}})
                     .currentVersion,
                 QStringLiteral("0"));
    }
};

OCULO_TEST_MAIN(TestUpdateProtocol)
#include "test_update_protocol.moc"
