#include "views/ControlButton.h"
#include "views/MagnifierControlsView.h"
#include "views/MagnifierView.h"

#include "StateFixture.h"
#include "support/TestEnvironment.h"

#include <QAbstractScrollArea>
#include <QKeyEvent>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QSignalSpy>
#include <QSlider>
#include <QSpontaneKeyEvent>
#include <QWheelEvent>

#include <algorithm>
#include <functional>
#include <memory>

using namespace oculo;

namespace {

// Records the keys, other than modifiers, that the magnifier view passes on.
class KeyRecorder : public QWidget {
public:
    QList<int> keys;

protected:
    void keyPressEvent(QKeyEvent* event) override {
        if (event->key() < Qt::Key_Shift || event->key() > Qt::Key_Alt) {
            keys.append(event->key());
        }
    }
};

// A wheel turn sent to `target`; as the window system delivers it, it is
// passed on to the parents while nobody takes it.
void sendWheel(QWidget* target, QPoint angleDelta, bool spontaneous = false) {
    const QPointF inside(10, 10);
    QWheelEvent event(inside, target->mapToGlobal(inside), QPoint(), angleDelta, Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QSpontaneKeyEvent::setSpontaneous(&event);
    spontaneous ? qApp->notify(target, &event) : QApplication::sendEvent(target, &event);
}

// Every control of the strip, in the order of the design.
QList<QWidget*> stripControls(const MagnifierControlsView* strip) {
    return {strip->modeButton(),         strip->regionButton(),
            strip->zoomOutButton(),      strip->zoomSlider(),
            strip->zoomInButton(),       strip->zoomText(),
            strip->transparencySlider(), strip->transparencyText(),
            strip->keepActiveButton(),   strip->hideWhileMovingButton(),
            strip->stayInSpaceButton(),  strip->dockTopButton(),
            strip->dockBottomButton()};
}

QRect rectIn(const QWidget* widget, const QWidget* ancestor) {
    return QRect(widget->mapTo(ancestor, QPoint(0, 0)), widget->size());
}

// Where the user can see `control` now: inside the strip's material, which is
// inside the view.
bool fullyShown(QWidget* control, MagnifierView* view) {
    const QRect strip = view->controls()->geometry();
    const int padding = MagnifierControlsView::outerPadding;
    const QRect area = rectIn(control, view);
    return control->isVisibleTo(view) && !area.isEmpty() && view->rect().contains(strip) &&
           strip.marginsRemoved(QMargins(padding, padding, padding, padding)).contains(area);
}

// Rows read left to right, top to bottom: each control is right of the one
// before in the same row, or starts below it.
QString orderFault(const QList<QWidget*>& controls, const QWidget* view) {
    for (int i = 1; i < controls.size(); ++i) {
        const QRect before = rectIn(controls.at(i - 1), view);
        const QRect after = rectIn(controls.at(i), view);
        const bool sameRow = after.top() < before.bottom() && before.top() < after.bottom();
        if (sameRow ? after.left() <= before.right() : after.top() <= before.bottom()) {
            return controls.at(i)->objectName();
        }
    }
    return {};
}

} // namespace

class TestMagnifierView : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<test::StateFixture> m_fixture;
    std::unique_ptr<KeyRecorder> m_parent;
    MagnifierView* m_view = nullptr;
    int m_settingsOpened = 0;

    MagnifierState& state() { return m_fixture->state; }
    MagnifierControlsView* controls() const { return m_view->controls(); }

private Q_SLOTS:
    void init() {
        m_fixture = std::make_unique<test::StateFixture>();
        m_parent = std::make_unique<KeyRecorder>();
        m_settingsOpened = 0;
        m_view = new MagnifierView(state(), m_parent.get());
        connect(m_view, &MagnifierView::openSystemSettingsRequested, this,
                [this] { ++m_settingsOpened; });
        m_parent->resize(400, 300);
        m_view->resize(400, 300);
    }

