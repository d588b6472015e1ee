#include "platform/x11/X11WindowManagerSource.h"
#include "state/MagnifierState.h"
#include "support/TestEnvironment.h"
#include "support/X11TestSupport.h"
#include "support/fakes/FakeServices.h"
#include "window/FloatingPanel.h"
#include "window/MagnifierWindowController.h"

#include <QProcess>

#include <memory>

using namespace oculo;
using Window = WindowManagerSource::ClientWindow;
using Manager = test::XvfbSession::WindowManager;

// Runs under openbox and again under xfwm4, which treats desktops, moves and
// decorations differently.
class TestDockingX11 : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void docksPushesFollowsDesktopsAndDrags_data() {
        QTest::addColumn<Manager>("manager");
        QTest::newRow("openbox") << Manager::openbox;
        QTest::newRow("xfwm4") << Manager::xfwm4;
    }
    // Docking to the bottom of the 1440 x 900 screen the window manager leaves
    // whole; dragging by the picture.
    void docksPushesFollowsDesktopsAndDrags() {
        QFETCH(Manager, manager);
        QVERIFY(test::switchWindowManager(manager));
        test::FakeServices services;
        X11WindowManagerSource wm;
        QProcess client;
        client.start(QStringLiteral(OCULO_DOCK_TEST_CLIENT),
                     {QStringLiteral("100,200,800,400"), QStringLiteral("100,0,800,700")});
        QVERIFY(client.waitForStarted());
        // The client's windows: the one in the band first, then the too tall one.
        const auto others = [&] {
            QList<Window> found;
            for (const Window& window : wm.clientWindows()) {
                if (window.processId == client.processId() && window.isVisible) {
                    found.append(window);
                }
            }
            std::sort(found.begin(), found.end(), [](const Window& a, const Window& b) {
                return a.frame.height() < b.frame.height();
            });
            return found;
        };
        // Empty while a desktop switch has not yet shown them again.
        const auto frame = [&](int index) {
            const auto windows = others();
            return windows.size() == 2 ? windows.at(index).frame : QRectF();
        };
        QTRY_COMPARE_WITH_TIMEOUT(frame(0).top(), 200.0, 10000);
        const QRectF inBand = frame(0);
        const QRectF tooTall = frame(1);

        const auto switchTo = [&](quint32 desktop) {
            return QProcess::execute(QStringLiteral("wmctrl"),
                                     {QStringLiteral("-s"), QString::number(desktop)}) == 0 &&
                   QTest::qWaitFor([&] { return wm.currentDesktop() == desktop; }, 5000);
        };
        auto controller = std::make_unique<MagnifierWindowController>(
            services.tracker, services.displayManager, services.permissionManager, services.backend,
            services.store, nullptr);
        const auto open = [&] {
            controller->setWindowManagerSource(&wm);
            controller->setup();
            return controller->panel()->winId();
        };
        const auto isShown = [&](WId id) {
            const auto windows = wm.clientWindows();
            return std::any_of(windows.begin(), windows.end(),
                               [id](const Window& w) { return w.id == id && w.isVisible; });
        };

        // By default on every desktop.
        controller->state().setWindowFrame(QRectF(50, 50, 400, 330));
        WId panel = open();
        QTRY_COMPARE(wm.windowDesktop(panel), WindowManagerSource::allDesktops);
        QVERIFY(switchTo(1));
        QTRY_VERIFY(isShown(panel));
        QVERIFY(switchTo(0));

        // Staying in its desktop, docked: the window in the band ends 50 above the panel.
        controller->state().setStayInCurrentSpace(true);
        QTRY_COMPARE(wm.windowDesktop(panel), 0u);
        controller->state().setDockPosition(DockPosition::bottom);
        const QRectF docked(0, 570, 1440, 330);
        QTRY_COMPARE(controller->panel()->frame(), docked);
        QTRY_COMPARE(frame(0).bottom(), docked.top() - 50);
        QCOMPARE(frame(0).left(), inBand.left());
        QCOMPARE(frame(1), tooTall);
        QVERIFY(switchTo(1));
        QTRY_VERIFY(!isShown(panel));
        QVERIFY(switchTo(0));

        // Restored docked, it pushes again on a desktop change.
        controller.reset();
        QTRY_COMPARE(others().size(), 2);
        wm.moveWindow(others().at(0), inBand.top());
        QTRY_COMPARE(frame(0), inBand);
        controller = std::make_unique<MagnifierWindowController>(
            services.tracker, services.displayManager, services.permissionManager, services.backend,
            services.store, nullptr);
        panel = open();
        QCOMPARE(controller->state().dockPosition(), DockPosition::bottom);
        // Only a desktop change pushes now, so it waits for the window in its place.
        QTRY_VERIFY(isShown(panel));
        QTRY_COMPARE(controller->panel()->frame(), docked);
        QVERIFY(switchTo(1));
        QVERIFY(switchTo(0));
        QTRY_COMPARE(frame(0).bottom(), docked.top() - 50);

        // Undocking restores the frame it had before docking.
        controller->state().setDockPosition(DockPosition::none);
        QTRY_COMPARE(controller->panel()->frame(), QRectF(50, 50, 400, 330));
        client.kill();
        client.waitForFinished();
        QTRY_VERIFY(others().isEmpty()); // their frames gone from under the pointer too

        // Pressed on the picture after coming in from outside, the window
        // follows the pointer's travel, and its top edge stays on the screen.
        const QWidget* view = controller->panel()->content();
        const auto drag = [&](QPoint by) {
            const QPoint from = view->mapToGlobal(QPoint(150, 100));
            test::movePointer(from);
            QTRY_VERIFY(view->underMouse());
            test::setPointerButton(1, true);
            QTRY_COMPARE(QGuiApplication::mouseButtons(), Qt::LeftButton);
            test::movePointer(from + by / 2);
            test::movePointer(from + by);
            test::setPointerButton(1, false);
        };
        test::movePointer({1300, 850});
        drag({40, 20});
        QTRY_COMPARE(controller->panel()->frame(), QRectF(90, 70, 400, 330));
        drag({-20, -400});
        QTRY_COMPARE(controller->panel()->frame(), QRectF(70, 0, 400, 330));
    }
};

OCULO_X11_TEST_MAIN(TestDockingX11, true)

#include "test_docking_x11.moc"
