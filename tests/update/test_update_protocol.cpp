#include "support/TestEnvironment.h"
#include "update/UpdateProtocol.h"
#include "update/bundle/AppIdentity.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

using namespace oculo;
using namespace oculo::updateprotocol;

namespace {

const QByteArray offer =
    R"({"isUpdateAvailable":true,"latestVersion":"2.0","latestBuildNumber":42,"unknown":[],)"
    R"("downloadUrl":"https://dl.example.org/Oculo-42.zip","packageHash":"sha256:ab12",)"
    R"("releaseNotes":"Fixes."})";

// The answer to a check by build 41 on system 6.1.0: the offer above with `key` set
// to the JSON `value`, or without `key` when `value` is null; "body" replaces it all.
struct Row {
    const char* name;
    int status;
    const char *key, *value, *expected; // expected: "offer", "none", or the failure
};
const char* const unexpected = "The update server returned an unexpected response.";
const char* const unreadable = "The update server's answer could not be read.";
const Row rows[] = {
    {"offer", 200, "", "", "offer"},
    {"status 204", 204, "body", "", unexpected},
    {"status 304", 304, "", "", unexpected},
    {"over 1 MiB", 200, "padding", "", unexpected},
    {"not JSON", 200, "body", "<html>", unreadable},
    {"flag missing", 200, "isUpdateAvailable", nullptr, unreadable},
    {"flag as string", 200, "isUpdateAvailable", R"("true")", unreadable},
    {"build as string", 200, "latestBuildNumber", R"("42")", unreadable},
    {"build fractional", 200, "latestBuildNumber", "42.5", unreadable},
    {"mandatory as string", 200, "isMandatory", R"("yes")", unreadable},
    {"notes as number", 200, "releaseNotes", "5", unreadable},
    {"notes null", 200, "releaseNotes", "null", "offer"},
    {"not available", 200, "isUpdateAvailable", "false", "none"},
    {"no version", 200, "latestVersion", nullptr, "none"},
    {"no build", 200, "latestBuildNumber", nullptr, "none"},
    {"build equal", 200, "latestBuildNumber", "41", "none"},
    {"no url", 200, "downloadUrl", nullptr, "none"},
    {"not a url", 200, "downloadUrl", R"("https://[x")", "none"},
    {"http", 200, "downloadUrl", R"("http://a.org/p.zip")", "none"},
    {"upper-case scheme", 200, "downloadUrl", R"("HTTPS://a.org/p.zip")", "none"},
    {"no host", 200, "downloadUrl", R"("https:p.zip")", "none"},
    {"no hash", 200, "packageHash", nullptr, "none"},
    {"md5 hash", 200, "packageHash", R"("md5:ab")", "none"},
    {"upper-case hash", 200, "packageHash", R"("SHA256:AB12")", "offer"},
    {"system 6", 200, "minOsVersion", R"("6")", "offer"},
    {"system 7", 200, "minOsVersion", R"("7")", "none"},
    {"system 6.x.3 is 6.3.0", 200, "minOsVersion", R"("6.x.3")", "none"},
    {"system 6.x.1 is 6.1.0", 200, "minOsVersion", R"("6.x.1")", "offer"},
    {"system 6.1.0.9", 200, "minOsVersion", R"("6.1.0.9")", "offer"},
    {"system without numbers", 200, "minOsVersion", R"("latest")", "offer"},
};

QByteArray bodyOf(const Row& row) {
    const QByteArray key(row.key);
    if (key == "body" || key == "padding") {
        return key == "body" ? QByteArray(row.value) : offer + QByteArray(maxResponseBytes, ' ');
    }
    QJsonObject object = QJsonDocument::fromJson(offer).object();
    if (row.value == nullptr) {
        object.remove(QLatin1String(row.key));
    } else if (!key.isEmpty()) {
        const QByteArray wrapped = "[" + QByteArray(row.value) + "]";
        object.insert(QLatin1String(row.key), QJsonDocument::fromJson(wrapped).array().first());
    }
    return QJsonDocument(object).toJson();
}

} // namespace

class TestUpdateProtocol : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void evaluatesResponses_data() {
        QTest::addColumn<int>("row");
        for (int i = 0; i < static_cast<int>(std::size(rows)); ++i) {
            QTest::newRow(rows[i].name) << i;
        }
    }

    void evaluatesResponses() {
        QFETCH(int, row);
        const FetchResult result =
            evaluateCheckResponse(rows[row].status, bodyOf(rows[row]), 41, {6, 1, 0});
        QCOMPARE(result.error    ? result.error->errorDescription
                 : result.update ? QStringLiteral("offer")
                                 : QStringLiteral("none"),
                 QString::fromUtf8(rows[row].expected));
    }

    void offerCarriesTheServerValues() {
        // The hash is kept exactly as sent; the installation compares it later.
        const QByteArray upperCaseHash = QByteArray(offer).replace("sha256:ab12", "SHA256:AB12");
        const FetchResult result = evaluateCheckResponse(200, upperCaseHash, 41, {6, 1, 0});
        QCOMPARE(result.update,
                 std::make_optional(
                     UpdateInfo{QStringLiteral("2.0"), 42,
                                QUrl(QStringLiteral("https://dl.example.org/Oculo-42.zip")),
                                QStringLiteral("SHA256:AB12"), QStringLiteral("Fixes."), false}));
    }

    void requestNamesTheRunningBuildAndSystem() {
        QCOMPARE(systemVersionFromKernelRelease(QStringLiteral("6.1.0-18-amd64")),
                 (SystemVersion{6, 1, 0}));
        // A bundle that states no build number asks as build 0, so any offer is newer.
        const AppIdentity app = AppIdentity::fromInfo(
            {{QStringLiteral("CFBundleShortVersionString"), QStringLiteral("1.2")}});
        QCOMPARE(QJsonDocument::fromJson(checkRequestBody(app)).object(),
                 QJsonDocument::fromJson(R"({"appId":")" OCULO_BUNDLE_IDENTIFIER
                                         R"(","platform":"Linux","currentVersion":"1.2",)"
                                         R"("currentBuildNumber":0,"channel":"Stable",)"
                                         R"("architecture":"x64"})")
                     .object());
        const auto buildOf = [](const QJsonValue& value) {
            return AppIdentity::fromInfo({{QStringLiteral("CFBundleVersion"), value}}).currentBuild;
        };
        QCOMPARE(buildOf(QStringLiteral("+17")), 17);
        QCOMPARE(buildOf(QStringLiteral("17a")), 0);
        QCOMPARE(buildOf(QStringLiteral("99999999999999999999")), 0);
        QCOMPARE(buildOf(17), 0);
    }
};

OCULO_TEST_MAIN(TestUpdateProtocol)
#include "test_update_protocol.moc"
