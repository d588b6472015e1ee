#include "RealControllerParts.h"
#include "capture/MagnifierCapture.h"
#include "capture/ScreenCaptureService.h"
#include "platform/x11/X11CaptureBackend.h"
#include "state/MagnifierState.h"
#include "support/TestEnvironment.h"
#include "support/X11TestSupport.h"
#include "window/MagnifierWindowController.h"

#include <QSignalSpy>
#include <qcoro/qcorotask.h>

using namespace oculo;

namespace {

// The real backend, with a record of the displays it was asked to capture.
class RecordingBackend final : public CaptureBackend {
public:
    std::unique_ptr<CaptureStream>
    createStream(const DisplayInfo& display, const CaptureConfiguration& configuration) override {
        requested.append(display.name);
        return m_backend.createStream(display, configuration);
    }

    QStringList requested;

private:
    X11CaptureBackend m_backend;
};

QColor topLeftColor(const QImage& frame) {
    return frame.isNull() ? QColor() : test::pixelColor(frame, 0, 0);
}

} // namespace

class TestMagnifierWindowControllerX11 : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void followsThePointerOntoTheOtherMonitor() {
        test::ScopedMonitors monitors(
            {{"LEFT", QRect(0, 0, 1440, 900), true}, {"RIGHT", QRect(1440, 0, 1440, 900), false}});
        QVERIFY(monitors.isValid());

        // Distinct colours under the pointer on each monitor.
        test::PatternWindow red(QRect(800, 400, 400, 400));
        red.setSolidColor(Qt::red);
        test::PatternWindow green(QRect(2000, 300, 400, 400));
        green.setSolidColor(Qt::green);
        red.show();
        green.show();
        QVERIFY(QTest::qWaitForWindowExposed(&red));
        QVERIFY(QTest::qWaitForWindowExposed(&green));

        test::RealControllerParts parts;
        RecordingBackend backend;
        QCOMPARE(parts.displayManager.displays().size(), 2);

        test::movePointer(QPoint(1000, 600));
        MouseTracker& tracker = parts.tracker;
        tracker.startTracking();
        MagnifierWindowController controller(tracker, parts.displayManager, parts.permissionManager,
                                             backend, parts.store, nullptr);
        controller.state().setWindowFrame(QRectF(50, 50, 400, 330));
        controller.setup();
        QCoro::waitFor(controller.startCapture());
        QCOMPARE(backend.requested, QStringList{QStringLiteral("LEFT")});
        QVERIFY(controller.screenCaptureService().isCapturing());
        QTRY_COMPARE_WITH_TIMEOUT(topLeftColor(controller.state().currentFrame()), QColor(Qt::red),
                                  5000);

        QSignalSpy capturing(&controller.screenCaptureService(),
                             &ScreenCaptureService::isCapturingChanged);
        // Without the tracker's own samples, the stream that follows the
        // pointer tells when it leaves the monitor.
        tracker.stopTracking();
        test::movePointer(QPoint(2200, 450));
        QTRY_COMPARE_WITH_TIMEOUT(backend.requested.size(), 2, 5000);
        test::movePointer(QPoint(2250, 470));
        test::movePointer(QPoint(2300, 500));
        QTRY_COMPARE_WITH_TIMEOUT(topLeftColor(controller.state().currentFrame()),
                                  QColor(Qt::green), 5000);
        QTest::qWait(300);

        // One stop and one start, on the right monitor; later moves are
        // followed by the stream itself.
        QCOMPARE(backend.requested, (QStringList{QStringLiteral("LEFT"), QStringLiteral("RIGHT")}));
        QCOMPARE(capturing.count(), 2);
        QCOMPARE(capturing.at(0).at(0).toBool(), false);
        QCOMPARE(capturing.at(1).at(0).toBool(), true);
        QCOMPARE(controller.capture().currentCaptureDisplay()->name, QStringLiteral("RIGHT"));
        const auto configuration = controller.screenCaptureService().currentConfiguration();
        QVERIFY(configuration);
        QVERIFY(configuration->followsPointer);
        QCOMPARE(configuration->sourceRect.size(), QSizeF(200, 165));

        controller.close();
        QTRY_VERIFY(!controller.screenCaptureService().isCapturing());
        // The stream is deleted later on the event loop; before its backend goes.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
};

// A screen wide enough for two side-by-side 1440 x 900 monitors.
int main(int argc, char** argv) {
    oculo::test::isolateUserFiles();
    oculo::test::useIsolatedXServer(false, 2880, 900);
    QApplication app(argc, argv);
    TestMagnifierWindowControllerX11 tc;
    return QTest::qExec(&tc, argc, argv);
}

#include "test_magnifier_window_controller_x11.moc"
