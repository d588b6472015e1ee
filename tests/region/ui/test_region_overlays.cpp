// The overlay views driven by synthetic mouse and key events, and the
// orchestration that opens them for a magnifier and closes them again.
#include "app/ApplicationCore.h"
#include "capture/ScreenCaptureService.h"
#include "region/ui/RegionOverlayCoordinator.h"
#include "region/ui/RegionOverlayViews.h"
#include "region/ui/RegionSelectionWindow.h"
#include "shell/AppDelegate.h"
#include "state/MagnifierState.h"
#include "support/TestEnvironment.h"
#include "support/fakes/FakeServices.h"
#include "window/FloatingPanel.h"
#include "window/MagnifierWindowController.h"

#include <QGuiApplication>
#include <QMouseEvent>

using namespace oculo;

namespace {

// An overlay on a monitor left of and above the primary one.
const QPointF overlayOrigin(-1280, -200);

void sendMouse(QWidget& view, QEvent::Type type, QPointF position, Qt::MouseButtons buttons) {
    QMouseEvent event(type, position, view.mapToGlobal(position), Qt::LeftButton, buttons,
                      Qt::NoModifier);
    QCoreApplication::sendEvent(&view, &event);
}

void drag(QWidget& view, QPointF from, QPointF to, bool release = true) {
    sendMouse(view, QEvent::MouseButtonPress, from, Qt::LeftButton);
    sendMouse(view, QEvent::MouseMove, (from + to) / 2, Qt::LeftButton);
    sendMouse(view, QEvent::MouseMove, to, Qt::LeftButton);
    if (release) {
        sendMouse(view, QEvent::MouseButtonRelease, to, Qt::NoButton);
    }
}

void sendEscape(QObject& receiver) {
    QKeyEvent event(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QCoreApplication::sendEvent(&receiver, &event);
}

} // namespace

class TestRegionOverlays : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void selectionCommitsOnlyARealDrag() {
        test::FakeServices services;
        MagnifierState state(services.store);
        struct Case {
            QPointF from, to;
            std::optional<QRectF> stored;
        };
        const QRectF expected(100 - 1280, 40 - 200, 10.5, 10.5);
        const QList<Case> cases{
            {{50, 50}, {50, 50}, std::nullopt},   // a click without movement
            {{50, 50}, {60, 350}, std::nullopt},  // 10 x 300
            {{100, 40}, {110.5, 50.5}, expected}, // 10.5 x 10.5
            {{110.5, 50.5}, {100, 40}, expected}, // the other way round
        };
        for (const Case& c : cases) {
            state.setFixedRegion(std::nullopt);
            state.setIsSelectingRegion(true);
            RegionSelectionView view(state, overlayOrigin);
            view.resize(800, 600);
            drag(view, c.from, c.to, false);
            QCOMPARE(view.selection(), region::normalizedRect(c.from, c.to));
            QTest::keyClick(&view, Qt::Key_Return); // does not commit
            QVERIFY(state.isSelectingRegion());
            sendMouse(view, QEvent::MouseButtonRelease, c.to, Qt::NoButton);
            QVERIFY(!view.selection());
            QVERIFY(!state.isSelectingRegion());
            QCOMPARE(state.fixedRegion(), c.stored);
        }
        QCOMPARE(state.mode(), MagnificationMode::fixedRegion);
        state.setIsSelectingRegion(true);
        QTest::keyClick(std::make_unique<RegionSelectionView>(state, overlayOrigin).get(),
                        Qt::Key_Escape);
        QVERIFY(!state.isSelectingRegion());
        QCOMPARE(state.fixedRegion(), expected);
    }

    void adjustmentMovesResizesConfirmsAndCancels() {
        test::FakeServices services;
        MagnifierState state(services.store);
        // Fractions that a round trip through the overlay's coordinates could change.
        const QRectF stored(-1000.3, 40.7, 300.1, 200.3);
        state.setFixedRegion(stored);
        const auto adjust = [&state] {
            state.setIsAdjustingRegion(true);
            auto view = std::make_unique<RegionAdjustmentView>(state, overlayOrigin);
            view->resize(1280, 1024);
            return view;
        };

        // Return with no change stores exactly the region it started from.
        auto view = adjust();
        QCOMPARE(view->currentRect(), stored.translated(-overlayOrigin));
        QTest::keyClick(view.get(), Qt::Key_Return);
        QVERIFY(!state.isAdjustingRegion());
        QCOMPARE(state.fixedRegion(), stored);

        // Escape after a move leaves it unchanged.
        view = adjust();
        const QRectF local = view->currentRect();
        drag(*view, local.center(), local.center() + QPointF(40, 10));
        QCOMPARE(view->currentRect(), local.translated(40, 10));
        QTest::keyClick(view.get(), Qt::Key_Escape);
        QVERIFY(!state.isAdjustingRegion());
        QCOMPARE(state.fixedRegion(), stored);

        // A press inside the rectangle but near the left handle resizes.
        view = adjust();
        const QPointF nearLeft(local.left() + 8, local.center().y());
        drag(*view, nearLeft, nearLeft + QPointF(30, 50), false);
        QCOMPARE(view->activeHandle(), ResizeHandle::left);
        sendMouse(*view, QEvent::MouseButtonRelease, nearLeft + QPointF(30, 50), Qt::NoButton);
        QTest::keyClick(view.get(), Qt::Key_Enter); // the keypad's Enter does not confirm
        QVERIFY(state.isAdjustingRegion());
        QTest::keyClick(view.get(), Qt::Key_Return);
        QCOMPARE(state.fixedRegion(), stored.adjusted(30, 0, 0, 0));
    }

