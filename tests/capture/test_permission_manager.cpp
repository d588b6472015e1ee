#include "capture/PermissionManager.h"
#include "support/TestEnvironment.h"
#include "support/fakes/FakeDisplaySource.h"
#include "support/fakes/FakeSystemSettingsLauncher.h"

#include <QSignalSpy>

using oculo::DisplayQueryError;
using oculo::PermissionManager;
using Status = oculo::PermissionManager::PermissionStatus;
using oculo::test::FakeDisplaySource;
using oculo::test::FakeSystemSettingsLauncher;

class TestPermissionManager : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void mapsTheDisplayQueryToAStatus() {
        FakeDisplaySource source;
        FakeSystemSettingsLauncher settings;
        PermissionManager manager(source, settings);
        QCOMPARE(manager.permissionStatus(), Status::unknown);

        source.setDisplays({FakeDisplaySource::primary(), FakeDisplaySource::secondary()});
        QVERIFY(QCoro::waitFor(manager.checkPermission()));
        QCOMPARE(manager.permissionStatus(), Status::granted);

        source.setDisplays({});
        QVERIFY(!QCoro::waitFor(manager.checkPermission()));
        QCOMPARE(manager.permissionStatus(), Status::denied);

        source.setError(DisplayQueryError::Kind::Other, QStringLiteral("connection lost"));
        QVERIFY(!QCoro::waitFor(manager.checkPermission()));
        QCOMPARE(manager.permissionStatus(), Status::notDetermined);

        source.setError(DisplayQueryError::Kind::CaptureRefused, QStringLiteral("no X11 access"));
        QVERIFY(!QCoro::waitFor(manager.checkPermission()));
        QCOMPARE(manager.permissionStatus(), Status::denied);

        // An error that was never classified says nothing about permission.
        source.setError(DisplayQueryError::Kind::Invalid, QString());
        QVERIFY(!QCoro::waitFor(manager.checkPermission()));
        QCOMPARE(manager.permissionStatus(), Status::notDetermined);
    }

    void repeatedOutcomeNotifiesOnce() {
        FakeDisplaySource source;
        FakeSystemSettingsLauncher settings;
        PermissionManager manager(source, settings);
        QSignalSpy changes(&manager, &PermissionManager::permissionStatusChanged);

        source.setError(DisplayQueryError::Kind::CaptureRefused, QStringLiteral("refused"));
        QCoro::waitFor(manager.checkPermission());
        source.setDisplays({}); // a different cause, the same status
        QCoro::waitFor(manager.checkPermission());
        QCOMPARE(changes.count(), 1);
        QCOMPARE(changes.first().first().value<Status>(), Status::denied);
    }

    void opensTheSettings() {
        FakeDisplaySource source;
        FakeSystemSettingsLauncher settings;
        settings.setResult(false); // nothing to open: still no error
        PermissionManager manager(source, settings);
        manager.openSystemSettings();
        QCOMPARE(settings.openCount(), 1);
    }
};

OCULO_TEST_MAIN(TestPermissionManager)
#include "test_permission_manager.moc"
