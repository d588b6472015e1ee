#include "shell/MenuBarView.h"

#include "support/TestEnvironment.h"
#include "test_menu_bar_view_registry.h"

#include <QComboBox>
#include <QLabel>
#include <QLocale>
#include <QSignalSpy>
#include <QSlider>
#include <QToolButton>

using namespace oculo;
using oculo::test::childNamed;
using oculo::test::FakeWindowRegistry;
using oculo::test::labelWithText;

namespace {

bool shows(const QWidget& view, const QString& name) {
    const QWidget* row = childNamed<QWidget>(view, name);
    return row && row->isVisibleTo(&view);
}

} // namespace

class TestMenuBarView : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }

    void rowsFollowTheRegistry() {
        FakeWindowRegistry registry(0);
        MenuBarView view(registry);
        QSignalSpy settings(&view, &MenuBarView::settingsRequested);
        QSignalSpy dismissed(&view, &MenuBarView::dismissRequested);

        // Before the first window: only the rows that need no magnifier.
        QVERIFY(shows(view, QStringLiteral("New Magnifier Window")));
        QVERIFY(shows(view, QStringLiteral("Settings…")));
        QVERIFY(shows(view, QStringLiteral("Quit Oculo")));
        QVERIFY(!shows(view, QStringLiteral("Follow Mouse")));
        QVERIFY(!shows(view, QStringLiteral("Zoom Level")));

        childNamed(view, QStringLiteral("New Magnifier Window"))->click();
        QCOMPARE(registry.createCalls, 1);
        QVERIFY(shows(view, QStringLiteral("Follow Mouse")));
        QVERIFY(shows(view, QStringLiteral("Stay in Current Space")));
        // One window: no count line.
        const QLabel* single = labelWithText(view, QStringLiteral("1 windows open"));
        QVERIFY(!single || !single->isVisibleTo(&view));

        registry.addWindow();
        QLabel* count = labelWithText(view, QStringLiteral("2 windows open"));
        QVERIFY(count);
        QVERIFY(count->isVisibleTo(&view));

        QCOMPARE(childNamed(view, QStringLiteral("New Magnifier Window"))->shortcut(),
                 QKeySequence(Qt::CTRL | Qt::Key_N));
        QCOMPARE(childNamed(view, QStringLiteral("Settings…"))->shortcut(),
                 QKeySequence(Qt::CTRL | Qt::Key_Comma));
        QCOMPARE(childNamed(view, QStringLiteral("Quit Oculo"))->shortcut(),
                 QKeySequence(Qt::CTRL | Qt::Key_Q));
        childNamed(view, QStringLiteral("Settings…"))->click();
        QCOMPARE(settings.count(), 1);
        childNamed(view, QStringLiteral("Quit Oculo"))->click();
        QCOMPARE(registry.quitCalls, 1);
        QCOMPARE(dismissed.count(), 3);
    }

    void fixedRegionWithoutRegionStartsSelection() {
        FakeWindowRegistry registry;
        MagnifierState& state = *registry.activeState();
        MenuBarView view(registry);
        auto* fixedRow = childNamed(view, QStringLiteral("Fixed Region"));
        auto* followRow = childNamed(view, QStringLiteral("Follow Mouse"));
        QVERIFY(followRow->isChecked());
        QVERIFY(!fixedRow->isChecked());

        fixedRow->click();
        QVERIFY(state.isSelectingRegion());
        QCOMPARE(state.mode(), MagnificationMode::followMouse);
        // A click shows the model, never toggles on its own.
        QVERIFY(!fixedRow->isChecked());

        state.completeRegionSelection(QRectF(10, 20, 300, 200));
        QVERIFY(fixedRow->isChecked());
        QVERIFY(!followRow->isChecked());

        followRow->click();
        QCOMPARE(state.mode(), MagnificationMode::followMouse);
        // With a region stored the row switches straight back, no new selection.
        fixedRow->click();
        QCOMPARE(state.mode(), MagnificationMode::fixedRegion);
        QVERIFY(!state.isSelectingRegion());

        childNamed(view, QStringLiteral("Select New Region..."))->click();
        QVERIFY(state.isSelectingRegion());
    }

    void moveResizeNeedsARegion() {
        FakeWindowRegistry registry;
        MagnifierState& state = *registry.activeState();
        MenuBarView view(registry);
        auto* adjustRow = childNamed(view, QStringLiteral("Move/Resize Region..."));
        QVERIFY(!adjustRow->isEnabled());
        state.setFixedRegion(QRectF(0, 0, 100, 80));
        QVERIFY(adjustRow->isEnabled());
        adjustRow->click();
        QVERIFY(state.isAdjustingRegion());
    }

    void zoomRowStaysWithinBounds() {
        FakeWindowRegistry registry;
        MagnifierState& state = *registry.activeState();
        MenuBarView view(registry);
        auto* zoomOut = childNamed<QToolButton>(view, QStringLiteral("Zoom Out"));
        auto* zoomIn = childNamed<QToolButton>(view, QStringLiteral("Zoom In"));
        auto* slider = childNamed<QSlider>(view, QStringLiteral("Zoom Level"));
        auto* text = childNamed<QLabel>(view, QStringLiteral("Zoom Level"));

        state.setZoomLevel(1.0);
        QVERIFY(!zoomOut->isEnabled());
        QVERIFY(zoomIn->isEnabled());
        QCOMPARE(text->text(), QStringLiteral("1.0x"));
        state.setZoomLevel(10.0);
        QVERIFY(zoomOut->isEnabled());
        QVERIFY(!zoomIn->isEnabled());

        state.setZoomLevel(1.1);
        zoomOut->click();
        QCOMPARE(state.zoomLevel(), 1.0);

        slider->setValue(10); // ten steps of 0.25
        QCOMPARE(state.zoomLevel(), 2.5);
        QCOMPARE(text->text(), QStringLiteral("2.5x"));
        zoomIn->click();
        QCOMPARE(state.zoomLevel(), 2.75);
        QCOMPARE(slider->value(), 11);

        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        state.setZoomLevel(3.5);
        QCOMPARE(text->text(), QStringLiteral("3,5x"));
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    }

    void transparencyRowFollowsKeepWindowActive() {
        FakeWindowRegistry registry;
        MagnifierState& state = *registry.activeState();
        MenuBarView view(registry);
        auto* slider = childNamed<QSlider>(view, QStringLiteral("Transparency"));
        auto* text = childNamed<QLabel>(view, QStringLiteral("Transparency Level"));
        auto* keepRow = childNamed(view, QStringLiteral("Keep Window Active"));

        state.setWindowTransparency(0.29);
        QCOMPARE(text->text(), QStringLiteral("28%"));
        slider->setValue(555);
        QCOMPARE(state.windowTransparency(), 0.555);
        QCOMPARE(text->text(), QStringLiteral("55%"));

        QVERIFY(slider->isEnabled());
        keepRow->click();
        QVERIFY(state.keepWindowActive());
        QVERIFY(keepRow->isChecked());
        QVERIFY(!slider->isEnabled());
        keepRow->click();
        QVERIFY(!state.keepWindowActive());
        QVERIFY(slider->isEnabled());

        auto* stayRow = childNamed(view, QStringLiteral("Stay in Current Space"));
        stayRow->click();
        QVERIFY(state.stayInCurrentSpace());
        QVERIFY(stayRow->isChecked());
    }

    void followsTheActiveWindow() {
        FakeWindowRegistry registry(2);
        MenuBarView view(registry);
        auto* text = childNamed<QLabel>(view, QStringLiteral("Zoom Level"));
        registry.activeState()->setZoomLevel(4.0);
        registry.activate(1);
        QCOMPARE(text->text(), QStringLiteral("2.0x"));
        childNamed<QToolButton>(view, QStringLiteral("Zoom In"))->click();
        QCOMPARE(registry.activeState()->zoomLevel(), 2.25);

        // A state that goes away before the registry says so leaves no dangling row.
        registry.destroyActiveSilently();
        QVERIFY(!shows(view, QStringLiteral("Follow Mouse")));
        registry.activate(0);
        QVERIFY(shows(view, QStringLiteral("Follow Mouse")));
        QCOMPARE(text->text(), QStringLiteral("4.0x"));
    }

    void everyControlHasAnAccessibleName() {
        FakeWindowRegistry registry;
        MenuBarView view(registry);
        const auto controls = view.findChildren<QWidget*>();
        for (const QWidget* control : controls) {
            if (qobject_cast<const QAbstractButton*>(control) ||
                qobject_cast<const QAbstractSlider*>(control)) {
                QVERIFY2(!control->accessibleName().isEmpty(), control->metaObject()->className());
            }
        }
    }
};

OCULO_TEST_MAIN(TestMenuBarView)
#include "test_menu_bar_view.moc"
