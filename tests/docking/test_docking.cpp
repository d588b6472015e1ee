#include "docking/DockBand.h"
#include "docking/DockingController.h"
#include "state/MagnifierState.h"
#include "state/SettingsStore.h"
#include "support/TestEnvironment.h"
#include "support/fakes/FakeWindowManagerSource.h"

#include <QTemporaryDir>
#include <QWindow>

using namespace oculo;
using Window = WindowManagerSource::ClientWindow;

namespace {

constexpr qint64 own = 1000;
constexpr qint64 other = 2000;

Window window(QRectF frame, std::optional<qint64> pid = other, bool normal = true,
              bool visible = true) {
    return {1, pid, normal, visible, frame};
}

} // namespace

class TestDocking : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // The docking example on a 1440 x 900 screen whose top 25 pixels are taken.
    void bandArithmetic() {
        const QRectF screen(0, 0, 1440, 900);
        const QRectF available = DockBand::availableArea(screen, QRectF(0, 25, 2880, 805), {});
        QCOMPARE(available, QRectF(0, 25, 1440, 805));
        QCOMPARE(DockBand::availableArea(screen, QRectF(1440, 0, 10, 10), screen), screen);
        const QRectF bottomPanel = *DockBand::dockedFrame(DockPosition::bottom, available, 330);
        QCOMPARE(bottomPanel, QRectF(0, 500, 1440, 330));
        const QRectF topPanel = *DockBand::dockedFrame(DockPosition::top, available, 330);
        QCOMPARE(topPanel, QRectF(0, 25, 1440, 330));

        const DockBand bottom(DockPosition::bottom, bottomPanel, screen);
        const DockBand top(DockPosition::top, topPanel, screen);
        QCOMPARE(bottom.limit(), 450.0);
        QCOMPARE(top.limit(), 405.0);
        const struct {
            const DockBand& band;
            Window window;
            std::optional<double> y;
        } cases[] = {
            {bottom, window({100, 200, 800, 400}), 50.0},
            {bottom, window({100, 0, 800, 700}), std::nullopt},  // too tall to fit
            {bottom, window({100, 50, 800, 400}), std::nullopt}, // already clear
            {bottom, window({100, 200, 800, 400}, own), std::nullopt},
            {bottom, window({100, 200, 800, 400}, std::nullopt), std::nullopt},
            {bottom, window({100, 200, 800, 400}, other, false), std::nullopt},
            {bottom, window({100, 200, 800, 400}, other, true, false), std::nullopt},
            {bottom, window({1500, 600, 800, 400}), std::nullopt}, // centred on another screen
            {bottom, window({1200, 600, 400, 200}), 250.0},        // centre still on this one
            {top, window({100, 100, 800, 400}), 405.0},
            {top, window({100, 405, 800, 400}), std::nullopt},
            {top, window({100, 300, 800, 700}), 405.0}, // no bottom check at the top
        };
        for (const auto& c : cases) {
            QCOMPARE(c.band.pushedY(c.window, own), c.y);
        }
    }

    void docksPushesAndUndocks() {
        QTemporaryDir dir;
        SettingsStore store(dir.filePath(QStringLiteral("settings.json")));
        MagnifierState state(store);
        test::FakeWindowManagerSource wm;
        const QRect screen = QGuiApplication::primaryScreen()->geometry();
        wm.area = QRectF(screen).adjusted(0, 20, 0, 0);
        wm.windows = {window(QRectF(10, screen.height() - 150, 200, 100))};
        QWindow panel;
        panel.setGeometry(40, 40, 300, 200);
        state.setWindowFrame(QRectF(40, 40, 300, 200));
        DockingController docking(state, wm, std::chrono::milliseconds(10),
                                  std::chrono::milliseconds(20));
        connect(&docking, &DockingController::frameRequested, &panel,
                [&panel](const QRectF& frame) {
                    panel.setGeometry(frame.toRect().marginsRemoved(panel.frameMargins()));
                });

        docking.attach(&panel);
        panel.show();
        const int h = panel.frameGeometry().height();

        // Docked at the bottom of the work area; the window in the band moves.
        state.setDockPosition(DockPosition::bottom);
        const QRect docked(0, screen.height() - h, screen.width(), h);
        QTRY_COMPARE(panel.frameGeometry(), docked);
        QTRY_COMPARE(wm.windows.first().frame.bottom(), screen.height() - h - 50.0);
        QVERIFY(docking.isMonitoring());
        wm.windows.first().frame.moveTop(screen.height() - 150);
        QTRY_COMPARE(wm.windows.first().frame.bottom(), screen.height() - h - 50.0);

        // Switching edges keeps the monitor; undocking restores the frame once.
        wm.windows.first().frame.moveTop(100);
        state.setDockPosition(DockPosition::top);
        QTRY_COMPARE(panel.frameGeometry(), QRect(0, 20, screen.width(), h));
        QTRY_COMPARE(wm.windows.first().frame.top(), 20.0 + h + 50.0);
        QVERIFY(docking.isMonitoring());
        state.setDockPosition(DockPosition::none);
        QTRY_COMPARE(panel.frameGeometry(), QRect(40, 40, 300, 200));
        QVERIFY(!docking.isMonitoring());
        QVERIFY(!state.preDockFrame());

        // Restored docked, a desktop change pushes, also a window that a busy
        // window manager maps only after the first two pushes.
        docking.detach();
        state.setDockPosition(DockPosition::bottom);
        panel.setGeometry(docked.marginsRemoved(panel.frameMargins()));
        DockingController restored(state, wm, std::chrono::milliseconds(10),
                                   std::chrono::milliseconds(20));
        restored.attach(&panel);
        wm.mappedLate = {wm.windows.takeFirst()};
        wm.mappedLate.first().frame.moveTop(screen.height() - 150);
        wm.mapsLateAtListing = wm.listings + 3;
        Q_EMIT wm.currentDesktopChanged();
        QTRY_COMPARE(wm.windows.size(), 1);
        QTRY_COMPARE(wm.windows.first().frame.bottom(), screen.height() - h - 50.0);
        QVERIFY(!restored.isMonitoring());
    }
};

OCULO_TEST_MAIN(TestDocking)

#include "test_docking.moc"
