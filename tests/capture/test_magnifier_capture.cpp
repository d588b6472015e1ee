#include "capture/MagnifierCapture.h"

#include "capture/FocusFollower.h"
#include "capture/ScreenCaptureService.h"
#include "platform/FocusFilter.h"
#include "state/MagnifierState.h"
#include "support/TestEnvironment.h"
#include "support/fakes/FakeServices.h"
#include "support/fakes/StdoutCapture.h"

#include <qcoro/qcorotask.h>

using namespace oculo;
using oculo::test::CaptureEvent;
using oculo::test::FakeDisplaySource;
using oculo::test::StdoutCapture;
using namespace std::chrono_literals;

namespace {

// One window's capture, with fakes for the platform.
struct Rig : oculo::test::FakeServices {
    Rig() { QCoro::waitFor(displayManager.refreshDisplays()); }

    // A 400 x 330 window frame, 396 x 326 inside it.
    void openWindow() {
        capture.setWindowSize(QSizeF(396, 326), QSize(396, 326));
        capture.startObserving();
    }

    void movePointer(QPointF position) {
        pointer.setPosition(position);
        tracker.pollMousePosition();
    }

    MagnifierState state{store};
    MagnifierCapture capture{state, tracker, displayManager, backend, QSizeF(400, 300)};
};

// Reports whatever the test hands it, and whether anyone listens.
struct FakeFocusSource : FocusSource {
    void setWatched(bool watched) override { isWatched = watched; }
    bool isWatched = false;
};

} // namespace

class TestMagnifierCapture : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void captureRegionFollowsThePointerAcrossDisplays() {
        Rig rig;
        MagnifierCapture& capture = rig.capture;
        // No window yet: its default size, on no display.
        QCOMPARE(capture.calculateCaptureRegion().rect, QRectF(0, 0, 400, 300));
        QVERIFY(!capture.calculateCaptureRegion().display);
        rig.openWindow();

