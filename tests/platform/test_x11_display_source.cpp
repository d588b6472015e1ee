#include "X11TestSupport.h"
#include "platform/x11/X11DisplaySource.h"
#include "support/TestEnvironment.h"

#include <QTest>
#include <qcoro/qcorotask.h>

using namespace oculo;

class X11DisplaySourceTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void listsTheWholeScreenAsOneDisplay() {
        const DisplayQueryResult result = QCoro::waitFor(X11DisplaySource().queryDisplays());
        QVERIFY(!result.error);
        QCOMPARE(result.displays.size(), 1);
        QCOMPARE(result.displays[0].frame, QRectF(0, 0, 2880, 900));
        QCOMPARE(result.displays[0].devicePixelRatio, 1.0);
        QVERIFY(result.displays[0].id != 0);
    }

    void listsEveryMonitorPrimaryFirst() {
        test::ScopedMonitors monitors(
            {{"LEFT", QRect(0, 0, 1440, 900), false}, {"RIGHT", QRect(1440, 0, 1440, 900), true}});
        QVERIFY(monitors.isValid());

        const DisplayQueryResult result = X11DisplaySource().queryDisplaysNow();
        QVERIFY(!result.error);
        QCOMPARE(result.displays.size(), 2);
        QCOMPARE(result.displays[0].name, QStringLiteral("RIGHT"));
        QCOMPARE(result.displays[0].id, monitors.atomOf("RIGHT"));
        QCOMPARE(result.displays[0].frame, QRectF(1440, 0, 1440, 900));
        QCOMPARE(result.displays[1].name, QStringLiteral("LEFT"));
        QCOMPARE(result.displays[1].frame, QRectF(0, 0, 1440, 900));
        // Capturing the right monitor is tested with the window controller on the real backend.
    }

    void unreachableServerMeansCaptureRefused() {
        const DisplayQueryResult result = X11DisplaySource(":9999").queryDisplaysNow();
        QVERIFY(result.displays.isEmpty());
        QVERIFY(result.error);
        QCOMPARE(result.error->kind, DisplayQueryError::Kind::CaptureRefused);
        QVERIFY(!result.error->description.isEmpty());
    }
};

// A screen wide enough for two side-by-side 1440 x 900 monitors.
int main(int argc, char** argv) {
    oculo::test::isolateUserFiles();
    oculo::test::useIsolatedXServer(false, 2880, 900);
    QApplication app(argc, argv);
    X11DisplaySourceTest tc;
    return QTest::qExec(&tc, argc, argv);
}

#include "test_x11_display_source.moc"
