#include "capture/DisplayManager.h"
#include "capture/PermissionManager.h"
#include "support/TestEnvironment.h"
#include "support/fakes/FakeDisplaySource.h"
#include "support/fakes/FakeSystemSettingsLauncher.h"
#include "support/fakes/StdoutCapture.h"

#include <QSignalSpy>

using oculo::DisplayInfo;
using oculo::DisplayManager;
using Kind = oculo::DisplayQueryError::Kind;
using oculo::PermissionManager;
using Status = oculo::PermissionManager::PermissionStatus;
using oculo::test::FakeDisplaySource;
using oculo::test::FakeSystemSettingsLauncher;

class TestDisplayQueries : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void findsTheDisplayUnderAPointUntilARefreshFails() {
        FakeDisplaySource source;
        source.setDisplays({FakeDisplaySource::primary(), FakeDisplaySource::secondary()});
        DisplayManager manager(source);
        QVERIFY(!manager.displayContaining({10, 10}));
        QCoro::waitFor(manager.refreshDisplays());

        QCOMPARE(manager.primaryDisplay(), FakeDisplaySource::primary());
        QCOMPARE(manager.displayContaining({2000, 400}), FakeDisplaySource::secondary());
        QCOMPARE(manager.displayContaining({100, 100}), FakeDisplaySource::primary());
        // The shared edge belongs to the display that starts there.
        QCOMPARE(manager.displayContaining({1440, 100}), FakeDisplaySource::secondary());
        QCOMPARE(manager.displayContaining({1439.5, 100}), FakeDisplaySource::primary());
        // Outside every display (also below the shorter one): the primary.
        QCOMPARE(manager.displayContaining({1000, 950}), FakeDisplaySource::primary());
        QCOMPARE(manager.displayContaining({-5000, -5000}), FakeDisplaySource::primary());

        // A failed refresh empties the list and says why.
        QSignalSpy primary(&manager, &DisplayManager::primaryDisplayChanged);
        source.setError(Kind::Other, QStringLiteral("X server went away"));
        oculo::test::StdoutCapture output;
        QCoro::waitFor(manager.refreshDisplays());
        QCOMPARE(output.text(), QStringLiteral("Failed to get displays: X server went away\n"));
        QVERIFY(manager.displays().isEmpty());
        QVERIFY(!manager.primaryDisplay());
        QVERIFY(!manager.displayContaining({100, 100}));
        QCOMPARE(primary.count(), 1);
    }

    void managerDestroyedDuringRefreshIsLeftAlone() {
        FakeDisplaySource source;
        source.setDisplays({FakeDisplaySource::primary()});
        source.hold();
        auto manager = std::make_unique<DisplayManager>(source);
        auto refresh = manager->refreshDisplays();
        manager.reset();
        source.release(); // resumes the refresh; it must not touch the dead manager
        QCoro::waitFor(std::move(refresh));
    }

    // The permission manager reads the same query as a permission status.
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

OCULO_TEST_MAIN(TestDisplayQueries)
#include "test_display_queries.moc"