    void overlaysOpenHideTheMagnifierAndCloseAgain() {
        test::FakeServices services;
        services.pointer.setPosition({1000, 200});
        AppDelegate delegate(services.tracker, services.displayManager, services.permissionManager,
                             services.backend, services.store);
        ApplicationCore core(services.tracker, services.displayManager, services.permissionManager,
                             delegate);
        delegate.follow(core);
        core.applicationDidFinishLaunching();
        QTRY_COMPARE(core.windowCount(), 1);
        MagnifierWindowController& controller = *delegate.windowControllers().first();
        MagnifierState& state = controller.state();
        const QPointer<FloatingPanel> panel = controller.panel();
        RegionOverlayCoordinator& overlays = delegate.regionOverlays();
        const auto screenCount = QGuiApplication::screens().size();

        // Selecting: the magnifier hides, every screen is covered; Escape ends
        // it even where no overlay has the keyboard.
        QWidget elsewhere;
        state.setIsSelectingRegion(true);
        QTRY_COMPARE(overlays.regionSelectionWindows().size(), screenCount);
        QVERIFY(!panel->isVisible());
        sendEscape(elsewhere);
        QVERIFY(!state.isSelectingRegion());
        QTRY_VERIFY(overlays.regionSelectionWindows().isEmpty());
        QTRY_VERIFY(panel->isVisible());

        // Escape no longer belongs to the closed selection: the adjustment
        // overlay gets it, and only there.
        state.completeRegionSelection({500, 300, 200, 100});
        state.startRegionAdjustment();
        QTRY_COMPARE(overlays.regionAdjustmentWindows().size(), screenCount);
        QVERIFY(!panel->isVisible());
        sendEscape(elsewhere);
        QVERIFY(state.isAdjustingRegion());
        sendEscape(*overlays.regionAdjustmentWindows().first()->content());
        QVERIFY(!state.isAdjustingRegion());
        QTRY_VERIFY(overlays.regionAdjustmentWindows().isEmpty());
        QTRY_VERIFY(panel->isVisible());

        // Adjusting without a region is refused.
        state.setFixedRegion(std::nullopt);
        state.setIsAdjustingRegion(true);
        QTRY_VERIFY(!state.isAdjustingRegion());
        QVERIFY(overlays.regionAdjustmentWindows().isEmpty());

        // The capture follows the region and the mode at once; waiting for the
        // last move also lets its coalescing end before the window goes.
        const auto captureCentre = [&controller] {
            const auto configuration = controller.screenCaptureService().currentConfiguration();
            return configuration ? configuration->sourceRect.center() : QPointF();
        };
        state.setFixedRegion(QRectF(500, 300, 200, 100));
        QTRY_COMPARE(captureCentre(), QPointF(600, 350));
        state.setMode(MagnificationMode::followMouse);
        QTRY_COMPARE(captureCentre(), QPointF(1000, 200));
    }

    // Where windows cannot be placed, every screen gets a full-screen overlay
    // drawn from the backend's last picture of its display.
    void withoutPlacementEachScreenGetsAFullScreenOverlay() {
        test::FakeServices services;
        services.backend.displayFrame = QImage(64, 36, QImage::Format_RGB32);
        services.backend.displayFrame.fill(Qt::red);
        AppDelegate delegate(services.tracker, services.displayManager, services.permissionManager,
                             services.backend, services.store);
        delegate.setWindowingLimits(WindowingLimits::wayland());
        ApplicationCore core(services.tracker, services.displayManager, services.permissionManager,
                             delegate);
        delegate.follow(core);
        core.applicationDidFinishLaunching();
        QTRY_COMPARE(core.windowCount(), 1);
        delegate.windowControllers().first()->state().setIsSelectingRegion(true);
        QTRY_COMPARE(delegate.regionOverlays().regionSelectionWindows().size(),
                     QGuiApplication::screens().size());
        for (RegionSelectionWindow* window : delegate.regionOverlays().regionSelectionWindows()) {
            QTRY_VERIFY(window->isFullScreen());
            const QColor drawn = window->content()->grab().toImage().pixelColor(5, 5);
            QVERIFY2(drawn.red() > 0 && drawn.green() == 0 && drawn.blue() == 0,
                     qPrintable(drawn.name()));
        }
    }
};

OCULO_TEST_MAIN(TestRegionOverlays)

#include "test_region_overlays.moc"
