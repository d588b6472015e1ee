#include "state/MagnifierState.h"
#include "state/SettingsStore.h"
#include "support/TestEnvironment.h"

#include "common/TestFiles.h"

#include <QJsonDocument>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <memory>

using oculo::DockPosition;
using oculo::MagnificationMode;
using oculo::MagnifierState;
using oculo::SettingsStore;
using oculo::test::readJsonObject;
using oculo::test::writeBytes;

namespace {

const QRectF someFrame(100, 200, 400, 330);

// A store on its own file, optionally seeded with raw JSON.
struct Fixture {
    explicit Fixture(const QByteArray& json = {}) {
        if (!json.isEmpty()) {
            writeBytes(path(), json);
        }
        store = std::make_unique<SettingsStore>(path());
    }
    QString path() const { return dir.filePath(QStringLiteral("settings.json")); }

    QTemporaryDir dir;
    std::unique_ptr<SettingsStore> store;
};

// Window visible, keep active, stay in space, hide while moving.
QList<bool> flagsOf(const MagnifierState& state) {
    return {state.isWindowVisible(), state.keepWindowActive(), state.stayInCurrentSpace(),
            state.hideWhileMoving()};
}

} // namespace

class TestMagnifierState : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void clampsAndNotifiesOnlyRealChanges() {
        Fixture fixture;
        MagnifierState state(*fixture.store);
        QSignalSpy zoom(&state, &MagnifierState::zoomLevelChanged);
        state.setZoomLevel(2.0);
        QVERIFY(zoom.isEmpty() && !state.hasPendingSave());

        struct Case {
            double set, zoom, alpha;
        };
        for (const Case& c : {Case{0.05, 1.0, 0.1}, Case{12, 10.0, 1.0}, Case{-1, 1.0, 0.1}}) {
            state.setZoomLevel(c.set);
            state.setWindowTransparency(c.set);
            QCOMPARE(state.zoomLevel(), c.zoom);
            QCOMPARE(state.windowTransparency(), c.alpha);
        }
        state.zoomOut();
        QCOMPARE(state.zoomLevel(), 1.0);
        QCOMPARE(zoom.size(), 3); // 1.0, 10.0, 1.0: clamped repeats are no change
        QVERIFY(state.hasPendingSave());

        // Frames compare by identity: a copy is the same frame, a new capture is not.
        QSignalSpy frame(&state, &MagnifierState::currentFrameChanged);
        QImage image(4, 4, QImage::Format_ARGB32);
        image.fill(Qt::red);
        state.setCurrentFrame(image);
        state.setCurrentFrame(QImage(image));
        state.setCurrentFrame(image.copy());
        QCOMPARE(frame.size(), 2);

