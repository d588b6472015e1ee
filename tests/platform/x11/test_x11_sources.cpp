#include "capture/MouseTracker.h"
#include "platform/x11/PointerBeacon.h"
#include "platform/x11/X11DisplaySource.h"
#include "platform/x11/X11PointerSource.h"
#include "support/TestEnvironment.h"
#include "support/X11TestSupport.h"
#include "support/XvfbSession.h"

#include <QCursor>
#include <QGuiApplication>
#include <QTest>
#include <qcoro/qcorotask.h>

#include <tuple>

using namespace oculo;

namespace {
const test::ScopedMonitors* monitors = nullptr;
} // namespace

// The pointer and display sources, on two monitors side by side, present before Qt
// starts, the right one primary and scaled by 2.
class X11SourcesTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void followsAndReportsMotionAndWarpsThroughTheScreenUnderThePointer() {
        X11PointerSource pointer;
        QCOMPARE(QGuiApplication::screens().size(), 2);
        // Warps send no raw motion. The right monitor's 2x scale halves
        // distances from its corner (1440, 0).
        for (const auto& [device, logical, warp] :
             {std::tuple{QPoint(100, 200), QPointF(100, 200), false},
              std::tuple{QPoint(700, 50), QPointF(700, 50), true},
              std::tuple{QPoint(2000, 400), QPointF(1720, 200), true},
              std::tuple{QPoint(2878, 898), QPointF(2159, 449), false}}) {
            warp ? test::warpPointer(device) : test::movePointer(device);
            QCOMPARE(pointer.position(), logical);
            QCOMPARE(pointer.position(), QPointF(QCursor::pos()));
        }

        // A tracker at rest follows a warp too, and samples fast again.
        MouseTracker tracker(pointer);
        tracker.startTracking();
        QTRY_VERIFY_WITH_TIMEOUT(!tracker.isSampling(), 5000);
        QTest::qWait(1000); // a long rest, not a bound
        test::warpPointer(QPoint(900, 600));
        QTRY_COMPARE_WITH_TIMEOUT(tracker.mouseLocation(), QPointF(900, 600), 2000);
        QVERIFY(tracker.isMoving() && tracker.isSampling());
        tracker.stopTracking();

        // Motion is reported while someone listens.
        QVERIFY(pointer.notifiesMotion());
        test::movePointer(QPoint(400, 400));
        QTRY_COMPARE(pointer.position(), QPointF(400, 400));
        QTest::qWait(50);
        pointer.position(); // takes any motion still on its way

        int reports = 0;
        connect(&pointer, &PointerSource::pointerMoved, this, [&reports] { ++reports; });
        pointer.setMotionWatched(true);
        QTest::qWait(150);
        QCOMPARE(reports, 0); // a resting pointer is quiet

        const int queries = pointer.queryCount();
        test::movePointer(QPoint(420, 410));
        QTRY_VERIFY(reports > 0);
        QCOMPARE(pointer.queryCount(), queries); // noticed without asking the server
        QCOMPARE(pointer.position(), QPointF(420, 410));

        // A receiver may stop watching while it handles a report.
        reports = 0;
        const QMetaObject::Connection once =
            connect(&pointer, &PointerSource::pointerMoved, this,
                    [&pointer] { pointer.setMotionWatched(false); });
        test::movePointer(QPoint(430, 410));
        QTRY_COMPARE(reports, 1);
        test::movePointer(QPoint(440, 410));
        QTest::qWait(150);
        QCOMPARE(reports, 1);
        QCOMPARE(pointer.position(), QPointF(440, 410));
        QVERIFY(pointer.usesRawMotion());
        disconnect(once);

