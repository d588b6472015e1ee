#include "capture/ScreenCaptureService.h"
#include "state/MagnifierState.h"
#include "support/TestEnvironment.h"
#include "support/fakes/FakeCaptureBackend.h"
#include "support/fakes/FakeServices.h"
#include "window/FloatingPanel.h"
#include "window/MagnifierWindowController.h"

#include <QGuiApplication>
#include <QScreen>
#include <QSignalSpy>
#include <qcoro/qcorotask.h>

#include <memory>

using namespace oculo;

namespace {

// Everything a controller is built from, with fakes for the platform.
struct Rig : oculo::test::FakeServices {
    Rig() { QCoro::waitFor(displayManager.refreshDisplays()); }

    std::unique_ptr<MagnifierWindowController> makeController(MagnifierState* copyFrom = nullptr) {
        return std::make_unique<MagnifierWindowController>(
            tracker, displayManager, permissionManager, backend, store, copyFrom);
    }

    void movePointer(QPointF position) {
        pointer.setPosition(position);
        tracker.pollMousePosition();
    }
};

const QRectF windowFrame(100, 100, 400, 330);

} // namespace

class TestMagnifierWindowController : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void copiesOnlyTheSharedSettings() {
        Rig rig;
        QTemporaryDir otherDir;
        SettingsStore otherStore(otherDir.filePath(QStringLiteral("settings.json")));
        MagnifierState source(otherStore);
        source.setZoomLevel(3.5);
        source.setWindowTransparency(0.6);
        source.setKeepWindowActive(true);
        source.setStayInCurrentSpace(true);
        source.setHideWhileMoving(true);
        source.setWindowFrame(QRectF(10, 20, 300, 300));
        source.completeRegionSelection(QRectF(5, 5, 100, 100));
        source.setDockPosition(DockPosition::bottom);
        source.setColorFilter(ColorFilter::invert);
        source.setSmoothing(Scaling::smooth);
        source.setCrosshair(true);
        source.setFollowFocus(false);

