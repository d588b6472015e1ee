#include "support/TestEnvironment.h"
#include "support/fakes/FakePointerSource.h"
#include "window/MouseTracker.h"

#include <QElapsedTimer>
#include <QSignalSpy>

using oculo::MouseTracker;
using oculo::test::FakePointerSource;

class TestMouseTracker : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void movementThresholdIsInclusive() {
        FakePointerSource pointer;
        pointer.setPosition({100, 100});
        MouseTracker tracker(pointer);
        tracker.startTracking();
        QCOMPARE(tracker.mouseLocation(), QPointF(100, 100));

        pointer.setPosition({100.99, 100});
        tracker.pollMousePosition();
        QVERIFY2(!tracker.isMoving(), "0.99 is below the threshold");
        QCOMPARE(tracker.mouseLocation(), QPointF(100.99, 100));

        // Measured from the last counted position (100, 100), not the last sample.
        pointer.setPosition({100, 101});
        tracker.pollMousePosition();
        QVERIFY2(tracker.isMoving(), "a distance of exactly 1.0 counts");
        tracker.stopTracking();
    }

    void slowDriftAccumulatesAndPublishesEverySample() {
        FakePointerSource pointer;
        MouseTracker tracker(pointer);
        tracker.startTracking();
        QSignalSpy locations(&tracker, &MouseTracker::mouseLocationChanged);
        QSignalSpy moving(&tracker, &MouseTracker::isMovingChanged);

        pointer.moveBy(0.5, 0);
        tracker.pollMousePosition();
        QVERIFY(!tracker.isMoving());
        pointer.moveBy(0.5, 0);
        tracker.pollMousePosition();
        QVERIFY2(tracker.isMoving(), "two half-point steps add up to one counted movement");
        for (int i = 0; i < 6; ++i) {
            pointer.moveBy(0.5, 0);
            tracker.pollMousePosition();
        }
        QVERIFY(tracker.isMoving());
        QCOMPARE(locations.count(), 8);
        QCOMPARE(moving.count(), 1);

        // A resting pointer publishes nothing more.
        tracker.pollMousePosition();
        QCOMPARE(locations.count(), 8);
    }

    void isMovingFallsOnlyAfterTheStoppedDelay() {
        FakePointerSource pointer;
        MouseTracker tracker(pointer);
        tracker.startTracking();
        tracker.stopTracking(); // drive the samples ourselves

        QElapsedTimer beforeMove;
        beforeMove.start();
        pointer.setPosition({50, 50});
        tracker.pollMousePosition();
        QElapsedTimer afterMove;
        afterMove.start();
        QVERIFY(tracker.isMoving());

        QTest::qWait(100);
        tracker.pollMousePosition();
        // The tracker's clock started after `beforeMove`, so it saw less than this.
        if (beforeMove.elapsed() < MouseTracker::stoppedDelayMs) {
            QVERIFY2(tracker.isMoving(), "still moving before the stopped delay");
        } else {
            qWarning("machine too slow to check the early sample");
        }

        while (afterMove.elapsed() < MouseTracker::stoppedDelayMs + 20) {
            QTest::qWait(10);
        }
        QSignalSpy moving(&tracker, &MouseTracker::isMovingChanged);
        tracker.pollMousePosition();
        QVERIFY(!tracker.isMoving());
        QCOMPARE(moving.count(), 1);
        QCOMPARE(tracker.mouseLocation(), QPointF(50, 50)); // kept
    }

    void startingTwiceKeepsOneTimerAndItsReference() {
        FakePointerSource pointer;
        MouseTracker tracker(pointer);
        QSignalSpy tracking(&tracker, &MouseTracker::isTrackingChanged);
        tracker.startTracking();
        pointer.setPosition({5, 0});
        tracker.startTracking(); // must neither re-read the pointer nor add a timer
        QCOMPARE(tracking.count(), 1);
        QCOMPARE(tracker.mouseLocation(), QPointF(0, 0));

        // Let the timer run: with one 30 ms timer there are at most about
        // elapsed / 30 samples; two timers would give twice that.
        const int queriesBefore = pointer.queryCount();
        QElapsedTimer clock;
        clock.start();
        QTRY_VERIFY(tracker.isMoving()); // the timer sampled (5, 0)
        QTest::qWait(300);
        const int samples = pointer.queryCount() - queriesBefore;
        const qint64 elapsed = clock.elapsed();
        QVERIFY2(samples >= 2, "the timer samples on its own");
        QVERIFY2(samples <= elapsed / MouseTracker::sampleIntervalMs + 2,
                 qPrintable(QStringLiteral("%1 samples in %2 ms").arg(samples).arg(elapsed)));

        tracker.stopTracking();
        QVERIFY(!tracker.isTracking());
        const int queriesAfterStop = pointer.queryCount();
        QTest::qWait(100);
        QCOMPARE(pointer.queryCount(), queriesAfterStop);
    }

    void restsOnlyAfterTheStopAndWakesOnMotion() {
        FakePointerSource pointer(true);
        MouseTracker tracker(pointer);
        tracker.startTracking();
        bool listeningWhenStopped = true;
        connect(&tracker, &MouseTracker::isMovingChanged, &tracker, [&](bool moving) {
            if (!moving) {
                listeningWhenStopped = pointer.hasMotionHandler();
            }
        });

        pointer.moveBy(10, 0);
        tracker.pollMousePosition();
        QVERIFY(tracker.isMoving());
        tracker.pollMousePosition();
        QVERIFY2(!pointer.hasMotionHandler(), "no rest before the stop is reported");
        QTRY_VERIFY(!tracker.isMoving());
        QVERIFY2(!listeningWhenStopped, "the stop comes before the rest");
        QVERIFY(pointer.hasMotionHandler());

        // At rest the timer wakes about twice a second instead of 33 times.
        int before = pointer.queryCount();
        QTest::qWait(400);
        QVERIFY2(
            pointer.queryCount() - before <= 2,
            qPrintable(QStringLiteral("%1 samples at rest").arg(pointer.queryCount() - before)));

        // Reported motion is sampled at once, then every 30 ms again.
        QSignalSpy moving(&tracker, &MouseTracker::isMovingChanged);
        pointer.moveAndNotify(5, 5);
        QCOMPARE(tracker.mouseLocation(), QPointF(15, 5));
        QVERIFY(tracker.isMoving());
        QCOMPARE(moving.count(), 1);
        QVERIFY(!pointer.hasMotionHandler());
        before = pointer.queryCount();
        QTest::qWait(200);
        QVERIFY2(pointer.queryCount() - before >= 3, "fast samples after waking");

        // Motion below the threshold is published at once and keeps it resting.
        QTRY_VERIFY(pointer.hasMotionHandler());
        pointer.moveAndNotify(0.5, 0);
        QCOMPARE(tracker.mouseLocation(), QPointF(15.5, 5));
        QVERIFY(!tracker.isMoving());
        QVERIFY(pointer.hasMotionHandler());

        // A warp sends no motion report; the slow samples still find it.
        pointer.moveBy(100, 0);
        QTRY_COMPARE_WITH_TIMEOUT(tracker.mouseLocation(), QPointF(115.5, 5), 3000);

        QTRY_VERIFY(pointer.hasMotionHandler());
        tracker.stopTracking();
        QVERIFY2(!pointer.hasMotionHandler(), "a stopped tracker no longer listens");
        const int queriesAfterStop = pointer.queryCount();
        pointer.moveAndNotify(5, 0);
        QCOMPARE(pointer.queryCount(), queriesAfterStop);

        {
            MouseTracker shortLived(pointer);
            shortLived.startTracking();
            QTRY_VERIFY(pointer.hasMotionHandler());
        }
        QVERIFY2(!pointer.hasMotionHandler(), "a destroyed tracker no longer listens");
    }

    void sourceWithoutMotionReportsKeepsSampling() {
        FakePointerSource pointer;
        MouseTracker tracker(pointer);
        tracker.startTracking();
        pointer.moveBy(10, 0);
        QTRY_VERIFY(tracker.isMoving());
        QTRY_VERIFY(!tracker.isMoving());

        const int before = pointer.queryCount();
        QTest::qWait(300);
        QVERIFY2(pointer.queryCount() - before >= 5, "every 30 ms at rest too");
        QVERIFY(!pointer.hasMotionHandler());
    }
};

OCULO_TEST_MAIN(TestMouseTracker)
#include "test_mouse_tracker.moc"
