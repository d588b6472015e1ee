// The region overlays' arithmetic, without any window.
#include "region/RegionGeometry.h"

#include <QTest>

using namespace oculo;
using namespace oculo::region;

Q_DECLARE_METATYPE(oculo::ResizeHandle)

class TestRegionGeometry : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void selectionIsTheSameWhicheverWayTheDragGoes() {
        const QRectF expected(100, 50, 320.7, 200.2);
        const QPointF a = expected.topLeft();
        const QPointF b = expected.bottomRight();
        const QList<std::pair<QPointF, QPointF>> drags{
            {a, b}, {b, a}, {{a.x(), b.y()}, {b.x(), a.y()}}, {{b.x(), a.y()}, {a.x(), b.y()}}};
        for (const auto& [start, end] : drags) {
            QCOMPARE(normalizedRect(start, end), expected);
            QCOMPARE(sizeLabel(normalizedRect(start, end)), QStringLiteral("320 \u00d7 200"));
        }
        // More than 10 points each way, or the selection is cancelled.
        QVERIFY(!isLargeEnoughSelection(normalizedRect({5, 5}, {5, 5})));
        QVERIFY(!isLargeEnoughSelection({0, 0, 10, 300}));
        QVERIFY(!isLargeEnoughSelection({0, 0, 300, 10}));
        QVERIFY(isLargeEnoughSelection({0, 0, 10.5, 10.5}));
    }

    void handlesAreFoundInOrderWithAGrabMargin() {
        const QRectF r(100, 100, 200, 100);
        QCOMPARE(hitTestHandle(r, {100, 100}), ResizeHandle::topLeft);
        QCOMPARE(hitTestHandle(r, {200, 96}), ResizeHandle::top);
        QCOMPARE(hitTestHandle(r, {305, 205}), ResizeHandle::bottomRight);
        // Inside the rectangle, 3 points from the left handle's square: still the handle.
        QCOMPARE(hitTestHandle(r, {109, 150}), ResizeHandle::left);
        QCOMPARE(hitTestHandle(r, {111, 150}), ResizeHandle::none);
        // Overlapping squares of a small rectangle: the first in order wins.
        QCOMPARE(hitTestHandle({0, 0, 10, 10}, {5, 5}), ResizeHandle::topLeft);
    }

    void resizeRules_data() {
        QTest::addColumn<ResizeHandle>("handle");
        QTest::addColumn<QPointF>("delta");
        QTest::addColumn<QRectF>("expected");
        // From (100, 100, 100, 80): right edge 200, bottom edge 180.
        QTest::newRow("grow bottom-right")
            << ResizeHandle::bottomRight << QPointF(10, 20) << QRectF(100, 100, 110, 100);
        QTest::newRow("grow top-left")
            << ResizeHandle::topLeft << QPointF(-10, -10) << QRectF(90, 90, 110, 90);
        QTest::newRow("right to minimum keeps x")
            << ResizeHandle::right << QPointF(-90, 0) << QRectF(100, 100, 20, 80);
        QTest::newRow("left to minimum keeps the right edge")
            << ResizeHandle::left << QPointF(90, 0) << QRectF(180, 100, 20, 80);
        QTest::newRow("top to minimum keeps the bottom edge")
            << ResizeHandle::top << QPointF(0, 70) << QRectF(100, 160, 100, 20);
        QTest::newRow("bottom to minimum keeps y")
            << ResizeHandle::bottom << QPointF(0, -70) << QRectF(100, 100, 100, 20);
        QTest::newRow("left past the right edge")
            << ResizeHandle::left << QPointF(150, 0) << QRectF(200, 100, 50, 80);
        QTest::newRow("bottom exactly 20 past the top")
            << ResizeHandle::bottom << QPointF(0, -100) << QRectF(100, 80, 100, 20);
        QTest::newRow("none") << ResizeHandle::none << QPointF(30, 30) << QRectF(100, 100, 100, 80);
    }

    void resizeRules() {
        QFETCH(ResizeHandle, handle);
        QFETCH(QPointF, delta);
        QFETCH(QRectF, expected);
        QCOMPARE(resizedRect({100, 100, 100, 80}, handle, delta), expected);
    }
};

QTEST_GUILESS_MAIN(TestRegionGeometry)

#include "test_region_geometry.moc"
