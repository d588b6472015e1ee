#include "support/TestEnvironment.h"
#include "update/UpdateServiceRig.h"

using namespace oculo;
using namespace oculo::test;

class TestUpdateService : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void automaticChecksPromptOncePerOptionalBuild() {
        UpdateServiceRig rig;
        rig.server.enqueue({200, UpdateServiceRig::offer(42), {}}); // prompts: "Later"
        rig.server.enqueue({200, UpdateServiceRig::offer(42), {}}); // postponed build: silent
        rig.server.enqueue({500, {}, {}});                          // failure: silent
        rig.server.enqueue({200, UpdateServiceRig::offer(43), {}}); // newer build: prompts
        rig.presenter->answers = {1, 1};
        rig.service.startAutomaticChecks();
        QVERIFY(rig.waitForChecks(4));

        QCOMPARE(rig.presenter->alerts.size(), 2);
        const UpdateAlert& prompt = rig.presenter->alerts.first();
        QCOMPARE(prompt.message, QStringLiteral("Oculo 2.42 is available"));
        QCOMPARE(prompt.informativeText, QStringLiteral("You have version 1.2.\n\nFixes."));
        QCOMPARE(prompt.buttons,
                 (QStringList{QStringLiteral("Install and Relaunch"), QStringLiteral("Later")}));
        QCOMPARE(rig.presenter->alerts.last().message, QStringLiteral("Oculo 2.43 is available"));
        QCOMPARE(rig.service.dismissedBuild(), 43);
        QCOMPARE(rig.service.availableUpdate()->buildNumber, 43);

        // The fifth check waits for the server; the user's check meanwhile is dropped
        // without a word, and the automatic one stays silent when it ends.
        QTRY_COMPARE(rig.server.requests.size(), 5);
        QCOMPARE(rig.service.phase(), UpdateService::Phase::checking);
        rig.service.checkForUpdates(true);
        rig.server.answerHeld({200, UpdateServiceRig::noUpdate, {}});
        QVERIFY(rig.waitForChecks(5));
        QCOMPARE(rig.presenter->alerts.size(), 2);
        QVERIFY(!rig.service.availableUpdate());
        rig.service.stopAutomaticChecks();
    }

    void userChecksAlwaysAnswer() {
        UpdateServiceRig rig;
        rig.presenter->answers = {1};
        rig.server.enqueue({200, UpdateServiceRig::offer(42), {}});
        rig.service.checkForUpdates(false);
        QVERIFY(rig.waitForChecks(1));
        QCOMPARE(rig.service.dismissedBuild(), 42);

        // "Later" silences automatic prompts only.
        rig.server.enqueue({200, UpdateServiceRig::offer(42), {}});
        rig.service.checkForUpdates(true);
        QVERIFY(rig.waitForChecks(2));
        QCOMPARE(rig.presenter->alerts.size(), 2);
        QCOMPARE(rig.presenter->alerts.last().message, QStringLiteral("Oculo 2.42 is available"));

        rig.server.enqueue({304, {}, {}});
        rig.service.checkForUpdates(true);
        QVERIFY(rig.waitForChecks(3));
        QCOMPARE(rig.presenter->alerts.last().message,
                 QStringLiteral("Couldn't check for updates"));
        QCOMPARE(rig.presenter->alerts.last().informativeText, updateprotocol::unexpectedResponse);
        QCOMPARE(rig.service.availableUpdate()->buildNumber, 42); // kept after a failure

        rig.server.enqueue({200, UpdateServiceRig::noUpdate, {}});
        rig.service.checkForUpdates(true);
        QVERIFY(rig.waitForChecks(4));
        QCOMPARE(rig.presenter->alerts.last().message, QStringLiteral("Oculo is up to date"));
        QCOMPARE(rig.presenter->alerts.last().informativeText,
                 QStringLiteral("Version 1.2 (41) is the newest version available."));
        QVERIFY(!rig.service.availableUpdate());
    }

    void mandatoryUpdatesCannotBePostponed() {
        UpdateServiceRig rig;
        rig.presenter->answers = {1, 1};
        for (int i = 1; i <= 2; ++i) {
            rig.server.enqueue({200, UpdateServiceRig::offer(42, true, ""), {}});
            rig.service.checkForUpdates(false);
            QVERIFY(rig.waitForChecks(i));
            QCOMPARE(rig.terminations.size(), i);
        }
        const UpdateAlert& prompt = rig.presenter->alerts.last();
        QCOMPARE(
            prompt.informativeText,
            QStringLiteral("You have version 1.2. This update is required to keep using Oculo."));
        QCOMPARE(prompt.buttons.last(), QStringLiteral("Quit Oculo"));
        QCOMPARE(rig.service.dismissedBuild(), std::nullopt);
    }

    void withoutInstallerOffersTheDownloadPage() {
        TestHttpsServer server;
        auto* presenter = new FakeUpdatePresenter;
        presenter->answers = {0};
        UpdateService service(UpdateServiceRig::options(server),
                              std::unique_ptr<UpdatePresenter>(presenter));
        service.install({QStringLiteral("2.0"), 42, {}, {}, {}, false});
        QCOMPARE(presenter->alerts.last().message, QStringLiteral("Couldn't install the update"));
        QCOMPARE(presenter->openedUrls, QList<QUrl>{server.baseUrl().resolved(
                                            QUrl(QStringLiteral("/app/org.oculo.Oculo")))});
        QCOMPARE(service.phase(), UpdateService::Phase::idle);
    }
};

OCULO_TEST_MAIN(TestUpdateService)
#include "test_update_service.moc"
