#include "capture/DisplayManager.h"
#include "support/TestEnvironment.h"
#include "support/fakes/FakeDisplaySource.h"
#include "support/fakes/StdoutCapture.h"

#include <QSignalSpy>

using oculo::DisplayInfo;
using oculo::DisplayManager;
using oculo::DisplayQueryError;
using oculo::test::FakeDisplaySource;

class TestDisplayManager : public QObject {
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
        source.setError(DisplayQueryError::Kind::Other, QStringLiteral("X server went away"));
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
};

OCULO_TEST_MAIN(TestDisplayManager)
#include "test_display_manager.moc"
