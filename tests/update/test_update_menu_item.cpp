#include "support/TestEnvironment.h"
#include "update/UpdateServiceRig.h"
#include "update/ui/MessageBoxUpdatePresenter.h"
#include "update/ui/UpdateMenuItem.h"

#include <QAbstractButton>
#include <QLabel>
#include <QMessageBox>

using namespace oculo;
using namespace oculo::test;

class TestUpdateMenuItem : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void rowFollowsTheService() {
        UpdateServiceRig rig;
        UpdateMenuItem item(rig.service);
        QAbstractButton& row = item.row();
        QSignalSpy dismissed(&item, &UpdateMenuItem::dismissRequested);
        QCOMPARE(row.text(), QStringLiteral("Check for Updates…"));

        row.click();
        QCOMPARE(dismissed.size(), 1);
        QCOMPARE(row.text(), QStringLiteral("Checking for Updates…"));
        QVERIFY(!row.isEnabled());

        // Postponed, the offer stays in the row and can still be installed from it.
        rig.presenter->answers = {1, 0};
        QTRY_COMPARE(rig.server.requests.size(), 1);
        rig.server.answerHeld({200, UpdateServiceRig::offer(42), {}});
        QVERIFY(rig.waitForChecks(1));
        QCOMPARE(row.text(), QStringLiteral("Install Oculo 2.42…"));
        row.click();
        QCOMPARE(rig.presenter->alerts.size(), 2);
        QCOMPARE(rig.installer->started.size(), 1);
        QCOMPARE(row.text(), QStringLiteral("Installing Update…"));
        QVERIFY(!row.isEnabled());
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
        const UpdateAlert alert{QStringLiteral("Oculo <i>2</i> is available"),
                                QStringLiteral("<a href=\"https://x.org\">Notes</a><img src=x>"),
                                {QStringLiteral("Install and Relaunch"), QStringLiteral("Later")}};
        const std::unique_ptr<QMessageBox> box = MessageBoxUpdatePresenter::makeAlertBox(alert);
        const QList<QLabel*> labels = box->findChildren<QLabel*>();
        QStringList texts;
        for (const QLabel* label : labels) {
            if (!label->text().isEmpty()) {
                QCOMPARE(label->textFormat(), Qt::PlainText);
                texts.append(label->text());
            }
        }
        QCOMPARE(texts.size(), 2);
        QVERIFY(texts.contains(alert.informativeText));
        QCOMPARE(box->escapeButton()->text(), QStringLiteral("Later"));
    }
};

OCULO_TEST_MAIN(TestUpdateMenuItem)
#include "test_update_menu_item.moc"
