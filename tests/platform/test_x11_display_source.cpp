#include "X11TestSupport.h"
#include "platform/x11/X11CaptureStream.h"
#include "platform/x11/X11DisplaySource.h"
#include "support/TestEnvironment.h"

#include <QSignalSpy>
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

        // A capture of the right monitor starts at its own top-left corner.
        test::PatternWindow window(QRect(1440, 0, 200, 100));
        window.setSolidColor(Qt::green);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QTest::qWait(100);
        CaptureConfiguration configuration;
        configuration.sourceRect = QRectF(0, 0, 100, 50);
        configuration.outputSize = QSize(200, 100);
        configuration.showsCursor = false;
        X11CaptureStream stream({}, result.displays[0], configuration);
        QSignalSpy frames(&stream, &CaptureStream::frameCaptured);
        QVERIFY(!stream.startNow());
        QTRY_VERIFY_WITH_TIMEOUT(!frames.isEmpty(), 5000);
        const QImage frame = frames.last().at(0).value<QImage>();
        QCOMPARE(test::pixelColor(frame, 0, 0), QColor(Qt::green));
        QCOMPARE(test::pixelColor(frame, 199, 99), QColor(Qt::green));
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
