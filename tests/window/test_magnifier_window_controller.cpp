#include "capture/ScreenCaptureService.h"
#include "state/MagnifierState.h"
#include "support/TestEnvironment.h"
#include "support/fakes/FakeCaptureBackend.h"
#include "support/fakes/FakeServices.h"
#include "support/fakes/StdoutCapture.h"
#include "window/FloatingPanel.h"
#include "window/MagnifierWindowController.h"

#include <QGuiApplication>
#include <QScreen>
#include <QSignalSpy>
#include <qcoro/qcorotask.h>

#include <memory>

using namespace oculo;
using oculo::test::CaptureEvent;
using oculo::test::FakeCaptureBackend;
using oculo::test::FakeDisplaySource;
using oculo::test::StdoutCapture;

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
    void captureRegionFollowsThePointerAcrossDisplays() {
        Rig rig;
        auto controller = rig.makeController();
        QVERIFY(!controller->calculateCaptureRegion().display); // before setup: no display yet
        controller->state().setWindowFrame(windowFrame);
        controller->setup();
        QCOMPARE(controller->panel()->frame(), windowFrame);

        // A 400 x 330 window, 396 x 326 inside its frame, at zoom 2: a 198 x 163
        // rectangle relative to its display.
        const auto primary = FakeDisplaySource::primary().id;
        const auto secondary = FakeDisplaySource::secondary().id;
        struct Case {
            QPointF pointer;
            QRectF rect;
            quint32 display;
        };
        for (const Case& c : {Case{{1000, 200}, {901, 118.5, 198, 163}, primary},
                              Case{{2000, 400}, {461, 318.5, 198, 163}, secondary},
                              // Outside every display: the primary, unclamped.
                              Case{{-500, 2000}, {-599, 1918.5, 198, 163}, primary}}) {
            rig.movePointer(c.pointer);
            const auto region = controller->calculateCaptureRegion();
            QCOMPARE(region.rect, c.rect);
            QCOMPARE(region.display->id, c.display);
        }

        // Fixed region: its centre, whatever the pointer does.
        controller->state().completeRegionSelection(QRectF(1500, 100, 200, 100));
        auto region = controller->calculateCaptureRegion();
        QCOMPARE(region.rect, QRectF(1600 - 1440 - 99, 150 - 81.5, 198, 163));
        QCOMPARE(region.display->id, secondary);

        // No display at all: the size at the origin.
        rig.displays.setDisplays({});
        QCoro::waitFor(rig.displayManager.refreshDisplays());
        region = controller->calculateCaptureRegion();
        QCOMPARE(region.rect, QRectF(0, 0, 198, 163));
        QVERIFY(!region.display);
    }

    void crossingToAnotherDisplayRestartsTheStreamOnce() {
        Rig rig;
        auto controller = rig.makeController();
        controller->state().setWindowFrame(windowFrame);
        rig.movePointer({1000, 200});
        controller->setup();
        QCoro::waitFor(controller->startCapture());
        QCOMPARE(rig.backend.runningStreamCount(), 1);
        QCOMPARE(controller->currentCaptureDisplay()->id, FakeDisplaySource::primary().id);
        QCOMPARE(rig.backend.lastStream()->configuration().sourceRect,
                 QRectF(901, 118.5, 198, 163));
        rig.backend.clearEvents();

        rig.movePointer({2000, 400});
        QTRY_COMPARE(rig.backend.events(CaptureEvent::Type::Started).size(), 1);
        rig.movePointer({2100, 450});
        rig.movePointer({2200, 500});
        QTRY_COMPARE(rig.backend.lastStream()->configuration().sourceRect,
                     QRectF(2200 - 1440 - 99, 500 - 81.5, 198, 163));

        QCOMPARE(rig.backend.events(CaptureEvent::Type::Stopped).size(), 1);
        const auto started = rig.backend.events(CaptureEvent::Type::Started);
        QCOMPARE(started.size(), 1);
        QCOMPARE(started.first().display.id, FakeDisplaySource::secondary().id);
        QCOMPARE(started.first().configuration.sourceRect, QRectF(461, 318.5, 198, 163));
        QVERIFY(!rig.backend.events(CaptureEvent::Type::Reconfigured).isEmpty());
        QCOMPARE(rig.backend.runningStreamCount(), 1);

        // And back, once more.
        rig.backend.clearEvents();
        rig.movePointer({700, 300});
        QTRY_COMPARE(rig.backend.events(CaptureEvent::Type::Started).size(), 1);
        QCOMPARE(rig.backend.events(CaptureEvent::Type::Stopped).size(), 1);
        QCOMPARE(controller->currentCaptureDisplay()->id, FakeDisplaySource::primary().id);

        // A fixed region stays put; the stream only hears that the pointer moved.
        controller->state().completeRegionSelection(QRectF(300, 200, 200, 100));
        QTRY_VERIFY(!controller->screenCaptureService().hasPendingRegionUpdate());
        rig.backend.clearEvents();
        rig.movePointer({800, 350});
        QTRY_COMPARE(rig.backend.pointerMoveCount(), 1);
        QVERIFY(rig.backend.events().isEmpty());
    }

    void failuresArePrintedWithTheirReason() {
        Rig rig;
        auto controller = rig.makeController();
        controller->state().setWindowFrame(windowFrame);
        controller->setup();

        rig.displays.setDisplays({});
        QCoro::waitFor(rig.displayManager.refreshDisplays());
        {
            StdoutCapture out;
            QCoro::waitFor(controller->startCapture());
            QCOMPARE(out.text(), QStringLiteral("No display available for capture\n"));
        }
        QCOMPARE(rig.backend.createdCount(), 0);

        rig.displays.setDisplays({FakeDisplaySource::primary(), FakeDisplaySource::secondary()});
        QCoro::waitFor(rig.displayManager.refreshDisplays());
        rig.backend.setStartError(QStringLiteral("the server said no"));
        {
            StdoutCapture out;
            QCoro::waitFor(controller->startCapture());
            QCOMPARE(out.text(), QStringLiteral("Failed to start capture: the server said no\n"));
        }
        {
            StdoutCapture out;
            rig.movePointer({2000, 400});
            QCoro::waitFor(controller->updateCaptureRegion());
            QCOMPARE(out.text(),
                     QStringLiteral("Failed to switch capture to display: the server said no\n"));
        }
        // The failed display stays current: no retry loop.
        QCOMPARE(controller->currentCaptureDisplay()->id, FakeDisplaySource::secondary().id);

        // A stream failing on its own leaves the placeholder, not a frozen
        // picture, and the next rectangle update starts a new one.
        rig.backend.setStartError(std::nullopt);
        QCoro::waitFor(controller->restartCapture());
        rig.backend.lastStream()->emitFrame();
        QTRY_VERIFY(!controller->state().currentFrame().isNull());
        const StdoutCapture out;
        rig.backend.lastStream()->emitFailure(QStringLiteral("the display went away"));
        QTRY_VERIFY(controller->state().currentFrame().isNull());
        rig.movePointer({2010, 400});
        QTRY_COMPARE(rig.backend.runningStreamCount(), 1);
    }

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

        auto controller = rig.makeController(&source);
        const MagnifierState& copy = controller->state();
        QCOMPARE(copy.zoomLevel(), 3.5);
        QCOMPARE(copy.mode(), MagnificationMode::fixedRegion);
        QCOMPARE(copy.windowTransparency(), 0.6);
        QVERIFY(copy.keepWindowActive() && copy.stayInCurrentSpace());
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

        // Zooming recomputes the rectangle.
        state.setZoomLevel(4.0);
        QTRY_COMPARE(rig.backend.lastStream()->configuration().sourceRect.size(), QSizeF(99, 81.5));

        // Pointer positions reach the state only in follow-mouse mode.
        rig.movePointer({1010, 210});
        QTRY_COMPARE(state.mouseLocation(), QPointF(1010, 210));
        state.setMode(MagnificationMode::fixedRegion);
        rig.movePointer({1020, 220});
        QTest::qWait(50);
        QCOMPARE(state.mouseLocation(), QPointF(1010, 210));

        // Frames reach the state; a stop's empty frame keeps the last picture.
        rig.backend.lastStream()->emitFrame(Qt::green);
        QTRY_VERIFY(!state.currentFrame().isNull());
        QCoro::waitFor(controller->screenCaptureService().stopCapture());
        QTest::qWait(20);
        QVERIFY(!state.currentFrame().isNull());

        // Window moves are remembered.
        panel->setFrame(QRectF(150, 120, 400, 330));
        QTRY_COMPARE(state.windowFrame(), std::optional<QRectF>(QRectF(150, 120, 400, 330)));
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
