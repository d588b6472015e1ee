// The region overlays of a whole Oculo (real capture, panel and window
// manager) on a private X server, driven through XTest like a user would:
// "Select New Region..." from the panel, a drag over a pattern, and the
// magnifier shows that pattern while another application keeps the keyboard;
// Escape then ends an adjustment.
#include "X11Probe.h"
#include "app/ApplicationCore.h"
#include "capture/DisplayManager.h"
#include "capture/MouseTracker.h"
#include "capture/PermissionManager.h"
#include "platform/qt/QtPointerSource.h"
#include "platform/x11/X11CaptureBackend.h"
#include "platform/x11/X11DisplaySource.h"
#include "platform/x11/X11WindowManagerSource.h"
#include "region/ui/RegionOverlayCoordinator.h"
#include "region/ui/RegionSelectionWindow.h"
#include "shell/AppDelegate.h"
#include "shell/TrayIcon.h"
#include "state/MagnifierState.h"
#include "state/SettingsStore.h"
#include "support/TestEnvironment.h"
#include "support/X11TestSupport.h"
#include "support/fakes/FakeSystemSettingsLauncher.h"
#include "window/FloatingPanel.h"
#include "window/MagnifierWindowController.h"

#include <QAbstractButton>
#include <QProcess>
#include <QScreen>
#include <QTemporaryDir>

using namespace oculo;

namespace {

constexpr int timeoutMs = 10000;
constexpr uint32_t escapeKey = 0xff1b;
const QRect patternRect(40, 40, 400, 400);

QAbstractButton* visibleRow(const QString& text) {
    const auto widgets = QApplication::allWidgets();
    for (QWidget* widget : widgets) {
        auto* row = qobject_cast<QAbstractButton*>(widget);
        if (row != nullptr && row->text() == text && row->isVisible() && row->isEnabled()) {
            return row;
        }
    }
    return nullptr;
}

} // namespace