        auto controller = rig.makeController(&source);
        const MagnifierState& copy = controller->state();
        QCOMPARE(copy.zoomLevel(), 3.5);
        QCOMPARE(copy.mode(), MagnificationMode::fixedRegion);
        QCOMPARE(copy.windowTransparency(), 0.6);
        QVERIFY(copy.keepWindowActive() && copy.stayInCurrentSpace());
        QCOMPARE(copy.pictureOptions(),
                 (PictureOptions{ColorFilter::invert, Scaling::smooth, true}));
        QVERIFY(!copy.followFocus());
        // Not the window's own place, region, motion fading or docking.
        QVERIFY(!copy.hideWhileMoving() && !copy.windowFrame() && !copy.fixedRegion());
        QCOMPARE(copy.dockPosition(), DockPosition::none);
    }

    void placesTheWindowWhereItCanBeSeen() {
        Rig rig;
        FloatingPanel reference;
        const QRectF centred = reference.frame();

        // Saved somewhere no screen shows any more, or damaged: default placement.
        for (const QRectF& saved : {QRectF(5000, 5000, 400, 330), QRectF(100, 100, 0, 330)}) {
            auto controller = rig.makeController();
            controller->state().setWindowFrame(saved);
            controller->setup();
            const QRectF frame = controller->panel()->frame();
            QCOMPARE(frame.size(), centred.size());
            const double shift = frame.x() - centred.x();
            QCOMPARE(frame.y() - centred.y(), shift);
            QVERIFY2(shift >= 20 && shift <= 100, qPrintable(QString::number(shift)));
        }

        auto controller = rig.makeController();
        controller->state().setWindowFrame(windowFrame);
        controller->setup();
        QCOMPARE(controller->panel()->frame(), windowFrame);
        QVERIFY(controller->panel()->isVisible());

        // A second window from the same saved frame does not hide the first.
        auto second = rig.makeController();
        second->state().setWindowFrame(windowFrame);
        second->setup();
        const QPointF shift = second->panel()->frame().topLeft() - windowFrame.topLeft();
        QCOMPARE(shift.x(), shift.y());
        QVERIFY2(shift.x() >= 20 && shift.x() <= 100, qPrintable(QString::number(shift.x())));
        QCOMPARE(second->panel()->frame().size(), windowFrame.size());

        // Frames too large for the screen, or cascaded past its corner, open
        // wholly on it; the capture makes no more pixels than the window shows.
        const QRectF screen(QGuiApplication::primaryScreen()->availableGeometry());
        const QRectF savedFrames[] = {QRectF(0, 0, 1e9, 1e9), QRectF(100, 100, 3840, 2160),
                                      QRectF(screen.right() - 100, screen.bottom() - 50, 400, 330)};
        for (const QRectF& saved : savedFrames) {
            auto fitted = rig.makeController();
            fitted->state().setWindowFrame(saved);
            fitted->state().setZoomLevel(1.0);
            fitted->setup();
            const QRectF frame = fitted->panel()->frame();
            QVERIFY(screen.contains(frame));
            QCoro::waitFor(fitted->startCapture());
            const QSize output = fitted->screenCaptureService().currentConfiguration()->outputSize;
            QVERIFY(!output.isEmpty());
            QVERIFY(output.width() <= frame.width() && output.height() <= frame.height());
        }

        // Where windows cannot be placed only the size comes back, the stored
        // place stays for a session that can, and the window never fades.
        auto unplaced = rig.makeController();
        unplaced->setWindowingLimits(WindowingLimits::wayland());
        unplaced->state().setWindowFrame(QRectF(200, 150, 500, 360));
        unplaced->state().setHideWhileMoving(true);
        unplaced->setup();
        FloatingPanel* panel = unplaced->panel();
        QCOMPARE(panel->frame(), QRectF(centred.topLeft(), QSizeF(500, 360)));
        panel->setFrame(QRectF(0, 0, 450, 320));
        QTRY_COMPARE(unplaced->state().windowFrame(),
                     std::optional<QRectF>(QRectF(200, 150, 450, 320)));
        QVERIFY(!panel->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
        QVERIFY(!panel->motionBasedOpacity());
        panel->setInactiveAlpha(0.3);
        QCOMPARE(panel->windowOpacity(), FloatingPanel::activeAlpha);
    }

    void loopsCarryStateIntoWindowAndBack() {
        Rig rig;
        auto controller = rig.makeController();
        MagnifierState& state = controller->state();
        state.setWindowFrame(windowFrame);
        rig.movePointer({1000, 200});
        controller->setup();
        QCoro::waitFor(controller->startCapture());
        const QPointer<FloatingPanel> panel = controller->panel();

        state.setWindowTransparency(0.7);
        state.setKeepWindowActive(true);
        QTRY_COMPARE(panel->inactiveAlpha(), 0.7);
        QTRY_VERIFY(panel->keepActive());

        state.setHideWhileMoving(true);
        QTRY_VERIFY(panel->motionBasedOpacity());
        state.setMode(MagnificationMode::fixedRegion);
        QTRY_VERIFY(!panel->motionBasedOpacity());
        state.setMode(MagnificationMode::followMouse);

        // A window that shows on every desktop cannot stay docked.
        state.setStayInCurrentSpace(true);
        QTRY_VERIFY(panel->stayInCurrentSpace());
        state.setDockPosition(DockPosition::bottom);
        QTRY_COMPARE(controller->lastKnownDockPosition(), DockPosition::bottom);
        state.setStayInCurrentSpace(false);
        QTRY_COMPARE(state.dockPosition(), DockPosition::none);
        QTRY_COMPARE(controller->lastKnownDockPosition(), DockPosition::none);

        // Window moves are remembered; a new size reaches the capture.
        panel->setFrame(QRectF(150, 120, 804, 334));
        QTRY_COMPARE(state.windowFrame(), std::optional<QRectF>(QRectF(150, 120, 804, 334)));
        QTRY_COMPARE(rig.backend.lastStream()->configuration().sourceRect.size(),
                     QSizeF(800, 330) / state.zoomLevel());
    }

    void closesOnceWhicheverSideStartsIt() {
        Rig rig;
        rig.movePointer({1000, 200});
        for (const bool byUser : {true, false}) {
            auto controller = rig.makeController();
            QSignalSpy closes(controller.get(), &MagnifierWindowController::closed);
            controller->setup();
            QCoro::waitFor(controller->startCapture());
            const QPointer<FloatingPanel> panel = controller->panel();
            if (byUser) {
                panel->close(); // the window's close button
            } else {
                controller->close();
            }
            QTRY_VERIFY(!panel);
            controller->close();
            QCOMPARE(closes.count(), 1);
            QVERIFY(controller->isClosed() && !controller->panel());
            QTRY_COMPARE(rig.backend.runningStreamCount(), 0);
            // A closed window never captures again.
            QCoro::waitFor(controller->startCapture());
            QCOMPARE(rig.backend.runningStreamCount(), 0);
        }
        QCOMPARE(rig.backend.destroyedWhileRunningCount(), 0);
    }
};

OCULO_TEST_MAIN(TestMagnifierWindowController)
#include "test_magnifier_window_controller.moc"
