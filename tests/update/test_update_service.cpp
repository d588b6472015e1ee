#include "support/TestEnvironment.h"
#include "update/TestHttpsServer.h"
#include "update/UpdateProtocol.h"
#include "update/UpdateService.h"
#include "update/bundle/AppIdentity.h"
#include "update/ui/MessageBoxUpdatePresenter.h"
#include "update/ui/UpdateMenuItem.h"

#include <QAbstractButton>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QSignalSpy>

using namespace oculo;
using namespace oculo::test;
using namespace oculo::updateprotocol;
using namespace std::chrono_literals;

namespace {

const QByteArray offerJson =
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
        return key == "body" ? QByteArray(row.value)
                             : offerJson + QByteArray(maxResponseBytes, ' ');
    }
    QJsonObject object = QJsonDocument::fromJson(offerJson).object();
    if (row.value == nullptr) {
        object.remove(QLatin1String(row.key));
    } else if (!key.isEmpty()) {
        const QByteArray wrapped = "[" + QByteArray(row.value) + "]";
        object.insert(QLatin1String(row.key), QJsonDocument::fromJson(wrapped).array().first());
    }
    return QJsonDocument(object).toJson();
}

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

// An update service running as build 41 ("1.2") against a local HTTPS server,
// with fake alerts and installer; automatic checks follow each other at once.
struct UpdateServiceRig {
    explicit UpdateServiceRig(const QSslCertificate& trusted = QSslCertificate(),
                              std::chrono::milliseconds timeout = std::chrono::seconds(20))
        : service(options(server, trusted.isNull() ? server.certificate() : trusted, timeout),
                  std::unique_ptr<UpdatePresenter>(presenter),
                  std::unique_ptr<UpdateInstaller>(installer)) {}

    static UpdateService::Options options(const TestHttpsServer& server,
                                          const QSslCertificate& trusted,
                                          std::chrono::milliseconds timeout) {
        UpdateService::Options options;
        options.server = {server.baseUrl(), {trusted}};
        options.app = {QStringLiteral("org.oculo.Oculo"), QStringLiteral("1.2"), 41};
        options.runningSystem = {6, 1, 0};
        options.firstCheckDelay = options.checkInterval = std::chrono::milliseconds(0);
        options.requestTimeout = timeout;
        return options;
    }

    // An offer of `build` with the further JSON members `extra`.
    static QByteArray offer(int build, const char* extra = R"("releaseNotes":"Fixes.")") {
        return R"({"isUpdateAvailable":true,"latestVersion":"2.)" + QByteArray::number(build) +
               R"(","latestBuildNumber":)" + QByteArray::number(build) +
               R"(,"downloadUrl":"https://a.org/p.zip","packageHash":"sha256:00",)" + extra + "}";
    }
    static inline const QByteArray noUpdate = R"({"isUpdateAvailable":false})";

    // Runs one check and waits until it has ended; false when it never ends.
    bool check(bool userInitiated) {
        const qsizetype before = checks.size();
        service.checkForUpdates(userInitiated);
        return checks.wait(30000) && checks.size() == before + 1;
    }
    // The informative text of the latest alert.
    QString lastDetails() const {
        return presenter->alerts.value(presenter->alerts.size() - 1).informativeText;
    }

    TestHttpsServer server;
    FakeUpdatePresenter* presenter = new FakeUpdatePresenter;
    FakeUpdateInstaller* installer = new FakeUpdateInstaller;
    UpdateService service;
    QSignalSpy checks{&service, &UpdateService::checkFinished};
    QSignalSpy terminations{&service, &UpdateService::terminationRequested};
};

} // namespace

class TestUpdateService : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void automaticChecksPromptOncePerOptionalBuild() {
        UpdateServiceRig rig;
        rig.server.enqueue({200, UpdateServiceRig::offer(42)}); // prompts: "Later"
        rig.server.enqueue({200, UpdateServiceRig::offer(42)}); // postponed build: silent
        rig.server.enqueue({500});                              // failure: silent
        rig.server.enqueue({200, UpdateServiceRig::offer(43)}); // newer build: prompts
        rig.presenter->answers = {1, 1};
        rig.service.startAutomaticChecks();
        QTRY_COMPARE_WITH_TIMEOUT(rig.checks.size(), 4, 30000);

        QCOMPARE(rig.presenter->alerts.size(), 2);
        const UpdateAlert& prompt = rig.presenter->alerts.first();
        QCOMPARE(prompt.message, QStringLiteral("Oculo 2.42 is available"));
        QCOMPARE(prompt.informativeText, QStringLiteral("You have version 1.2.\n\nFixes."));
        QCOMPARE(rig.presenter->alerts.last().message, QStringLiteral("Oculo 2.43 is available"));