    void cleanup() {
        m_parent.reset();
        m_fixture.reset();
    }

    void wheelAndKeysZoomOneStepWithinBounds() {
        struct Step {
            double from;
            std::function<void()> input;
            double to;
        };
        const auto wheel = [this](int delta) { sendWheel(m_view, QPoint(0, delta)); };
        const QList<Step> steps{
            {9.9, [this] { sendWheel(m_view, QPoint(0, 120)); }, 10.0},
            {10.0, [this] { sendWheel(m_view, QPoint(0, 120)); }, 10.0},
            {1.1, [this] { sendWheel(m_view, QPoint(0, -120)); }, 1.0}, // one notch, one step
            {3.0, [this] { sendWheel(m_view, QPoint(120, 0)); }, 3.0},  // horizontal: no zoom
            {3.0, [this] { sendWheel(m_view, QPoint(0, 360)); }, 3.75}, // three notches at once
            // A touchpad's small deltas add up; turning back starts afresh.
            {3.0, [&] { wheel(60); }, 3.0},
            {3.0, [&] { wheel(60); }, 3.25},
            {3.0, [&] { wheel(100); }, 3.0},
            {3.0, [&] { wheel(-120); }, 2.75},
            {1.0, [&] { wheel(1 << 30); }, 10.0},
            {2.0, [this] { QTest::keyClick(m_view, Qt::Key_Equal); }, 2.25},
            {2.0, [this] { QTest::keyClick(m_view, Qt::Key_Plus, Qt::ShiftModifier); }, 2.25},
            {2.0, [this] { QTest::keyClick(m_view, Qt::Key_Underscore, Qt::ShiftModifier); }, 1.75},
            {2.0, [this] { QTest::keyClick(m_view, Qt::Key_Minus, Qt::ControlModifier); }, 1.75},
            {1.0, [this] { QTest::keyClick(m_view, Qt::Key_Minus); }, 1.0},
        };
        for (const Step& step : steps) {
            state().setZoomLevel(step.from);
            step.input();
            QCOMPARE(state().zoomLevel(), step.to);
        }
        // I steps the colour filter round, whatever the case.
        QList<ColorFilter> filters;
        for (const int key : {Qt::Key_I, Qt::Key_I, Qt::Key_I, Qt::Key_I}) {
            QTest::keyClick(m_view, key, filters.size() == 1 ? Qt::ShiftModifier : Qt::NoModifier);
            filters.append(state().colorFilter());
        }
        QCOMPARE(filters, (QList<ColorFilter>{ColorFilter::invertLightness, ColorFilter::invert,
                                              ColorFilter::grayscale, ColorFilter::none}));
        QCOMPARE(m_parent->keys, QList<int>());
        // Other keys pass on to the window.
        QTest::keyClick(m_view, Qt::Key_A);
        QTest::keyClick(m_view, Qt::Key_Left);
        QCOMPARE(m_parent->keys, (QList<int>{Qt::Key_A, Qt::Key_Left}));
    }

    void frameFillsTheViewCroppingTheWiderAxis() {
        // 200 x 100: red | green | yellow | blue in 50-pixel columns; the capture
        // delivers RGB32, older paths ARGB32, anything else must still draw.
        for (const QImage::Format format :
             {QImage::Format_RGB32, QImage::Format_ARGB32, QImage::Format_RGB888}) {
            QImage frame(200, 100, format);
            const QList<QColor> columns{Qt::red, Qt::green, Qt::yellow, Qt::blue};
            for (int x = 0; x < frame.width(); ++x) {
                for (int y = 0; y < frame.height(); ++y) {
                    frame.setPixelColor(x, y, columns.at(x / 50));
                }
            }
            state().setCurrentFrame(frame);
            m_view->resize(100, 100);

            QImage drawn(100, 100, QImage::Format_ARGB32);
            drawn.fill(Qt::black);
            m_view->render(&drawn, QPoint(), QRegion(), QWidget::DrawWindowBackground);

            // The middle half of the frame, scaled to the full height; no black bars.
            for (int y : {0, 50, 99}) {
                for (int x : {0, 49, 50, 99}) {
                    QCOMPARE(drawn.pixelColor(x, y), QColor(x < 50 ? Qt::green : Qt::yellow));
                }
            }
            state().setCurrentFrame(QImage());
        }

        QCOMPARE(MagnifierView::aspectFillSourceRect(QSize(200, 100), QSizeF(100, 100)),
                 QRectF(50, 0, 100, 100));
        QCOMPARE(MagnifierView::aspectFillSourceRect(QSize(100, 200), QSizeF(400, 200)),
                 QRectF(0, 75, 100, 50));
        QVERIFY(MagnifierView::aspectFillSourceRect(QSize(), QSizeF(10, 10)).isEmpty());
    }

