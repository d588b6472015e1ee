// The tray panel, its placement and the settings window, driven through their
// rows as a user would, against a registry of bare states.

#include "app/AutostartEntry.h"
#include "app/WindowRegistry.h"
#include "shell/MenuBarView.h"
#include "shell/SettingsView.h"
#include "shell/SystemSettingsSections.h"
#include "shell/TrayIcon.h"
#include "state/MagnifierState.h"
#include "state/SettingsStore.h"
#include "support/TestEnvironment.h"
#include "views/ControlButton.h"
#include "views/MagnifierControlsView.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QSignalSpy>
#include <QSlider>
#include <QTemporaryDir>
#include <QToolButton>

#include <algorithm>
#include <memory>
#include <vector>

using namespace oculo;

namespace {

// Counts the calls the shell views make; no windows, no capture.
class FakeWindowRegistry : public WindowRegistry {
public:
    explicit FakeWindowRegistry(int windows = 1)
        : m_store(m_dir.filePath(QStringLiteral("settings.json"))) {
        for (int i = 0; i < windows; ++i) {
            addWindow();
        }
    }

    int windowCount() const override { return static_cast<int>(m_states.size()); }
    MagnifierState* activeState() const override {
        return m_active < m_states.size() ? m_states[m_active].get() : nullptr;
    }
    void createNewWindow() override {
        ++createCalls;
        addWindow();
    }
    void bringWindowsBack() override { ++bringBackCalls; }
    void quit() override { ++quitCalls; }

    void addWindow() {
        m_states.push_back(std::make_unique<MagnifierState>(m_store));
        Q_EMIT windowsChanged();
    }
    void activate(std::size_t index) {
        m_active = index;
        Q_EMIT windowsChanged();
    }
    // Drops the active state before telling anyone, as a window torn down
    // first and reported afterwards would.
    void destroyActiveSilently() { m_states.erase(m_states.begin() + static_cast<long>(m_active)); }

    int createCalls = 0;
    int bringBackCalls = 0;
    int quitCalls = 0;

private:
    QTemporaryDir m_dir;
    SettingsStore m_store;
    std::vector<std::unique_ptr<MagnifierState>> m_states;
    std::size_t m_active = 0;
};

template <typename T = QAbstractButton>
T* childNamed(const QWidget& parent, const QString& accessibleName) {
    const QList<T*> children = parent.findChildren<T*>();
    const auto named = [&](T* child) { return child->accessibleName() == accessibleName; };
    const auto found = std::find_if(children.cbegin(), children.cend(), named);
    return found == children.cend() ? nullptr : *found;
}

bool shows(const QWidget& view, const QString& name) {
    const QWidget* row = childNamed<QWidget>(view, name);
    return row && row->isVisibleTo(&view);
}

bool showsText(const QWidget& view, const QString& text) {
    const QList<QLabel*> labels = view.findChildren<QLabel*>();
    return std::any_of(labels.cbegin(), labels.cend(), [&](QLabel* label) {
        return label->text() == text && label->isVisibleTo(&view);
    });
}

// The shown top-level window that is, or holds, a T.
template <typename T>
T* shown() {
    for (QWidget* window : QApplication::topLevelWidgets()) {
        T* found = qobject_cast<T*>(window) ? qobject_cast<T*>(window) : window->findChild<T*>();
        if (found && window->isVisible()) {
            return found;
        }
    }
    return nullptr;
}

} // namespace

