#include "capture/PermissionManager.h"
#include "support/TestEnvironment.h"
#include "support/fakes/FakeDisplaySource.h"
#include "support/fakes/FakeSystemSettingsLauncher.h"

#include <QSignalSpy>

using oculo::PermissionManager;
using Kind = oculo::DisplayQueryError::Kind;
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
        QSignalSpy changes(&manager, &PermissionManager::permissionStatusChanged);
        QCOMPARE(manager.permissionStatus(), Status::unknown);
        // Only a refusal means denied; an error never classified says nothing.
        const struct {
            std::optional<Kind> error;
            int displays;
            Status status;
        } cases[] = {{{}, 2, Status::granted},
                     {{}, 0, Status::denied},
                     {Kind::Other, 0, Status::notDetermined},
                     {Kind::CaptureRefused, 0, Status::denied},
                     {{}, 0, Status::denied}, // a different cause, the same status
                     {Kind::Invalid, 0, Status::notDetermined}};
        for (const auto& c : cases) {
            if (c.error) {
                source.setError(*c.error, QStringLiteral("no X11 access"));
            } else {
                source.setDisplays(
                    QList{FakeDisplaySource::primary(), FakeDisplaySource::secondary()}.first(
                        c.displays));
            }
            QCOMPARE(QCoro::waitFor(manager.checkPermission()), c.status == Status::granted);
            QCOMPARE(manager.permissionStatus(), c.status);
        }
        // A repeated status notifies nothing.
        QCOMPARE(changes.count(), 5);
        QCOMPARE(changes.last().first().value<Status>(), Status::notDetermined);

        settings.setResult(false); // nothing to open: still no error
        manager.openSystemSettings();
        QCOMPARE(settings.openCount(), 1);
    }
};

OCULO_TEST_MAIN(TestPermissionManager)
#include "test_permission_manager.moc"
