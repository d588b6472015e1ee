#include "shell/SettingsView.h"

#include "support/TestEnvironment.h"
#include "test_menu_bar_view_registry.h"

#include <QComboBox>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QScrollBar>
#include <QSlider>

using namespace oculo;
using oculo::test::childNamed;
using oculo::test::FakeWindowRegistry;
using oculo::test::labelWithText;

class TestSettingsView : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }

    void noWindowFormOpensWindows() {
        FakeWindowRegistry registry(0);
        SettingsView view(registry);
        QCOMPARE(view.sizeHint(), QSize(450, 400));
        auto* slider = childNamed<QSlider>(view, QStringLiteral("Default Zoom Level"));
        auto* count = childNamed<QLabel>(view, QStringLiteral("Open Windows"));
        QLabel* headline = labelWithText(view, QStringLiteral("No active magnifier window"));
        QVERIFY(headline);
        QVERIFY(headline->isVisibleTo(&view));
        QVERIFY(labelWithText(
            view,
            QStringLiteral("Open a magnifier window to adjust magnification and mode settings.")));
        QVERIFY(!slider->isVisibleTo(&view));
        QCOMPARE(count->text(), QStringLiteral("0"));

        view.findChild<QPushButton*>(QStringLiteral("noWindowNewWindowButton"))->click();
        QCOMPARE(registry.createCalls, 1);
        QVERIFY(!headline->isVisibleTo(&view));
        QVERIFY(slider->isVisibleTo(&view));
        QCOMPARE(count->text(), QStringLiteral("1"));

        view.findChild<QPushButton*>(QStringLiteral("windowsNewWindowButton"))->click();
        QCOMPARE(registry.createCalls, 2);
        QCOMPARE(count->text(), QStringLiteral("2"));
    }

    void pickerWritesTheModeDirectly() {
        FakeWindowRegistry registry;
        MagnifierState& state = *registry.activeState();
        SettingsView view(registry);
        auto* picker = childNamed<QComboBox>(view, QStringLiteral("Default Mode"));
        QCOMPARE(picker->currentText(), QStringLiteral("Follow Mouse"));

        picker->setCurrentIndex(picker->findText(QStringLiteral("Fixed Region")));
        QCOMPARE(state.mode(), MagnificationMode::fixedRegion);
        QVERIFY(!state.isSelectingRegion());
        QVERIFY(!state.fixedRegion());

        state.setMode(MagnificationMode::followMouse);
        QCOMPARE(picker->currentText(), QStringLiteral("Follow Mouse"));
    }

    void zoomSliderFollowsTheActiveWindow() {
        FakeWindowRegistry registry(2);
        SettingsView view(registry);
        auto* slider = childNamed<QSlider>(view, QStringLiteral("Default Zoom Level"));
        auto* text = childNamed<QLabel>(view, QStringLiteral("Zoom Level"));

        registry.activeState()->setZoomLevel(1.0);
        QCOMPARE(text->text(), QStringLiteral("1.0x"));
        slider->setValue(slider->value() + 1);
        QCOMPARE(registry.activeState()->zoomLevel(), 1.25);

        registry.activate(1);
        QCOMPARE(text->text(), QStringLiteral("2.0x"));
        slider->setValue(slider->maximum());
        QCOMPARE(registry.activeState()->zoomLevel(), 10.0);
        QCOMPARE(text->text(), QStringLiteral("10.0x"));
        registry.activate(0);
        QCOMPARE(text->text(), QLocale().toString(1.25, 'f', 1) + QLatin1Char('x'));
    }

    void everyControlHasAnAccessibleName() {
        FakeWindowRegistry registry;
        SettingsView view(registry);
        const auto controls = view.findChildren<QWidget*>();
        for (const QWidget* control : controls) {
            if (qobject_cast<const QAbstractButton*>(control) ||
                (qobject_cast<const QAbstractSlider*>(control) &&
                 !qobject_cast<const QScrollBar*>(control)) ||
                qobject_cast<const QComboBox*>(control)) {
                QVERIFY2(!control->accessibleName().isEmpty(), control->metaObject()->className());
            }
        }
    }
};

OCULO_TEST_MAIN(TestSettingsView)
#include "test_settings_view.moc"