class TestShellViews : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init() { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }

    void panelRowsFollowTheRegistry() {
        FakeWindowRegistry registry(0);
        MenuBarView view(registry);
        QSignalSpy settings(&view, &MenuBarView::settingsRequested);

        // Before the first window: only the rows that need no magnifier.
        QVERIFY(shows(view, QStringLiteral("Quit Oculo")));
        QVERIFY(!shows(view, QStringLiteral("Follow Mouse")));
        QVERIFY(!shows(view, QStringLiteral("Zoom Level")));

        childNamed(view, QStringLiteral("New Magnifier Window"))->click();
        QCOMPARE(registry.createCalls, 1);
        QVERIFY(shows(view, QStringLiteral("Follow Mouse")));
        QVERIFY(!showsText(view, QStringLiteral("1 windows open")));
        registry.addWindow();
        QVERIFY(showsText(view, QStringLiteral("2 windows open")));

        childNamed(view, QStringLiteral("Settings…"))->click();
        QCOMPARE(settings.count(), 1);
        childNamed(view, QStringLiteral("Quit Oculo"))->click();
        QCOMPARE(registry.quitCalls, 1);
    }

    void rowsSelectARegionOnlyWhenNoneExistsAndStayWithinBounds() {
        FakeWindowRegistry registry;
        MagnifierState& state = *registry.activeState();
        MenuBarView view(registry);
        auto* fixedRow = childNamed(view, QStringLiteral("Fixed Region"));
        auto* followRow = childNamed(view, QStringLiteral("Follow Mouse"));
        auto* adjustRow = childNamed(view, QStringLiteral("Move/Resize Region..."));
        QVERIFY(!adjustRow->isEnabled());

        fixedRow->click();
        QVERIFY(state.isSelectingRegion());
        QCOMPARE(state.mode(), MagnificationMode::followMouse);
        QVERIFY2(!fixedRow->isChecked(), "a click shows the model, never toggles on its own");

        state.completeRegionSelection(QRectF(10, 20, 300, 200));
        QVERIFY(fixedRow->isChecked() && !followRow->isChecked());
        QVERIFY(adjustRow->isEnabled());
        followRow->click();
        QCOMPARE(state.mode(), MagnificationMode::followMouse);
        // With a region stored the row switches straight back, no new selection.
        fixedRow->click();
        QCOMPARE(state.mode(), MagnificationMode::fixedRegion);
        QVERIFY(!state.isSelectingRegion());

        childNamed(view, QStringLiteral("Select New Region..."))->click();
        QVERIFY(state.isSelectingRegion());
        adjustRow->click();
        QVERIFY(state.isAdjustingRegion());

        // Zoom and transparency rows stay within bounds.
        auto* zoomOut = childNamed<QToolButton>(view, QStringLiteral("Zoom Out"));
        auto* zoomIn = childNamed<QToolButton>(view, QStringLiteral("Zoom In"));
        auto* zoomSlider = childNamed<QSlider>(view, QStringLiteral("Zoom Level"));
        auto* zoomText = childNamed<QLabel>(view, QStringLiteral("Zoom Level"));

        state.setZoomLevel(10.0);
        QVERIFY(zoomOut->isEnabled() && !zoomIn->isEnabled());
        state.setZoomLevel(1.1);
        zoomOut->click();
        QCOMPARE(state.zoomLevel(), 1.0);
        QVERIFY(!zoomOut->isEnabled());
        zoomSlider->setValue(10); // ten steps of 0.25
        QCOMPARE(state.zoomLevel(), 2.5);
        QCOMPARE(zoomText->text(), QStringLiteral("2.5x"));
        zoomIn->click();
        QCOMPARE(zoomSlider->value(), 11);
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        state.setZoomLevel(3.5);
        QCOMPARE(zoomText->text(), QStringLiteral("3,5x"));

        auto* alphaSlider = childNamed<QSlider>(view, QStringLiteral("Transparency"));
        auto* alphaText = childNamed<QLabel>(view, QStringLiteral("Transparency Level"));
        state.setWindowTransparency(0.29);
        QCOMPARE(alphaText->text(), QStringLiteral("28%"));
        alphaSlider->setValue(555);
        QCOMPARE(state.windowTransparency(), 0.555);

        // Toggle rows write their setting; keeping the window active makes its transparency moot.
        auto* keepRow = childNamed(view, QStringLiteral("Keep Window Active"));
        keepRow->click();
        QVERIFY(state.keepWindowActive() && keepRow->isChecked());
        QVERIFY(!alphaSlider->isEnabled());
        keepRow->click();
        QVERIFY(!state.keepWindowActive() && alphaSlider->isEnabled());
        childNamed(view, QStringLiteral("Stay in Current Space"))->click();
        QVERIFY(state.stayInCurrentSpace());
        // Following the keyboard belongs to follow-mouse alone.
        auto* followFocusRow = childNamed(view, QStringLiteral("Follow Keyboard Focus"));
        state.setMode(MagnificationMode::fixedRegion);
        QVERIFY(!followFocusRow->isEnabled());
        state.setMode(MagnificationMode::followMouse);
        followFocusRow->click();
        QVERIFY(!state.followFocus() && !followFocusRow->isChecked());

        // One filter row checked at a time, following the state either way.
        auto* invertRow = childNamed(view, QStringLiteral("Invert Colors"));
        invertRow->click();
        QCOMPARE(state.colorFilter(), ColorFilter::invert);
        QVERIFY(invertRow->isChecked() &&
                !childNamed(view, QStringLiteral("No Filter"))->isChecked());
        state.cycleColorFilter();
        QVERIFY(!invertRow->isChecked() &&
                childNamed(view, QStringLiteral("Grayscale"))->isChecked());
        for (const char* name : {"Smooth Scaling", "Crosshair"}) {
            childNamed(view, QLatin1String(name))->click();
        }
        QCOMPARE(state.pictureOptions(),
                 (PictureOptions{ColorFilter::grayscale, Scaling::smooth, true}));
        QVERIFY(childNamed(view, QStringLiteral("Crosshair"))->isChecked());
        childNamed(view, QStringLiteral("Smooth Scaling"))->click();
        QCOMPARE(state.smoothing(), Scaling::pixels);
    }

    void panelAndSettingsAreNamedAndFollowTheActiveWindow() {
        FakeWindowRegistry registry(2);
        MenuBarView panel(registry);
        SettingsView settings(registry);
        auto* panelText = childNamed<QLabel>(panel, QStringLiteral("Zoom Level"));
        auto* settingsText = childNamed<QLabel>(settings, QStringLiteral("Zoom Level"));
        auto* settingsSlider = childNamed<QSlider>(settings, QStringLiteral("Default Zoom Level"));
        // Screen readers need a name on every control of both views.
        for (const QWidget* view :
             {static_cast<QWidget*>(&panel), static_cast<QWidget*>(&settings)}) {
            for (const QWidget* control : view->findChildren<QWidget*>()) {
                if (qobject_cast<const QAbstractButton*>(control) ||
                    (qobject_cast<const QAbstractSlider*>(control) &&
                     !qobject_cast<const QScrollBar*>(control)) ||
                    qobject_cast<const QComboBox*>(control)) {
                    QVERIFY2(!control->accessibleName().isEmpty(),
                             control->metaObject()->className());
                }
            }
        }
        registry.activeState()->setZoomLevel(4.0);
        registry.activate(1);
        QCOMPARE(panelText->text(), QStringLiteral("2.0x"));
        QCOMPARE(settingsText->text(), QStringLiteral("2.0x"));
        childNamed<QToolButton>(panel, QStringLiteral("Zoom In"))->click();
        settingsSlider->setValue(settingsSlider->value() + 1);
        QCOMPARE(registry.activeState()->zoomLevel(), 2.5);

        // A state that goes away before the registry says so leaves no dangling row.
        registry.destroyActiveSilently();
        QVERIFY(!shows(panel, QStringLiteral("Follow Mouse")));
        registry.activate(0);
        QCOMPARE(panelText->text(), QStringLiteral("4.0x"));
        QCOMPARE(settingsText->text(), QStringLiteral("4.0x"));
    }

    // What the windowing system cannot do is disabled wherever it is offered
    // and says why; the state refuses it from any other path too.
    void forbiddenControlsAreDisabledWithTheReason() {
        struct Case {
            WindowingLimits limits;
            QString followReason;
            bool follow, opacity, desktops;
        };
        const QList<Case> cases{
            {WindowingLimits::unlimited(), {}, true, true, true},
            {WindowingLimits::wayland(), {}, true, false, false},
            {WindowingLimits::unlimited(), QStringLiteral("No pointer here."), false, true, true},
        };
        for (const Case& c : cases) {
            FakeWindowRegistry registry;
            MagnifierState& state = *registry.activeState();
            state.setStayInCurrentSpace(true);
            state.setWindowingLimits(c.limits);
            state.setFollowUnavailableReason(c.followReason);
            MenuBarView panel(registry);
            SettingsView settings(registry);
            MagnifierControlsView strip(state);
            const QString& reason = c.limits.reason;
            const std::tuple<QWidget*, bool, QString> offered[] = {
                {childNamed(panel, QStringLiteral("Follow Mouse")), c.follow, c.followReason},
                {childNamed<QComboBox>(settings, QStringLiteral("Default Mode")), c.follow,
                 c.followReason},
                {childNamed<QSlider>(panel, QStringLiteral("Transparency"))->parentWidget(),
                 c.opacity, reason},
                {childNamed(panel, QStringLiteral("Keep Window Active")), c.opacity, reason},
                {childNamed(panel, QStringLiteral("Stay in Current Space")), c.desktops, reason},
                {strip.transparencySlider(), c.opacity, {}},
                {strip.keepActiveButton(), c.opacity, reason},
                {strip.hideWhileMovingButton(), c.opacity && c.follow, reason},
                {strip.stayInSpaceButton(), c.desktops, reason},
                {strip.dockTopButton(), c.desktops, reason},
                {strip.dockBottomButton(), c.desktops, reason},
            };
            for (const auto& [control, enabled, why] : offered) {
                const QByteArray where = (control->accessibleName() + reason).toUtf8();
                QVERIFY2(control->isEnabled() == enabled, where);
                QVERIFY2(enabled || why.isEmpty() || control->toolTip() == why, where);
            }
            // A window that cannot follow shows its region instead, and stays
            // there; its mode button chooses another region.
            QVERIFY(c.follow || strip.modeButton()->toolTip() == c.followReason);
            state.completeRegionSelection(QRectF(10, 10, 100, 100));
            strip.modeButton()->click();
            QCOMPARE(state.isSelectingRegion(), !c.follow);
            state.setMode(MagnificationMode::followMouse);
            QCOMPARE(state.mode() == MagnificationMode::followMouse, c.follow);
            state.setDockPosition(DockPosition::top);
            QCOMPARE(state.dockPosition() == DockPosition::top, c.desktops);
        }
    }

    void settingsWindowWorksWithoutAndWithWindows() {
        FakeWindowRegistry registry(0);
        SettingsView view(registry);
        auto* slider = childNamed<QSlider>(view, QStringLiteral("Default Zoom Level"));
        auto* count = childNamed<QLabel>(view, QStringLiteral("Open Windows"));
        QVERIFY(showsText(view, QStringLiteral("No active magnifier window")));
        QVERIFY(!slider->isVisibleTo(&view));
        view.findChild<QPushButton*>(QStringLiteral("noWindowNewWindowButton"))->click();
        QVERIFY(!showsText(view, QStringLiteral("No active magnifier window")));
        QVERIFY(slider->isVisibleTo(&view));
        view.findChild<QPushButton*>(QStringLiteral("windowsNewWindowButton"))->click();
        QCOMPARE(registry.createCalls, 2);
        QCOMPARE(count->text(), QStringLiteral("2"));
        view.findChild<QPushButton*>(QStringLiteral("showAllWindowsButton"))->click();
        QCOMPARE(registry.bringBackCalls, 1);

        // The picker writes the mode directly, without starting a selection.
        MagnifierState& state = *registry.activeState();
        auto* picker = childNamed<QComboBox>(view, QStringLiteral("Default Mode"));
        picker->setCurrentIndex(picker->findText(QStringLiteral("Fixed Region")));
        QCOMPARE(state.mode(), MagnificationMode::fixedRegion);
        QVERIFY(!state.isSelectingRegion());
        auto* followFocus = childNamed(view, QStringLiteral("Follow Keyboard Focus"));
        QVERIFY(!followFocus->isEnabled());
        state.setMode(MagnificationMode::followMouse);
        QCOMPARE(picker->currentText(), QStringLiteral("Follow Mouse"));
        followFocus->click();
        QVERIFY(!state.followFocus());

        auto* filter = childNamed<QComboBox>(view, QStringLiteral("Color Filter"));
        filter->setCurrentIndex(filter->findText(QStringLiteral("Invert Lightness")));
        childNamed(view, QStringLiteral("Smooth Scaling"))->click();
        childNamed(view, QStringLiteral("Crosshair"))->click();
        QCOMPARE(state.pictureOptions(),
                 (PictureOptions{ColorFilter::invertLightness, Scaling::smooth, true}));
        state.cycleColorFilter();
        state.setCrosshair(false);
        QCOMPARE(filter->currentText(), QStringLiteral("Invert Colors"));
        QVERIFY(!childNamed(view, QStringLiteral("Crosshair"))->isChecked());
    }

    // The switch writes and removes the autostart file and shows the file's
    // state, not a remembered one; a failure is said in the window.
    void startAtLoginSwitchFollowsTheAutostartFile() {
        AutostartEntry entry(QStringLiteral("org.oculo.Oculo.desktop"),
                             QStringLiteral("/opt/My Apps/oculo"));
        const QString path = qEnvironmentVariable("XDG_CONFIG_HOME") +
                             QStringLiteral("/autostart/org.oculo.Oculo.desktop");
        QCOMPARE(entry.filePath(), path);
        StartAtLoginSection section(entry);
        auto* toggle = section.findChild<QCheckBox*>(QStringLiteral("startAtLoginSwitch"));
        QVERIFY(!toggle->isChecked());
        toggle->click();
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(file.readAll().contains("\nExec=\"/opt/My Apps/oculo\" --autostart\n"));
        toggle->click();
        QVERIFY(!QFile::exists(path));

        // Written by another program, or turned off by the desktop's own settings.
        for (const auto& [contents, enabled] :
             {std::pair{"[Desktop Entry]\n", true}, {"[Desktop Entry]\nHidden=true\n", false}}) {
            QFile other(path);
            QVERIFY(other.open(QIODevice::WriteOnly | QIODevice::Truncate));
            other.write(contents);
            other.close();
            section.hide();
            section.show();
            QCOMPARE(toggle->isChecked(), enabled);
        }
        QVERIFY(QFile::remove(path) && QDir().mkpath(path + QStringLiteral("/in-the-way")));
        section.hide();
        section.show();
        QVERIFY(!toggle->isChecked());
        toggle->click();
        QVERIFY(!toggle->isChecked());
        QVERIFY(section.findChild<QLabel*>(QStringLiteral("startAtLoginError"))
                    ->text()
                    .startsWith(QStringLiteral("Oculo could not write ")));
        QVERIFY(QDir(path).removeRecursively());
    }

    void panelOpensBesideItsAnchorAndHandsOverToSettings() {
        const QRect screen(0, 0, 1440, 900);
        // Tray top right: below, pulled left; tray at the bottom: above; right click: just below.
        for (const auto& [anchor, expected] :
             {std::pair{QRect(1410, 0, 24, 24), QPoint(1180, 24)},
              std::pair{QRect(20, 876, 24, 24), QPoint(20, 496)},
              std::pair{QRect(500, 300, 1, 1), QPoint(500, 301)}}) {
            QCOMPARE(TrayIcon::panelFrame(QSize(260, 380), anchor, screen),
                     QRect(expected, QSize(260, 380)));
        }
        // No room above or below: kept inside the screen rather than cut off.
        QCOMPARE(TrayIcon::panelFrame(QSize(260, 880), QRect(100, 450, 1, 1), screen).top(), 20);

        // The panel hands over to a single settings window.
        FakeWindowRegistry registry;
        TrayIcon tray(registry);
        tray.showPanelAt(QGuiApplication::primaryScreen()->availableGeometry().bottomRight());
        childNamed(*shown<MenuBarView>(), QStringLiteral("Settings…"))->click();
        QVERIFY(!shown<MenuBarView>());
        SettingsView* settings = shown<SettingsView>();
        QVERIFY(settings);
        tray.openSettings();
        QCOMPARE(shown<SettingsView>(), settings);
    }

    // Ctrl+N, Ctrl+, and Ctrl+Q work in the panel and in the settings window.
    // The panel opens without a row left focused by Tab, which Space would press.
    void shortcutsWorkInEachWindowAndThePanelOpensFresh() {
        FakeWindowRegistry registry;
        TrayIcon tray(registry);
        const auto press = [](Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::ControlModifier) {
            QTest::keyClick(static_cast<QWidget*>(nullptr), key, modifiers);
        };
        const QPoint corner = QGuiApplication::primaryScreen()->availableGeometry().bottomRight();
        tray.showPanelAt(corner);
        QWidget* panel = shown<MenuBarView>()->window();
        press(Qt::Key_Tab, Qt::NoModifier);
        QVERIFY(panel->focusWidget());
        press(Qt::Key_Escape, Qt::NoModifier);
        tray.showPanelAt(corner);
        QCOMPARE(panel->focusWidget(), nullptr);

        press(Qt::Key_N);
        QTRY_VERIFY(registry.createCalls == 1 && !panel->isVisible());
        tray.showPanelAt(corner);
        press(Qt::Key_Comma);
        SettingsView* settings = nullptr;
        QTRY_VERIFY((settings = shown<SettingsView>()) && !panel->isVisible());
        QVERIFY(QTest::qWaitForWindowActive(settings));
        press(Qt::Key_N);
        press(Qt::Key_Q);
        QVERIFY(registry.createCalls == 2 && registry.quitCalls == 1);
    }
};

OCULO_TEST_MAIN(TestShellViews)
#include "test_shell_views.moc"