    void placeholdersFollowPermissionAndFrame() {
        // Whether the permission and the no-capture placeholders show.
        const auto shown = [this] {
            return QList<bool>{m_view->permissionPlaceholder()->isVisibleTo(m_view),
                               m_view->noCapturePlaceholder()->isVisibleTo(m_view)};
        };
        state().setHasScreenRecordingPermission(false);
        QCOMPARE(shown(), (QList<bool>{true, false}));
        m_view->openSettingsButton()->click();
        QCOMPARE(m_settingsOpened, 1);
        // A refusal the user may take back: one sentence, and the button asks again.
        QSignalSpy askedAgain(m_view, &MagnifierView::askAgainRequested);
        m_view->setAskAgainReason(QStringLiteral("Refused."));
        const QWidget* page = m_view->permissionPlaceholder();
        QCOMPARE(page->findChild<QLabel*>(QStringLiteral("placeholderMessage"))->text(),
                 QStringLiteral("Refused."));
        QVERIFY(!page->findChild<QLabel*>(QStringLiteral("placeholderTitle"))->isVisibleTo(page));
        m_view->openSettingsButton()->click();
        m_view->setAskAgainReason({});
        m_view->openSettingsButton()->click();
        QCOMPARE(askedAgain.size(), 1);
        QCOMPARE(m_settingsOpened, 2);
        state().setHasScreenRecordingPermission(true);
        QCOMPARE(shown(), (QList<bool>{false, true}));
        QImage frame(20, 10, QImage::Format_ARGB32);
        frame.fill(Qt::white);
        state().setCurrentFrame(frame);
        QCOMPARE(shown(), (QList<bool>{false, false}));
        state().setCurrentFrame(QImage());
        QCOMPARE(shown(), (QList<bool>{false, true}));
    }