        // Rectangles always ask for a save, but notify only on a change.
        QSignalSpy region(&state, &MagnifierState::fixedRegionChanged);
        state.setFixedRegion(someFrame);
        state.setFixedRegion(someFrame);
        QCOMPARE(region.size(), 1);
        state.flushPendingSave();
        state.setWindowFrame(std::nullopt);
        QVERIFY(state.hasPendingSave());
    }

    void loadsTheStoredValuesByItsRules() {
        {
            Fixture fixture(R"({"oculo.zoomLevel": 25, "oculo.mode": "FixedRegion",
                "oculo.windowTransparency": 0, "oculo.dockPosition": "top",
                "oculo.isWindowVisible": 0, "oculo.keepWindowActive": 1,
                "oculo.stayInCurrentSpace": 2, "oculo.hideWhileMoving": "true",
                "oculo.fixedRegion.x": "7", "oculo.fixedRegion.y": 0,
                "oculo.fixedRegion.width": 10, "oculo.fixedRegion.height": 10,
                "oculo.windowFrame.x": 1, "oculo.windowFrame.y": 5,
                "oculo.windowFrame.width": 300, "oculo.windowFrame.height": 0,
                "oculo.preDockFrame.x": -4, "oculo.preDockFrame.y": 2,
                "oculo.preDockFrame.width": 80, "oculo.preDockFrame.height": 90})");
            MagnifierState state(*fixture.store);
            QCOMPARE(state.zoomLevel(), 10.0);
            QCOMPARE(state.mode(), MagnificationMode::followMouse);
            QCOMPARE(state.windowTransparency(), 0.1);
            QCOMPARE(state.dockPosition(), DockPosition::top);
            QCOMPARE(flagsOf(state), (QList<bool>{false, true, false, false}));
            // A rectangle needs four numbers and an area, else it is absent.
            QVERIFY(!state.fixedRegion());
            QVERIFY(!state.windowFrame());
            QCOMPARE(state.preDockFrame(), QRectF(-4, 2, 80, 90));
            QVERIFY(!state.hasPendingSave());
        }
        {
            Fixture fixture(R"({"oculo.zoomLevel": "3", "oculo.windowTransparency": 0.55,
                "oculo.mode": "fixedRegion", "oculo.dockPosition": "Bottom",
                "oculo.isWindowVisible": true})");
            MagnifierState state(*fixture.store);
            QCOMPARE(state.zoomLevel(), 2.0);
            QCOMPARE(state.windowTransparency(), 0.55);
            QCOMPARE(state.mode(), MagnificationMode::fixedRegion);
            QCOMPARE(state.dockPosition(), DockPosition::none);
            QCOMPARE(flagsOf(state), (QList<bool>{true, false, false, false}));
        }
        {
            Fixture fixture(R"({"oculo.zoomLevel": 0.2})");
            QCOMPARE(MagnifierState(*fixture.store).zoomLevel(), 1.0);
        }
    }

    void savesEveryKeyAndRemovesAbsentRectangles() {
        Fixture fixture;
        {
            MagnifierState state(*fixture.store);
            state.setWindowFrame(someFrame);
            state.setDockPosition(DockPosition::bottom);
            state.setHideWhileMoving(true);
            QTRY_COMPARE(fixture.store->syncCount(), 1);
            QJsonObject expected = QJsonDocument::fromJson(R"({"oculo.zoomLevel": 2,
                "oculo.mode": "followMouse", "oculo.windowTransparency": 0.3,
                "oculo.dockPosition": "bottom", "oculo.isWindowVisible": true,
                "oculo.keepWindowActive": false, "oculo.stayInCurrentSpace": false,
                "oculo.hideWhileMoving": true, "oculo.windowFrame.x": 100,
                "oculo.windowFrame.y": 200, "oculo.windowFrame.width": 400,
                "oculo.windowFrame.height": 330, "oculo.preDockFrame.x": 100,
                "oculo.preDockFrame.y": 200, "oculo.preDockFrame.width": 400,
                "oculo.preDockFrame.height": 330})")
                                       .object();
            QCOMPARE(readJsonObject(fixture.path()), expected);

            state.setPreDockFrame(std::nullopt);
            QTRY_COMPARE(fixture.store->syncCount(), 2);
            for (const char* side : {"x", "y", "width", "height"}) {
                expected.remove(QStringLiteral("oculo.preDockFrame.") + QLatin1String(side));
            }
            QCOMPARE(readJsonObject(fixture.path()), expected);
        }

        // Round trip through the file into a fresh store and state.
        SettingsStore reopened(fixture.path());
        MagnifierState restored(reopened);
        QCOMPARE(restored.windowFrame(), someFrame);
        QCOMPARE(restored.dockPosition(), DockPosition::bottom);
        QVERIFY(restored.hideWhileMoving());
        QVERIFY(!restored.preDockFrame());
        QVERIFY(!restored.fixedRegion());
    }

    void writesOnceAfterABurstAndWhenItGoesAway() {
        Fixture fixture;
        MagnifierState state(*fixture.store);
        for (int i = 1; i <= 10; ++i) {
            state.setZoomLevel(1.0 + i * 0.25);
        }
        QTRY_COMPARE_WITH_TIMEOUT(state.hasPendingSave(), false, 5000);
        QCOMPARE(fixture.store->syncCount(), 1);
        QCOMPARE(readJsonObject(fixture.path()).value(QStringLiteral("oculo.zoomLevel")), 3.5);

        // A pending save is written when the state goes away, or when flushed.
        {
            MagnifierState closing(*fixture.store);
            closing.setZoomLevel(5);
            QVERIFY(closing.hasPendingSave());
        }
        QCOMPARE(fixture.store->syncCount(), 2);
        QCOMPARE(MagnifierState(*fixture.store).zoomLevel(), 5.0);

        MagnifierState flushed(*fixture.store);
        flushed.setZoomLevel(6);
        flushed.flushPendingSave();
        QVERIFY(!flushed.hasPendingSave());
        QCOMPARE(MagnifierState(*fixture.store).zoomLevel(), 6.0);

        MagnifierState suspended(*fixture.store);
        suspended.setSuspendPersistence(true);
        suspended.setZoomLevel(7);
        suspended.flushPendingSave();
        QCOMPARE(fixture.store->syncCount(), 3);
    }
};

OCULO_TEST_MAIN(TestMagnifierState)
#include "test_magnifier_state.moc"
