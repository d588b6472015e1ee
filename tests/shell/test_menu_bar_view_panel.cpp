#include "shell/MenuBarView.h"
#include "shell/SettingsView.h"
#include "shell/TrayIcon.h"

#include "support/TestEnvironment.h"
#include "test_menu_bar_view_registry.h"

#include <QGuiApplication>
#include <QScreen>

using namespace oculo;
using oculo::test::childNamed;
using oculo::test::FakeWindowRegistry;

namespace {

QWidget* panelWindow() {
    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (window->findChild<MenuBarView*>()) {
            return window;
        }
    }
    return nullptr;
}

SettingsView* settingsWindow() {
    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (auto* settings = qobject_cast<SettingsView*>(window)) {
            return settings;
        }
    }
    return nullptr;
}

} // namespace

// The tray icon's popup panel: where it opens and how it hands over.
class TestMenuBarViewPanel : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void placesThePanelBesideItsAnchor() {
        const QRect screen(0, 0, 1440, 900);
        const QSize panel(260, 380);
        // Tray at the top right: below the icon, pulled left onto the screen.
        QCOMPARE(TrayIcon::panelFrame(panel, QRect(1410, 0, 24, 24), screen),
                 QRect(1180, 24, 260, 380));
        // Tray at the bottom: above the icon.
        QCOMPARE(TrayIcon::panelFrame(panel, QRect(20, 876, 24, 24), screen),
                 QRect(20, 496, 260, 380));
        // A point in the middle (right click on a magnifier): just below it.
        QCOMPARE(TrayIcon::panelFrame(panel, QRect(500, 300, 1, 1), screen),
                 QRect(500, 301, 260, 380));
        // No room above or below: kept inside the screen rather than cut off.
        QCOMPARE(TrayIcon::panelFrame(QSize(260, 880), QRect(100, 450, 1, 1), screen).top(), 20);
    }

    void panelOpensAndHandsOverToSettings() {
        FakeWindowRegistry registry;
        TrayIcon tray(registry);
        QScreen* screen = QGuiApplication::primaryScreen();
        const QRect available = screen->availableGeometry();

        tray.showPanelAt(available.bottomRight());
        QWidget* panel = panelWindow();
        QVERIFY(panel);
        QVERIFY(panel->isVisible());
        QVERIFY(available.contains(panel->frameGeometry()));

        childNamed(*panel, QStringLiteral("Settings…"))->click();
        QVERIFY(!panel->isVisible());
        SettingsView* settings = settingsWindow();
        QVERIFY(settings);
        QVERIFY(settings->isVisible());

        // Asking again reuses the one window.
        tray.openSettings();
        QCOMPARE(settingsWindow(), settings);
    }
};

OCULO_TEST_MAIN(TestMenuBarViewPanel)
#include "test_menu_bar_view_panel.moc"
