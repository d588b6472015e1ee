// The picture a magnifier window really shows, read back from the X server:
// over a pattern whose colours name their own screen position, every window
// pixel must show the screen pixel that magnifying the fixed region by the
// zoom puts there.
#include "RealControllerParts.h"
#include "X11Probe.h"
#include "capture/ScreenCaptureService.h"
#include "platform/x11/X11CaptureBackend.h"
#include "state/MagnifierState.h"
#include "support/TestEnvironment.h"
#include "support/X11TestSupport.h"
#include "views/ControlButton.h"
#include "views/MagnifierControlsView.h"
#include "views/MagnifierView.h"
#include "window/FloatingPanel.h"
#include "window/MagnifierWindowController.h"

#include <QLabel>
#include <qcoro/qcorotask.h>

#include <cmath>
#include <utility>

using namespace oculo;

namespace {

constexpr int timeoutMs = 10000;
const QRect patternArea(40, 40, 640, 560);
const QPointF regionCentre(300, 300);
const QRect windowFrame(900, 500, 400, 300);
const QPoint parkedPointer(1400, 80);

// Red and green are x and y modulo 256, blue holds their high bits.
QRgb colourOf(QPoint p) {
    return qRgb(p.x() & 0xff, p.y() & 0xff, (p.x() >> 8) << 4 | (p.y() >> 8));
}

QImage positionPattern(const QRect& area) {
    QImage image(area.size(), QImage::Format_RGB32);
    for (int y = 0; y < area.height(); ++y) {
        for (int x = 0; x < area.width(); ++x) {
            image.setPixel(x, y, colourOf(area.topLeft() + QPoint(x, y)));
        }
    }
    return image;
}

QPoint positionOf(QRgb colour) {
    return {(qBlue(colour) >> 4) << 8 | qRed(colour), (qBlue(colour) & 0xf) << 8 | qGreen(colour)};
}

// The screen pixel that `pixel` of a window of `size` shows at `zoom`.
std::pair<int, int> expectedPosition(const QSize& size, double zoom, QPoint pixel) {
    const auto at = [zoom](double centre, int extent, int i) {
        return int(std::floor(centre - extent / (2 * zoom) + (i + 0.5) / zoom));
    };
    return {at(regionCentre.x(), size.width(), pixel.x()),
            at(regionCentre.y(), size.height(), pixel.y())};
}

// Empty when rows [0, rows) of `shown` each show the screen pixel under the
// centre of their cell in the source rectangle (`shown`'s size over `zoom`,
// centred on the region), give or take one; as every column and row is
// checked, a wrong scale or offset fails at the edges.
QString mismatch(const QImage& shown, const QSize& size, double zoom, int rows) {
    if (shown.size() != size) {
        return QStringLiteral("grabbed %1x%2").arg(shown.width()).arg(shown.height());
    }
    for (int y = 0; y < rows; ++y) {
        for (int x = 0; x < shown.width(); ++x) {
            const QPoint seen = positionOf(shown.pixel(x, y));
            const auto [ex, ey] = expectedPosition(size, zoom, QPoint(x, y));
            if (std::abs(seen.x() - ex) > 1 || std::abs(seen.y() - ey) > 1) {
                return QString::asprintf(
                    "zoom %g: window pixel (%d, %d) shows (%d, %d), not (%d, %d)", zoom, x, y,
                    seen.x(), seen.y(), ex, ey);
            }
        }
    }
    return {};
}

} // namespace

class TestMagnifiedPictureX11 : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void windowShowsTheMagnifiedRegion() {
        probe::X11Probe probe;
        QVERIFY(probe.isConnected());
        test::movePointer(parkedPointer);
        const QImage pattern = positionPattern(patternArea);
        QLabel patternWindow;
        patternWindow.setPixmap(QPixmap::fromImage(pattern));
        patternWindow.setGeometry(patternArea);
        patternWindow.show();
        QTRY_COMPARE_WITH_TIMEOUT(probe.grab(patternArea), pattern, timeoutMs);

        test::RealControllerParts parts;
        X11CaptureBackend backend;
        MagnifierWindowController controller(parts.tracker, parts.displayManager,
                                             parts.permissionManager, backend, parts.store,
                                             nullptr);
        MagnifierState& state = controller.state();
        state.setMode(MagnificationMode::fixedRegion);
        state.setFixedRegion(QRectF(regionCentre - QPointF(50, 50), QSizeF(100, 100)));
        state.setWindowFrame(QRectF(windowFrame));
        controller.setup();
        QCoro::waitFor(controller.startCapture());
        auto* view = qobject_cast<MagnifierView*>(controller.panel()->content());
        QVERIFY(view != nullptr);
        const QWidget* surface = view->findChild<QWidget*>(QStringLiteral("pictureSurface"));
        QVERIFY(surface != nullptr);