class TestRegionE2E : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(m_display.isConnected());
        m_pattern.show();
        QVERIFY(QTest::qWaitForWindowExposed(&m_pattern));
        test::movePointer({1300, 850});
        m_delegate.setWindowManagerSource(&m_windowManager);
        m_delegate.follow(m_core);
        m_core.applicationDidFinishLaunching();
        QTRY_COMPARE_WITH_TIMEOUT(m_core.windowCount(), 1, timeoutMs);
        m_controller = m_delegate.windowControllers().first();
        QVERIFY(QTest::qWaitForWindowExposed(m_controller->panel()));
    }

    void selectionShowsInTheMagnifierAndEscapeEndsAnAdjustment() {
        // The user works in another application, clear of the magnifier.
        QProcess other;
        other.start(QStringLiteral(OCULO_DOCK_TEST_CLIENT), {QStringLiteral("1080,540,300,200")});
        QVERIFY(other.waitForStarted());
        uint32_t otherWindow = 0;
        QTRY_VERIFY_WITH_TIMEOUT(
            (otherWindow = m_display.findWindow(static_cast<pid_t>(other.processId()))) != 0,
            timeoutMs);
        const auto otherIsActive = [&] { return m_windowManager.activeWindow() == otherWindow; };
        m_display.click({1230, 650});
        QTRY_VERIFY_WITH_TIMEOUT(otherIsActive(), timeoutMs);
        // The panel grabs the pointer with the time of the last event Qt saw,
        // which must not be older than that click, as a real right-click is not.
        test::movePointer(patternRect.center());
        QTRY_VERIFY_WITH_TIMEOUT(m_pattern.underMouse(), timeoutMs);

        chooseFromPanel(QStringLiteral("Select New Region..."));
        RegionOverlayCoordinator& overlays = m_delegate.regionOverlays();
        QTRY_VERIFY_WITH_TIMEOUT(!overlays.regionSelectionWindows().isEmpty(), timeoutMs);
        QVERIFY(QTest::qWaitForWindowExposed(overlays.regionSelectionWindows().first()));

        // Around the pattern's centre, so its four quadrants fill the magnifier.
        test::movePointer({140, 140});
        test::setPointerButton(1, true);
        test::movePointer({240, 240});
        test::movePointer({340, 340});
        test::setPointerButton(1, false);
        MagnifierState& state = m_controller->state();
        const std::optional<QRectF> region(QRectF(140, 140, 200, 200));
        QTRY_COMPARE_WITH_TIMEOUT(state.fixedRegion(), region, timeoutMs);
        QTRY_VERIFY_WITH_TIMEOUT(m_controller->panel()->isVisible(), timeoutMs);
        const auto showsPattern = [this] {
            const QWidget* view = m_controller->panel()->content();
            const QPoint at = view->mapToGlobal(QPoint(0, 0));
            const QImage shown = QGuiApplication::primaryScreen()
                                     ->grabWindow(0, at.x(), at.y(), view->width(), view->height())
                                     .toImage();
            for (const bool right : {false, true}) {
                for (const bool bottom : {false, true}) {
                    const QPoint p(shown.width() * (right ? 3 : 1) / 4,
                                   shown.height() * (bottom ? 13 : 5) / 20);
                    if (shown.isNull() ||
                        shown.pixelColor(p) != test::PatternWindow::quadrantColor(right, bottom)) {
                        return false;
                    }
                }
            }
            return true;
        };
        QTRY_VERIFY_WITH_TIMEOUT(showsPattern(), timeoutMs);
        QTRY_VERIFY_WITH_TIMEOUT(otherIsActive(), timeoutMs);

        // The Escape of the selection is gone: the adjustment overlay gets it.
        chooseFromPanel(QStringLiteral("Move/Resize Region..."));
        QTRY_VERIFY_WITH_TIMEOUT(!overlays.regionAdjustmentWindows().isEmpty(), timeoutMs);
        QVERIFY(QTest::qWaitForWindowExposed(overlays.regionAdjustmentWindows().first()));
        QVERIFY(m_display.pressKeys({escapeKey}));
        QTRY_VERIFY_WITH_TIMEOUT(!state.isAdjustingRegion(), timeoutMs);
        QCOMPARE(state.fixedRegion(), region);
        QTRY_VERIFY_WITH_TIMEOUT(m_controller->panel()->isVisible(), timeoutMs);
        QTRY_VERIFY_WITH_TIMEOUT(otherIsActive(), timeoutMs);
        other.kill();
        other.waitForFinished();
    }

    void cleanupTestCase() {
        m_core.applicationWillTerminate();
        m_core.finishStoppingCaptures(std::chrono::seconds(5));
    }

private:
    // Opens the panel as a right click on a magnifier would and clicks a row.
    void chooseFromPanel(const QString& rowText) {
        m_tray.showPanelAt({1000, 100});
        QAbstractButton* row = nullptr;
        QTRY_VERIFY_WITH_TIMEOUT((row = visibleRow(rowText)) != nullptr, timeoutMs);
        QVERIFY(QTest::qWaitForWindowExposed(row->window()));
        m_display.click(row->mapToGlobal(row->rect().center()));
    }

    oculo::probe::X11Probe m_display;
    test::PatternWindow m_pattern{patternRect};
    QTemporaryDir m_dir;
    SettingsStore m_store{m_dir.filePath(QStringLiteral("settings.json"))};
    X11DisplaySource m_displaySource;
    X11WindowManagerSource m_windowManager;
    X11CaptureBackend m_backend;
    test::FakeSystemSettingsLauncher m_launcher;
    DisplayManager m_displayManager{m_displaySource};
    PermissionManager m_permissionManager{m_displaySource, m_launcher};
    QtPointerSource m_pointer;
    MouseTracker m_tracker{m_pointer};
    AppDelegate m_delegate{m_tracker, m_displayManager, m_permissionManager, m_backend, m_store};
    ApplicationCore m_core{m_tracker, m_displayManager, m_permissionManager, m_delegate};
    TrayIcon m_tray{m_core};
    MagnifierWindowController* m_controller = nullptr;
};

OCULO_X11_TEST_MAIN(TestRegionE2E, true)

#include "test_region_e2e.moc"