    // From the smallest window up, the strip wraps into rows centred at the
    // bottom, and where that is not enough the least needed controls give way:
    // nothing is cut off and nothing scrolls.
    void controlsFitEveryWindowSize() {
        m_parent->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_parent.get()));
        MagnifierControlsView* strip = m_view->controls();
        QVERIFY(strip->findChildren<QAbstractScrollArea*>().isEmpty());
        for (const int height : {200, 240, 300, 600}) {
            for (int width = 200; width <= 1000; width += 40) {
                m_view->resize(width, height);
                QList<QWidget*> shown = stripControls(strip);
                shown.removeIf([this](QWidget* control) { return !control->isVisibleTo(m_view); });
                const QByteArray size =
                    QByteArray::number(width) + " x " + QByteArray::number(height);
                QVERIFY2(
                    std::all_of(shown.cbegin(), shown.cend(),
                                [this](QWidget* control) { return fullyShown(control, m_view); }),
                    size);
                QVERIFY2(shown.contains(strip->zoomInButton()) &&
                             shown.contains(strip->zoomText()) &&
                             (shown.size() == 13 || width < 400 || height < 300),
                         size);
                QVERIFY2(orderFault(shown, m_view).isEmpty(),
                         size + orderFault(shown, m_view).toUtf8());
                QCOMPARE(strip->geometry().bottom(), m_view->rect().bottom());
                QCOMPARE(strip->geometry().center().x(), m_view->rect().center().x());
            }
        }
        // Wide: one row; the default window: two, the break between groups.
        m_view->resize(1000, 300);
        QCOMPARE(strip->rowCount(), 1);
        m_view->resize(400, 300);
        QCOMPARE(strip->rowCount(), 2);
        QVERIFY(rectIn(strip->transparencySlider(), m_view).top() >
                rectIn(strip->zoomText(), m_view).bottom());
        // The wheel over the strip still zooms.
        state().setZoomLevel(2.0);
        sendWheel(strip->zoomText(), QPoint(0, 120), true);
        QCOMPARE(state().zoomLevel(), 2.25);
    }

    void buttonsAreEnabledOnlyWhereTheyCanAct() {
        struct Case {
            const char* situation;
            std::function<void(MagnifierState&)> arrange;
            bool region, hideWhileMoving, dock;
        };
        const QList<Case> cases{
            {"follow mouse", [](MagnifierState&) {}, false, true, false},
            {"fixed mode, no region yet",
             [](MagnifierState& s) { s.setMode(MagnificationMode::fixedRegion); }, false, false,
             false},
            {"fixed region",
             [](MagnifierState& s) { s.completeRegionSelection(QRectF(10, 20, 300, 200)); }, true,
             false, false},
            {"stays in its space", [](MagnifierState& s) { s.setStayInCurrentSpace(true); }, false,
             true, true},
        };
        for (const Case& c : cases) {
            cleanup();
            init();
            c.arrange(state());
            QVERIFY2(controls()->regionButton()->isEnabled() == c.region, c.situation);
            QVERIFY2(controls()->hideWhileMovingButton()->isEnabled() == c.hideWhileMoving,
                     c.situation);
            QVERIFY2(controls()->dockTopButton()->isEnabled() == c.dock, c.situation);
            QVERIFY2(controls()->dockBottomButton()->isEnabled() == c.dock, c.situation);
            QCOMPARE(drawnOpacity(controls()->dockTopButton()), c.dock ? 1.0 : 0.5);
        }
        // Keeping the window active makes its transparency moot.
        state().setKeepWindowActive(true);
        QVERIFY(!controls()->transparencySlider()->isEnabled());
        QCOMPARE(drawnOpacity(controls()->transparencyGroup()), 0.5);
    }

    void buttonsChangeTheirSettingsBothWays() {
        struct Case {
            const char* button;
            ControlButton* (MagnifierControlsView::*control)() const;
            std::function<bool(const MagnifierState&)> isOn;
        };
        const QList<Case> cases{
            {"keep active", &MagnifierControlsView::keepActiveButton,
             &MagnifierState::keepWindowActive},
            {"hide while moving", &MagnifierControlsView::hideWhileMovingButton,
             &MagnifierState::hideWhileMoving},
            {"stay in space", &MagnifierControlsView::stayInSpaceButton,
             &MagnifierState::stayInCurrentSpace},
        };
        for (const Case& c : cases) {
            ControlButton* button = (controls()->*c.control)();
            button->click();
            QVERIFY2(c.isOn(state()) && button->isChecked(), c.button);
            button->click();
            QVERIFY2(!c.isOn(state()) && !button->isChecked(), c.button);
        }
        // A change made elsewhere shows here too.
        state().setStayInCurrentSpace(true);
        QVERIFY(controls()->stayInSpaceButton()->isChecked());

        // Docking: to an edge, straight to the other, and off again.
        controls()->dockBottomButton()->click();
        QCOMPARE(state().dockPosition(), DockPosition::bottom);
        controls()->dockTopButton()->click();
        QCOMPARE(state().dockPosition(), DockPosition::top);
        controls()->dockTopButton()->click();
        QCOMPARE(state().dockPosition(), DockPosition::none);

        // The mode button selects a region in follow-mouse mode and leaves a fixed region.
        controls()->modeButton()->click();
        QVERIFY(state().isSelectingRegion());
        QCOMPARE(state().mode(), MagnificationMode::followMouse);
        state().completeRegionSelection(QRectF(10, 20, 300, 200));
        controls()->regionButton()->click();
        QVERIFY(state().isAdjustingRegion());
        controls()->modeButton()->click();
        QCOMPARE(state().mode(), MagnificationMode::followMouse);
    }

    void zoomAndTransparencyControlsStayWithinBounds() {
        QLocale::setDefault(QLocale::c());
        state().setZoomLevel(1.0);
        QVERIFY(!controls()->zoomOutButton()->isEnabled());
        state().setZoomLevel(9.9);
        controls()->zoomInButton()->click();
        QCOMPARE(state().zoomLevel(), 10.0);
        QVERIFY(!controls()->zoomInButton()->isEnabled());
        QCOMPARE(controls()->zoomSlider()->value(), controls()->zoomSlider()->maximum());
        controls()->zoomSlider()->setValue(10); // 10 quarter steps above 1.0
        QCOMPARE(state().zoomLevel(), 2.5);
        QCOMPARE(controls()->zoomText()->text(), QStringLiteral("2.5"));

        // The transparency readout truncates, so 0.29 never reads as 29.
        state().setWindowTransparency(0.29);
        QCOMPARE(controls()->transparencyText()->text(), QStringLiteral("28"));
        controls()->transparencySlider()->setValue(550);
        QCOMPARE(state().windowTransparency(), 0.55);
    }

    // One sweep for people who use the keyboard or a screen reader.
    void everyControlIsNamedReachableAndDrawn() {
        state().setStayInCurrentSpace(true);
        const QList<ControlButton*> buttons = controls()->findChildren<ControlButton*>();
        QCOMPARE(buttons.size(), 9);
        for (ControlButton* button : buttons) {
            const QByteArray name = button->objectName().toLatin1();
            QVERIFY2(!button->accessibleName().isEmpty(), name.constData());
            QCOMPARE(button->accessibleDescription(), button->toolTip());
            // Drawn: some pixels inked, but not the whole square.
            const QImage alpha =
                button->icon().pixmap(16, 16).toImage().convertToFormat(QImage::Format_Alpha8);
            const auto inked =
                std::count_if(alpha.constBits(), alpha.constBits() + alpha.sizeInBytes(),
                              [](uchar a) { return a > 0; });
            QVERIFY2(inked > 0 && inked < alpha.sizeInBytes(), name.constData());
        }
        for (QSlider* slider : {controls()->zoomSlider(), controls()->transparencySlider()}) {
            QVERIFY(!slider->accessibleName().isEmpty());
        }

        // Return, Enter and Space press the focused button.
        state().setZoomLevel(2.0);
        QTest::keyClick(controls()->zoomInButton(), Qt::Key_Return);
        QTest::keyClick(controls()->zoomInButton(), Qt::Key_Enter);
        QTest::keyClick(controls()->zoomOutButton(), Qt::Key_Space);
        QCOMPARE(state().zoomLevel(), 2.25);

        // Tab reaches every control.
        m_parent->show();
        m_parent->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_parent.get()));
        controls()->modeButton()->setFocus();
        QList<QWidget*> reached{controls()->modeButton()};
        for (int i = 0; i < 20; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            if (!reached.contains(QApplication::focusWidget())) {
                reached.append(QApplication::focusWidget());
            }
        }
        for (QWidget* control : buttons) {
            QVERIFY2(!control->isEnabled() || reached.contains(control),
                     control->objectName().toLatin1().constData());
        }
        QVERIFY(reached.contains(controls()->zoomSlider()));
    }
};

OCULO_TEST_MAIN(TestMagnifierView)
#include "test_magnifier_view.moc"
