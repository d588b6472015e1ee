#include "X11TestSupport.h"
#include "platform/x11/X11PointerSource.h"
#include "support/TestEnvironment.h"

#include <QCursor>
#include <QTest>

using namespace oculo;

class X11PointerSourceTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void followsMotionAndWarps() {
        const X11PointerSource pointer;
        QVERIFY(pointer.usesRawMotion());

        test::movePointer(QPoint(100, 200));
        QTRY_COMPARE(pointer.position(), QPointF(100, 200));
        test::movePointer(QPoint(1200, 850));
        QTRY_COMPARE(pointer.position(), QPointF(1200, 850));

        // A warp sends no raw motion; the periodic query still finds it.
        test::warpPointer(QPoint(700, 50));
        QTRY_COMPARE_WITH_TIMEOUT(pointer.position(), QPointF(700, 50), 3000);
        QVERIFY(pointer.usesRawMotion());
    }

    void restingPointerCostsNoRoundTrips() {
        using std::chrono::hours;
        const X11PointerSource pointer({}, hours(1));
        test::movePointer(QPoint(300, 300));
        QTRY_COMPARE(pointer.position(), QPointF(300, 300));
        // Until the raw motion still on its way has been taken.
        QTRY_VERIFY([&pointer] {
            const int queries = pointer.queryCount();
            pointer.position();
            return pointer.queryCount() == queries;
        }());
        const int before = pointer.queryCount();
        for (int i = 0; i < 100; ++i) {
            QCOMPARE(pointer.position(), QPointF(300, 300));
        }
        QCOMPARE(pointer.queryCount(), before);
        // Motion is seen again at once.
        test::movePointer(QPoint(310, 305));
        QTRY_COMPARE(pointer.position(), QPointF(310, 305));
    }

    void reportsMotionWhileListenedTo() {
        X11PointerSource pointer;
        QVERIFY(pointer.notifiesMotion());
        test::movePointer(QPoint(400, 400));
        QTRY_COMPARE(pointer.position(), QPointF(400, 400));
        QTest::qWait(50);
        pointer.position(); // takes any motion still on its way

        int reports = 0;
        pointer.setMotionHandler([&reports] { ++reports; });
        QTest::qWait(150);
        QCOMPARE(reports, 0); // a resting pointer is quiet

        const int queries = pointer.queryCount();
        test::movePointer(QPoint(420, 410));
        QTRY_VERIFY(reports > 0);
        QCOMPARE(pointer.queryCount(), queries); // noticed without asking the server
        QCOMPARE(pointer.position(), QPointF(420, 410));

        // A handler may remove itself while it runs.
        reports = 0;
        pointer.setMotionHandler([&pointer, &reports] {
            ++reports;
            pointer.setMotionHandler({});
        });
        test::movePointer(QPoint(430, 410));
        QTRY_COMPARE(reports, 1);
        test::movePointer(QPoint(440, 410));
        QTest::qWait(150);
        QCOMPARE(reports, 1);
        QCOMPARE(pointer.position(), QPointF(440, 410));
        QVERIFY(pointer.usesRawMotion());
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
    }
};

OCULO_X11_TEST_MAIN(X11PointerSourceTest, false)
#include "test_x11_pointer_source.moc"
