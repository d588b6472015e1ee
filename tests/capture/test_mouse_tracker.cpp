#include "capture/MouseTracker.h"
#include "support/TestEnvironment.h"
#include "support/fakes/FakePointerSource.h"

#include <QSignalSpy>

using namespace std::chrono_literals;
using oculo::MouseTracker;
using oculo::test::FakePointerSource;

namespace {

// A tracker on a clock the test moves; samples are taken by hand.
struct Rig {
    explicit Rig(bool notifying = false)
        : pointer(notifying)
        , tracker(pointer, nullptr, [this] { return now; }) {
        tracker.startTracking();
    }
    void sampleAfter(std::chrono::milliseconds elapsed) {
        now += elapsed;
        tracker.pollMousePosition();
    }

    std::chrono::milliseconds now{1000};
    FakePointerSource pointer;
    MouseTracker tracker;
};

} // namespace

class TestMouseTracker : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void countsMovementFromTheLastCountedPosition() {
        Rig rig;
        QSignalSpy locations(&rig.tracker, &MouseTracker::mouseLocationChanged);
        QSignalSpy moving(&rig.tracker, &MouseTracker::isMovingChanged);

        rig.pointer.setPosition({0.99, 0});
        rig.sampleAfter(30ms);
        QVERIFY2(!rig.tracker.isMoving(), "0.99 is below the threshold");
        QCOMPARE(rig.tracker.mouseLocation(), QPointF(0.99, 0)); // published all the same
        // Measured from the last counted position (0, 0), not the last sample.
        rig.pointer.setPosition({0, 1});
        rig.sampleAfter(30ms);
        QVERIFY2(rig.tracker.isMoving(), "a distance of exactly 1.0 counts");

        // Half-point steps add up; a resting pointer publishes nothing more.
        for (int i = 0; i < 6; ++i) {
            rig.pointer.moveBy(0.5, 0);
            rig.sampleAfter(30ms);
        }
        rig.sampleAfter(30ms);
        QCOMPARE(locations.count(), 8);
        QCOMPARE(moving.count(), 1);
    }

    void isMovingFallsOnlyAfterTheStoppedDelay() {
        Rig rig;
        rig.pointer.setPosition({50, 50});
        rig.sampleAfter(30ms);
        QVERIFY(rig.tracker.isMoving());
        rig.sampleAfter(std::chrono::milliseconds(MouseTracker::stoppedDelayMs - 1));
        QVERIFY2(rig.tracker.isMoving(), "still moving before the stopped delay");
        rig.sampleAfter(1ms);
        QVERIFY(!rig.tracker.isMoving());
        QCOMPARE(rig.tracker.mouseLocation(), QPointF(50, 50)); // kept
    }

    void restsOnlyAfterTheStopAndWakesOnMotion() {
        Rig rig(true);
        bool listeningWhenStopped = true;
        connect(&rig.tracker, &MouseTracker::isMovingChanged, &rig.tracker, [&](bool moving) {
            listeningWhenStopped = moving || rig.pointer.isMotionWatched();
        });

        rig.pointer.moveBy(10, 0);
        rig.sampleAfter(30ms);
        rig.sampleAfter(30ms);
        QVERIFY2(!rig.pointer.isMotionWatched(), "no rest before the stop is reported");
        QVERIFY(rig.tracker.isSampling());
        rig.sampleAfter(std::chrono::milliseconds(MouseTracker::stoppedDelayMs));
        QVERIFY(!rig.tracker.isMoving());
        QVERIFY2(!listeningWhenStopped, "the stop comes before the rest");
        QVERIFY(rig.pointer.isMotionWatched());
        QVERIFY2(!rig.tracker.isSampling(), "the source watches a resting pointer");

        // Reported motion is sampled at once, then fast again.
        rig.pointer.moveAndNotify(5, 5);
        QCOMPARE(rig.tracker.mouseLocation(), QPointF(15, 5));
        QVERIFY(rig.tracker.isMoving());
        QVERIFY(!rig.pointer.isMotionWatched());
        QVERIFY(rig.tracker.isSampling());

        // Motion below the threshold is published at once and keeps it resting.
        rig.sampleAfter(std::chrono::milliseconds(MouseTracker::stoppedDelayMs));
        QVERIFY(rig.pointer.isMotionWatched());
        rig.pointer.moveAndNotify(0.5, 0);
        QCOMPARE(rig.tracker.mouseLocation(), QPointF(15.5, 5));
        QVERIFY(!rig.tracker.isMoving() && rig.pointer.isMotionWatched());

        rig.sampleAfter(std::chrono::milliseconds(MouseTracker::stoppedDelayMs));
        QVERIFY(rig.pointer.isMotionWatched());
        rig.tracker.stopTracking();
        QVERIFY2(!rig.pointer.isMotionWatched(), "a stopped tracker no longer listens");
        {
            MouseTracker shortLived(rig.pointer, nullptr, [&rig] { return rig.now; });
            shortLived.startTracking();
            shortLived.pollMousePosition();
            QVERIFY(rig.pointer.isMotionWatched());
        }
        QVERIFY2(!rig.pointer.isMotionWatched(), "a destroyed tracker no longer listens");
    }

    void watchedPointerIsSampledSparselyAndStopsOnTime() {
        Rig rig;
        rig.pointer.moveBy(10, 0);
        rig.sampleAfter(30ms);
        QCOMPARE(rig.tracker.nextSampleDelay(), 30ms); // nobody else watches

        // While a capture thread sees it arrive somewhere new every frame.
        rig.pointer.moveBy(10, 0);
        rig.pointer.setStillFor(20ms);
        rig.sampleAfter(100ms);
        QCOMPARE(rig.tracker.nextSampleDelay(), 100ms);
        // It arrived here 60 ms before this sample: frequent samples again (a
        // warp would go unseen), and the stop counts from the arrival.
        rig.pointer.moveBy(10, 0);
        rig.pointer.setStillFor(60ms);
        rig.sampleAfter(100ms);
        QCOMPARE(rig.tracker.nextSampleDelay(), 30ms);
        rig.sampleAfter(239ms);
        QVERIFY(rig.tracker.isMoving());
        QCOMPARE(rig.tracker.nextSampleDelay(), 1ms);
        rig.sampleAfter(1ms);
        QVERIFY(!rig.tracker.isMoving());

        // A stale sighting cannot date a move before the sample that saw the
        // pointer elsewhere.
        rig.pointer.moveBy(5, 0);
        rig.pointer.setStillFor(10s);
        rig.sampleAfter(30ms);
        QVERIFY(rig.tracker.isMoving());
        rig.sampleAfter(269ms);
        QVERIFY(rig.tracker.isMoving());
        rig.sampleAfter(1ms);
        QVERIFY(!rig.tracker.isMoving());
    }

    void sourceWithoutMotionReportsKeepsSamplingFast() {
        Rig rig;
        rig.pointer.moveBy(10, 0);
        rig.sampleAfter(30ms);
        rig.sampleAfter(std::chrono::milliseconds(MouseTracker::stoppedDelayMs));
        QVERIFY(!rig.tracker.isMoving());
        QVERIFY(rig.tracker.isSampling());
        QVERIFY(!rig.pointer.isMotionWatched());
    }
};

OCULO_TEST_MAIN(TestMouseTracker)
#include "test_mouse_tracker.moc"