        // Motion is not even asked for while nobody listens; a move made then
        // is reported as soon as someone does.
        test::movePointer(QPoint(450, 420));
        reports = 0;
        pointer.setMotionWatched(true);
        QTRY_COMPARE(reports, 1);
        pointer.setMotionWatched(false);
    }

    // What a capture thread saw, how long ago and since when the pointer was
    // there; negative positions and the wrap of the milliseconds included.
    void beaconTellsWhereAndSinceWhen() {
        x11::PointerBeacon beacon;
        using namespace std::chrono_literals;
        const auto seen = x11::PointerBeacon::Clock::time_point(0xffffffffms - 10ms);
        QVERIFY(!beacon.last(seen));
        beacon.publish(QPoint(-1280, -300), seen);
        QCOMPARE(beacon.last(seen + 35ms)->position, QPoint(-1280, -300));
        QCOMPARE(beacon.last(seen + 35ms)->age, 35ms);
        beacon.publish(QPoint(3839, 2159), seen);
        QCOMPARE(beacon.last(seen)->position, QPoint(3839, 2159));

        // Looks that find it in the same place keep the time it arrived there.
        beacon.publish(QPoint(3839, 2159), seen + 33ms);
        const auto sighting = beacon.last(seen + 50ms);
        QVERIFY(sighting);
        QCOMPARE(sighting->age, 17ms);
        QCOMPARE(sighting->stillFor, 50ms);
        beacon.publish(QPoint(3840, 2159), seen + 66ms);
        QCOMPARE(beacon.last(seen + 70ms)->stillFor, 4ms);
        // A reader whose clock was read before that publish: no time, not 49 days.
        QCOMPARE(beacon.last(seen + 60ms)->age, 0ms);
        QCOMPARE(beacon.last(seen + 60ms)->stillFor, 0ms);
    }

    // Without RECORD a thread of the source's own looks for warps. A server
    // that goes away leaves it following through Qt, even when the next
    // position() is the first to notice.
    void withoutRecordAThreadSeesWarpsUntilTheServerGoes() {
        test::XvfbSession::Options options;
        options.extraArguments = {QStringLiteral("-extension"), QStringLiteral("RECORD")};
        auto server = std::make_unique<test::XvfbSession>(options);
        QVERIFY2(server->isRunning(), qPrintable(server->errorString()));
        const QByteArray display = server->display().toLocal8Bit();
        X11PointerSource pointer(display);
        QVERIFY(pointer.notifiesMotion());
        int reports = 0;
        connect(&pointer, &PointerSource::pointerMoved, this, [&reports] { ++reports; });
        pointer.setMotionWatched(true);
        QTest::qWait(150);
        reports = 0;
        test::warpPointerOn(display, QPoint(310, 220));
        QTRY_VERIFY(reports > 0);
        QCOMPARE(pointer.position(), QPointF(310, 220));

        server.reset(); // no event loop runs before the next call
        QTest::ignoreMessage(QtWarningMsg,
                             "Following the pointer through Qt: the X connection broke.");
        QCOMPARE(pointer.position(), QPointF(QCursor::pos()));
        QVERIFY(!pointer.usesRawMotion() && !pointer.notifiesMotion());
    }

    void displaysAreListedPrimaryFirstInLogicalPoints() {
        const DisplayQueryResult result = X11DisplaySource().queryDisplaysNow();
        QVERIFY(!result.error);
        QCOMPARE(result.displays,
                 (QList<DisplayInfo>{{monitors->atomOf("RIGHT"), QStringLiteral("RIGHT"),
                                      QRectF(1440, 0, 720, 450), 2.0},
                                     {monitors->atomOf("LEFT"), QStringLiteral("LEFT"),
                                      QRectF(0, 0, 1440, 900), 1.0}}));

        // A server without monitors of its own is one display, in device pixels.
        test::XvfbSession::Options options;
        options.width = 2880;
        test::XvfbSession server(options);
        QVERIFY2(server.isRunning(), qPrintable(server.errorString()));
        const DisplayQueryResult whole =
            QCoro::waitFor(X11DisplaySource(server.display().toLocal8Bit()).queryDisplays());
        QVERIFY(!whole.error);
        QCOMPARE(whole.displays.size(), 1);
        QCOMPARE(whole.displays[0].frame, QRectF(0, 0, 2880, 900));
        QCOMPARE(whole.displays[0].devicePixelRatio, 1.0);
        QVERIFY(whole.displays[0].id != 0);
    }

    void unreachableServerFallsBackToQt() {
        QTest::ignoreMessage(QtWarningMsg,
                             "Following the pointer through Qt: cannot connect to the X display.");
        const X11PointerSource pointer(":9999");
        QVERIFY(!pointer.usesRawMotion());
        QVERIFY(!pointer.notifiesMotion());
        test::movePointer(QPoint(42, 24));
        QCOMPARE(pointer.position(), QPointF(QCursor::pos()));
        QCOMPARE(pointer.position(), QPointF(42, 24));
        QCOMPARE(pointer.queryCount(), 0);

        // To the display source that means capture refused.
        const DisplayQueryResult result = X11DisplaySource(":9999").queryDisplaysNow();
        QVERIFY(result.displays.isEmpty());
        QVERIFY(result.error);
        QCOMPARE(result.error->kind, DisplayQueryError::Kind::CaptureRefused);
        QVERIFY(!result.error->description.isEmpty());
    }
};

int main(int argc, char** argv) {
    oculo::test::isolateUserFiles();
    oculo::test::useIsolatedXServer(false, 2880, 900);
    const test::ScopedMonitors scoped(
        {{"LEFT", QRect(0, 0, 1440, 900), false}, {"RIGHT", QRect(1440, 0, 1440, 900), true}});
    if (!scoped.isValid()) {
        qFatal("Could not set up the RandR monitors");
    }
    monitors = &scoped;
    qputenv("QT_SCREEN_SCALE_FACTORS", "LEFT=1;RIGHT=2");
    QApplication app(argc, argv);
    X11SourcesTest tc;
    return QTest::qExec(&tc, argc, argv);
}
#include "test_x11_sources.moc"
