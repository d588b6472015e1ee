// When the region overlays open and close, from the flags alone.
#include "region/RegionOverlayFlags.h"
#include "state/MagnifierState.h"
#include "state/SettingsStore.h"

#include <QTemporaryDir>
#include <QTest>

using namespace oculo;

class TestRegionOverlayFlags : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void overlaysFollowTheFlags() {
        QTemporaryDir dir;
        SettingsStore store(dir.filePath(QStringLiteral("settings.json")));
        // Steps each done within one event, with what the overlays are then
        // asked for (kind 0 selects, 1 adjusts).
        const QList<QList<std::pair<QByteArray, QByteArray>>> cases{
            // Raised and lowered at once: only the adjustment opens.
            {{"S+ S- A+", "opening open1"}},
            // Lowered while the screen settles: nothing opens, all comes back.
            {{"settle S+", "opening close0 finished"}},
            // A magnifier closed during its adjustment, and quitting during one.
            {{"A+", "opening open1"}, {"destroy", "close1 finished"}},
            {{"A+", "opening open1"}, {"stop", "close0 close1 finished"}},
        };
        for (const auto& steps : cases) {
            QByteArray asked;
            bool settle = false;
            auto state = std::make_unique<MagnifierState>(store);
            state->setFixedRegion(QRectF(10, 10, 100, 100));
            RegionOverlayFlags flags;
            connect(&flags, &RegionOverlayFlags::opening, this, [&] {
                asked += " opening";
                if (settle) {
                    flags.delayOpening(std::chrono::milliseconds(50));
                    state->setIsSelectingRegion(false);
                }
            });
            connect(&flags, &RegionOverlayFlags::openRequested, this, [&](RegionOverlayKind kind) {
                asked += " open" + QByteArray::number(int(kind));
            });
            connect(&flags, &RegionOverlayFlags::closeRequested, this, [&](RegionOverlayKind kind) {
                asked += " close" + QByteArray::number(int(kind));
            });
            connect(&flags, &RegionOverlayFlags::finished, this, [&] { asked += " finished"; });
            flags.watch(*state);
            flags.start();
            QByteArray expected;
            for (const auto& [acts, then] : steps) {
                for (const QByteArray& act : acts.split(' ')) {
                    if (act.startsWith('S')) {
                        state->setIsSelectingRegion(act == "S+");
                    } else if (act == "A+") {
                        state->setIsAdjustingRegion(true);
                    } else if (act == "destroy") {
                        state.reset();
                    } else if (act == "stop") {
                        flags.stop();
                    }
                    settle = settle || act == "settle";
                }
                expected += ' ' + then;
                QTRY_COMPARE(asked, expected);
            }
        }
    }
};

QTEST_GUILESS_MAIN(TestRegionOverlayFlags)

#include "test_region_overlay_flags.moc"