        // A new window shows its controls until the pointer has been over it
        // once. On a loaded machine a first pass now and then brings no leave
        // event, so the pointer passes over again, as a user's would.
        const auto passOver = [&] {
            test::movePointer(windowFrame.center());
            if (!QTest::qWaitFor([&] { return view->underMouse(); }, timeoutMs)) {
                return false;
            }
            test::movePointer(parkedPointer);
            return QTest::qWaitFor([&] { return !view->controlsShown(); }, timeoutMs / 3);
        };
        QVERIFY(passOver() || passOver() || passOver());
        const uint32_t window = static_cast<uint32_t>(controller.panel()->winId());
        QCOMPARE(probe.rootGeometry(window), windowFrame);

        QString error;
        const auto showsRegion = [&](double zoom, int rows, const QRect& frame = windowFrame) {
            error = mismatch(probe.grab(frame), frame.size(), zoom, rows);
            return error.isEmpty();
        };
        // Drawn into the native surface by the capture thread.
        for (const double zoom : {1.0, 2.0, 3.5}) {
            state.setZoomLevel(zoom);
            QTRY_VERIFY2_WITH_TIMEOUT(showsRegion(zoom, windowFrame.height()), qPrintable(error),
                                      timeoutMs);
            QVERIFY(surface->isVisible());
        }
        // A resized, then moved window shows the region anew at its new size.
        for (const QRect& frame : {QRect(900, 500, 320, 240), QRect(860, 460, 320, 240)}) {
            controller.panel()->setFrame(QRectF(frame));
            QTRY_VERIFY2_WITH_TIMEOUT(showsRegion(3.5, frame.height(), frame), qPrintable(error),
                                      timeoutMs);
        }
        controller.panel()->setFrame(QRectF(windowFrame));

        // The controls shown, the capture thread still draws the picture and lays
        // the strip over it: inside the strip's dark translucent material the
        // picture shows dimmed. A new zoom, so a picture left over cannot pass.
        test::movePointer(windowFrame.center());
        QTRY_VERIFY_WITH_TIMEOUT(view->controls()->isVisible(), timeoutMs);
        state.setZoomLevel(2.0);
        QTRY_VERIFY2_WITH_TIMEOUT(showsRegion(2.0, view->controls()->y()), qPrintable(error),
                                  timeoutMs);
        QVERIFY(surface->isVisible());
        const QRect strip = view->controls()->geometry();
        const QPoint inMaterial(strip.x() + MagnifierControlsView::outerPadding + 4,
                                strip.center().y());
        const auto [px, py] = expectedPosition(windowFrame.size(), 2.0, inMaterial);
        const QRgb under = colourOf(QPoint(px, py));
        const QRgb seen =
            probe.grab(QRect(windowFrame.topLeft() + inMaterial, QSize(1, 1))).pixel(0, 0);
        const QRgb material = qRgb(21, 21, 22); // (28, 28, 30) at 190/255, premultiplied
        for (const int shift : {16, 8, 0}) {
            const auto channel = [shift](QRgb colour) { return int(colour >> shift & 0xff); };
            QVERIFY2(std::abs(channel(seen) - channel(material) - channel(under) * 65 / 255) <= 3,
                     qPrintable(QString::number(seen, 16)));
        }
        // The strip takes clicks through the surface, and a change to it alone
        // shows on a still screen.
        probe.click(view->controls()->zoomInButton()->mapToGlobal(QPoint(8, 8)));
        QTRY_COMPARE_WITH_TIMEOUT(state.zoomLevel(), 2.25, timeoutMs);
        QTRY_VERIFY2_WITH_TIMEOUT(showsRegion(2.25, view->controls()->y()), qPrintable(error),
                                  timeoutMs);
        const QRect toggle(view->controls()->stayInSpaceButton()->mapToGlobal(QPoint(0, 0)),
                           view->controls()->stayInSpaceButton()->size());
        const QImage before = probe.grab(toggle);
        state.setStayInCurrentSpace(!state.stayInCurrentSpace());
        QTRY_VERIFY_WITH_TIMEOUT(probe.grab(toggle) != before, timeoutMs);
        // Sliding away over the still screen, the strip leaves the picture whole.
        test::movePointer(parkedPointer);
        QTRY_VERIFY2_WITH_TIMEOUT(showsRegion(2.25, windowFrame.height()), qPrintable(error),
                                  timeoutMs);
        QVERIFY(surface->isVisible());

        controller.close();
        QTRY_VERIFY_WITH_TIMEOUT(!controller.screenCaptureService().isCapturing(), timeoutMs);
        // The stream is deleted later on the event loop; before its backend goes.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
};

OCULO_X11_TEST_MAIN(TestMagnifiedPictureX11, false)

#include "test_magnified_picture_x11.moc"