        // The fifth check waits for the server; the user's check meanwhile is dropped
        // without a word, and the automatic one stays silent when it ends.
        QTRY_COMPARE_WITH_TIMEOUT(rig.server.requests.size(), 5, 30000);
        rig.service.checkForUpdates(true);
        rig.server.answerHeld({200, UpdateServiceRig::noUpdate});
        QTRY_COMPARE_WITH_TIMEOUT(rig.checks.size(), 5, 30000);
        QCOMPARE(rig.presenter->alerts.size(), 2);
        QVERIFY(!rig.service.availableUpdate());
        rig.service.stopAutomaticChecks();
    }

    void promptsAndNotices() {
        UpdateServiceRig rig;
        rig.presenter->answers = {1};
        rig.server.enqueue({200, UpdateServiceRig::offer(42)});
        QVERIFY(rig.check(false));
        QCOMPARE(rig.service.dismissedBuild(), 42);
        const QByteArray& request = rig.server.requests.first();
        QVERIFY(request.startsWith("POST /api/v1/distribution/check-update HTTP/1.1\r\n"));
        QVERIFY(request.contains("\r\nContent-Type: application/json\r\n"));

        // "Later" silences automatic prompts only.
        rig.server.enqueue({200, UpdateServiceRig::offer(42)});
        QVERIFY(rig.check(true));
        QCOMPARE(rig.presenter->alerts.size(), 2);
        QCOMPARE(rig.presenter->alerts.last().message, QStringLiteral("Oculo 2.42 is available"));

        rig.server.enqueue({200, UpdateServiceRig::noUpdate});
        QVERIFY(rig.check(true));
        QCOMPARE(rig.presenter->alerts.last().message, QStringLiteral("Oculo is up to date"));
        QCOMPARE(rig.lastDetails(),
                 QStringLiteral("Version 1.2 (41) is the newest version available."));
        QVERIFY(!rig.service.availableUpdate());

        // A mandatory update prompts at every check, even for a postponed build; its
        // second button quits.
        rig.presenter->answers = {1, 1};
        for (int i = 1; i <= 2; ++i) {
            rig.server.enqueue(
                {200, UpdateServiceRig::offer(42, R"("isMandatory":true,"releaseNotes":"")")});
            QVERIFY(rig.check(false));
            QCOMPARE(rig.terminations.size(), i);
        }
        QCOMPARE(
            rig.lastDetails(),
            QStringLiteral("You have version 1.2. This update is required to keep using Oculo."));
    }

    void refusesWhatAServerMustNotDo() {
        UpdateServiceRig rig;
        rig.server.enqueue({200, UpdateServiceRig::offer(42)});
        QVERIFY(rig.check(false));
        const QByteArray elsewhere = "Location: " + rig.server.baseUrl().toEncoded() + "/x\r\n";
        rig.server.enqueue({302, UpdateServiceRig::offer(43), elsewhere});
        QVERIFY(rig.check(true));
        QCOMPARE(rig.presenter->alerts.last().message,
                 QStringLiteral("Couldn't check for updates"));
        QCOMPARE(rig.lastDetails(), updateprotocol::unexpectedResponse);
        QCOMPARE(rig.server.requests.size(), 2);                  // the redirect was not followed
        QCOMPARE(rig.service.availableUpdate()->buildNumber, 42); // kept after a failure

        rig.server.enqueue({200, QByteArray(2 * updateprotocol::maxResponseBytes, ' ')});
        QVERIFY(rig.check(true));
        QCOMPARE(rig.lastDetails(), updateprotocol::unexpectedResponse);

        // A certificate the service was not told to trust ends the exchange before any request.
        UpdateServiceRig untrusted(makeLocalIdentity("other").localCertificate());
        QVERIFY(untrusted.check(true));
        QCOMPARE(
            untrusted.lastDetails(),
            QStringLiteral("A secure connection to the update server could not be established."));
        QVERIFY(untrusted.server.requests.isEmpty());

        UpdateServiceRig silent(QSslCertificate(), 300ms);
        QVERIFY(silent.check(true));
        QCOMPARE(silent.lastDetails(), QStringLiteral("The update server did not answer in time."));
    }

    void placeholderBuildNeitherChecksNorInstalls() {
        auto* presenter = new FakeUpdatePresenter;
        presenter->answers = {-1, 0};
        UpdateService::Options options;
        options.server.baseUrl = QUrl(QStringLiteral("https://updates.oculo.invalid"));
        UpdateService service(options, std::unique_ptr<UpdatePresenter>(presenter));
        service.checkForUpdates(true);
        QTRY_COMPARE(presenter->alerts.size(), 1);
        QCOMPARE(presenter->alerts.last().informativeText,
                 QStringLiteral("Update checks are not set up for this build."));

        service.install({QStringLiteral("2.0"), 42, {}, {}, {}, false});
        QCOMPARE(presenter->alerts.last().message, QStringLiteral("Couldn't install the update"));
        QCOMPARE(presenter->openedUrls, QList<QUrl>{service.appPageURL()});
    }

    // A packaged Oculo never asks the server nor downloads; its row says who updates it.
    void packagedBuildLeavesUpdatesToThePackageManager() {
        auto* presenter = new FakeUpdatePresenter;
        auto* installer = new FakeUpdateInstaller;
        UpdateService::Options options;
        options.firstCheckDelay = std::chrono::milliseconds(0);
        options.isUpdatedByPackageManager = true;
        UpdateService service(options, std::unique_ptr<UpdatePresenter>(presenter),
                              std::unique_ptr<UpdateInstaller>(installer));
        UpdateMenuItem item(service);
        service.startAutomaticChecks();
        QCoreApplication::processEvents();
        item.row().click();
        service.checkForUpdates(true);
        service.install({QStringLiteral("2.0"), 42, {}, {}, {}, false});
        QVERIFY(!service.isCheckingAutomatically());
        QCOMPARE(service.phase(), UpdateService::Phase::idle);
        QVERIFY(presenter->alerts.isEmpty() && installer->started.isEmpty());
        QCOMPARE(item.row().text(), QStringLiteral("Updates come from your package manager."));
        QVERIFY(!item.row().isEnabled());
    }

    void rowFollowsTheService() {
        UpdateServiceRig rig;
        UpdateMenuItem item(rig.service);
        QAbstractButton& row = item.row();
        row.click();
        QCOMPARE(row.text(), QStringLiteral("Checking for Updates…"));
        QVERIFY(!row.isEnabled());

        // Postponed, the offer stays in the row and can still be installed from it.
        rig.presenter->answers = {1, 0};
        QTRY_COMPARE(rig.server.requests.size(), 1);
        rig.server.answerHeld({200, UpdateServiceRig::offer(42)});
        QVERIFY(rig.checks.wait(30000));
        QCOMPARE(row.text(), QStringLiteral("Install Oculo 2.42…"));
        row.click();
        QCOMPARE(rig.presenter->alerts.size(), 2);
        QCOMPARE(rig.installer->started.size(), 1);
        QCOMPARE(row.text(), QStringLiteral("Installing Update…"));
        QVERIFY(!row.isEnabled());
        Q_EMIT rig.installer->downloadProgress(42);
        QCOMPARE(row.text(), QStringLiteral("Downloading Update… 42%"));
        Q_EMIT rig.installer->packageStored();
        QCOMPARE(rig.service.phase(), UpdateService::Phase::installing);

        // A failed installation is reported and the offer comes back.
        rig.presenter->answers = {0};
        Q_EMIT rig.installer->failed({QStringLiteral("The download failed.")});
        QCOMPARE(rig.presenter->alerts.last().informativeText,
                 QStringLiteral("The download failed."));
        QCOMPARE(rig.presenter->openedUrls.size(), 1);
        QCOMPARE(row.text(), QStringLiteral("Install Oculo 2.42…"));
        QVERIFY(row.isEnabled());
    }

    void alertsNeverRenderMarkup() {
        const auto box = MessageBoxUpdatePresenter::makeAlertBox(
            {QStringLiteral("Oculo <i>2</i>"),
             QStringLiteral("<a href=\"https://x.org\">x</a>"),
             {QStringLiteral("Install and Relaunch"), QStringLiteral("Later")}});
        const auto* notes = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel"));
        QVERIFY(notes);
        for (const QLabel* label : box->findChildren<QLabel*>()) {
            QVERIFY(label->text().isEmpty() || label->textFormat() == Qt::PlainText);
        }
        QCOMPARE(box->escapeButton()->text(), QStringLiteral("Later"));
    }

    // The check request and the reading of its answer, without a server.
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
        const QByteArray upperCaseHash =
            QByteArray(offerJson).replace("sha256:ab12", "SHA256:AB12");
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

OCULO_TEST_MAIN(TestUpdateService)
#include "test_update_service.moc"