        // 396 x 326 at zoom 2: a 198 x 163 rectangle relative to its display.
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
            const auto region = capture.calculateCaptureRegion();
            QCOMPARE(region.rect, c.rect);
            QCOMPARE(region.display->id, c.display);
        }

        // Fixed region: its centre, whatever the pointer does.
        rig.state.completeRegionSelection(QRectF(1500, 100, 200, 100));
        auto region = capture.calculateCaptureRegion();
        QCOMPARE(region.rect, QRectF(1600 - 1440 - 99, 150 - 81.5, 198, 163));
        QCOMPARE(region.display->id, secondary);

        // No display at all: the size at the origin.
        rig.displays.setDisplays({});
        QCoro::waitFor(rig.displayManager.refreshDisplays());
        region = capture.calculateCaptureRegion();
        QCOMPARE(region.rect, QRectF(0, 0, 198, 163));
        QVERIFY(!region.display);
    }

    void crossingToAnotherDisplayRestartsTheStreamOnce() {
        Rig rig;
        MagnifierCapture& capture = rig.capture;
        rig.movePointer({1000, 200});
        rig.openWindow();
        QCoro::waitFor(capture.startCapture());
        QCOMPARE(rig.backend.runningStreamCount(), 1);
        QCOMPARE(capture.currentCaptureDisplay()->id, FakeDisplaySource::primary().id);
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
        QCOMPARE(capture.currentCaptureDisplay()->id, FakeDisplaySource::primary().id);

        // A fixed region stays put; the stream only hears that the pointer
        // moved, and the state keeps the last followed position.
        rig.state.completeRegionSelection(QRectF(300, 200, 200, 100));
        QTRY_VERIFY(!capture.screenCaptureService().hasPendingRegionUpdate());
        rig.backend.clearEvents();
        rig.movePointer({800, 350});
        QTRY_COMPARE(rig.backend.pointerMoveCount(), 1);
        QVERIFY(rig.backend.events().isEmpty());
        QCOMPARE(rig.state.mouseLocation(), QPointF(700, 300));

        // Zooming recomputes the rectangle.
        rig.state.setZoomLevel(4.0);
        QTRY_COMPARE(rig.backend.lastStream()->configuration().sourceRect.size(), QSizeF(99, 81.5));

        // Picture settings reach the running stream at once, with the pointer
        // at rest and the rectangle kept, and a restarted stream starts with them.
        QTRY_VERIFY(!capture.screenCaptureService().hasPendingRegionUpdate());
        rig.backend.clearEvents();
        const PictureOptions picture{ColorFilter::invert, Scaling::smooth, true};
        rig.state.setColorFilter(ColorFilter::invert);
        rig.state.setSmoothing(Scaling::smooth);
        rig.state.setCrosshair(true);
        const auto reconfigured = rig.backend.events(CaptureEvent::Type::Reconfigured);
        QCOMPARE(reconfigured.size(), 3);
        QCOMPARE(reconfigured.last().configuration.picture, picture);
        QCOMPARE(reconfigured.last().configuration.sourceRect.size(), QSizeF(99, 81.5));
        QCoro::waitFor(capture.restartCapture());
        QCOMPARE(rig.backend.events(CaptureEvent::Type::Started).last().configuration.picture,
                 picture);

        // Frames reach the state; a stop's empty frame keeps the last picture.
        rig.backend.lastStream()->emitFrame(Qt::green);
        QTRY_VERIFY(!rig.state.currentFrame().isNull());
        QCoro::waitFor(capture.screenCaptureService().stopCapture());
        QCoreApplication::processEvents();
        QVERIFY(!rig.state.currentFrame().isNull());
    }

    void keyboardLeadsOnlyFromAPointerAtRest() {
        std::chrono::milliseconds now{10'000};
        FakeFocusSource source;
        oculo::test::FakeServices services;
        QCoro::waitFor(services.displayManager.refreshDisplays());
        FocusFollower follower(&source, services.tracker, nullptr, [&] { return now; });
        MagnifierState state(services.store);
        MagnifierCapture capture(state, services.tracker, services.displayManager, services.backend,
                                 QSizeF(400, 300));
        capture.setFocusFollower(&follower);
        capture.setWindowSize(QSizeF(396, 326), QSize(396, 326));
        capture.startObserving();
        QVERIFY(source.isWatched);
        const auto centre = [&capture] {
            const auto region = capture.calculateCaptureRegion();
            return region.rect.center() + region.display->frame.topLeft();
        };
        const auto pointTo = [&services](QPointF position) {
            services.pointer.setPosition(position);
            services.tracker.pollMousePosition();
        };
        const QRectF caret(2000, 300, 2, 16);
        const auto type = [&] { Q_EMIT source.focusMoved(caret, FocusSource::Kind::caret); };

        pointTo({1000, 200});
        now += FocusFollower::pointerRest - 1ms;
        type();
        QCOMPARE(centre(), QPointF(1000, 200));
        now += 1ms;
        type();
        // On the caret's display, and the stream no longer keeps to the pointer.
        QCOMPARE(centre(), caret.center());
        QCoro::waitFor(capture.startCapture());
        QCOMPARE(capture.currentCaptureDisplay()->id, FakeDisplaySource::secondary().id);
        QVERIFY(!services.backend.lastStream()->configuration().followsPointer);
        pointTo({1010, 200});
        QCOMPARE(centre(), QPointF(1010, 200));
    }

    void focusFilterFollowsOnlyWhatTheUserDoes() {
        using T = FocusEvent::Type;
        using V = FocusVerdict;
        const V bad = V::implausibleExtents;
        const QRectF box(100, 100, 7, 14);
        const QRectF field(10, 10, 300, 30);
        const double nan = std::numeric_limits<double>::quiet_NaN();
        // Each case turns one flag of a followed event around, or none.
        enum Flip { none, focused, showing, visible, collapsed, active, oculo, sameText, unmoved };
        struct Case {
            const char* name;
            T type;
            QRectF extents;
            Flip flip;
            V verdict;
        };
        const QList<Case> cases{
            {"caret", T::caret, box, none, V::follow},
            {"caret after the last character", T::caret, {100, 100, 0, 14}, none, V::follow},
            {"focused control", T::focus, field, none, V::follow},
            {"item of a focused list", T::activeDescendant, box, none, V::follow},
            {"Oculo's own", T::focus, field, oculo, V::fromOculo},
            {"inactive window", T::caret, box, active, V::background},
            {"not focused", T::focus, field, focused, V::background},
            {"caret of another text", T::caret, box, sameText, V::background},
            {"text changing by itself", T::caret, box, unmoved, V::background},
            {"not showing", T::focus, field, showing, V::hidden},
            {"not visible", T::caret, box, visible, V::hidden},
            {"collapsed menu", T::focus, field, collapsed, V::collapsedMenu},
            {"0 x 0 caret", T::caret, {100, 100, 0, 0}, none, bad},
            {"0 x 0 control", T::focus, {10, 10, 0, 0}, none, bad},
            {"caret taller than text", T::caret, {100, 100, 7, 401}, none, bad},
            {"caret wider than text", T::caret, {100, 100, 401, 14}, none, bad},
            {"sentinel position", T::focus, {-2147483648.0, 0, 9, 9}, none, bad},
            {"not a number", T::caret, {nan, 0, 7, 14}, none, bad},
        };
        for (const Case& c : cases) {
            FocusEvent event{c.type, true, true, true, false, true, false, true, false, c.extents};
            bool* const flags[] = {
                nullptr,          &event.focused,           &event.showing,
                &event.visible,   &event.collapsedMenu,     &event.inActiveWindow,
                &event.fromOculo, &event.fromFocusedObject, &event.caretUnmoved};
            if (c.flip != none) {
                *flags[c.flip] = !*flags[c.flip];
            }
            QVERIFY2(judgeFocusEvent(event) == c.verdict, c.name);
        }
    }

    void failuresArePrintedWithTheirReason() {
        Rig rig;
        MagnifierCapture& capture = rig.capture;
        rig.openWindow();

        rig.displays.setDisplays({});
        QCoro::waitFor(rig.displayManager.refreshDisplays());
        {
            StdoutCapture out;
            QCoro::waitFor(capture.startCapture());
            QCOMPARE(out.text(), QStringLiteral("No display available for capture\n"));
        }
        QCOMPARE(rig.backend.createdCount(), 0);

        rig.displays.setDisplays({FakeDisplaySource::primary(), FakeDisplaySource::secondary()});
        QCoro::waitFor(rig.displayManager.refreshDisplays());
        rig.backend.setStartError(QStringLiteral("the server said no"));
        {
            StdoutCapture out;
            QCoro::waitFor(capture.startCapture());
            QCOMPARE(out.text(), QStringLiteral("Failed to start capture: the server said no\n"));
        }
        {
            StdoutCapture out;
            rig.movePointer({2000, 400});
            QCoro::waitFor(capture.updateCaptureRegion());
            QCOMPARE(out.text(),
                     QStringLiteral("Failed to switch capture to display: the server said no\n"));
        }
        // The failed display stays current: no retry loop.
        QCOMPARE(capture.currentCaptureDisplay()->id, FakeDisplaySource::secondary().id);

        // A stream failing on its own leaves the placeholder, not a frozen
        // picture, and the next rectangle update starts a new one.
        rig.backend.setStartError(std::nullopt);
        QCoro::waitFor(capture.restartCapture());
        rig.backend.lastStream()->emitFrame();
        QTRY_VERIFY(!rig.state.currentFrame().isNull());
        const StdoutCapture out;
        rig.backend.lastStream()->emitFailure(QStringLiteral("the display went away"));
        QTRY_VERIFY(rig.state.currentFrame().isNull());
        rig.movePointer({2010, 400});
        QTRY_COMPARE(rig.backend.runningStreamCount(), 1);
    }
};

OCULO_TEST_MAIN(TestMagnifierCapture)
#include "test_magnifier_capture.moc"
