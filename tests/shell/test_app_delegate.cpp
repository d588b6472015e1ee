#include "app/ApplicationCore.h"
#include "platform/unix/TerminationSignals.h"
#include "shell/AppDelegate.h"
#include "state/MagnifierState.h"
#include "support/TestEnvironment.h"
#include "support/fakes/FakeCaptureBackend.h"
#include "support/fakes/FakeServices.h"
#include "views/MagnifierView.h"
#include "window/FloatingPanel.h"
#include "window/MagnifierWindowController.h"

#include <QAction>
#include <QContextMenuEvent>
#include <QPushButton>
#include <QSignalSpy>
#include <qcoro/qcorotask.h>

#include <csignal>
#include <memory>

using namespace oculo;
using oculo::test::CaptureEvent;
using oculo::test::FakeCaptureBackend;
using oculo::test::FakeDisplaySource;

namespace {

struct Rig : oculo::test::FakeServices {
    Rig()
        : delegate(std::make_unique<AppDelegate>(tracker, displayManager, permissionManager,
                                                 backend, store))
        , core(std::make_unique<ApplicationCore>(tracker, displayManager, permissionManager,
                                                 *delegate)) {
        pointer.setPosition({1000, 200});
        delegate->follow(*core);
    }

    // Launches and waits until the first window exists.
    void launch() {
        core->applicationDidFinishLaunching();
        QTRY_COMPARE(core->windowCount(), 1);
    }

    std::unique_ptr<AppDelegate> delegate; // makes the core's windows, so it goes last
    std::unique_ptr<ApplicationCore> core;
};

// Takes keyboard focus away from every magnifier window.
void focusElsewhere(QWidget& other) {
    other.show();
    other.activateWindow();
    QTRY_VERIFY(other.isActiveWindow());
}

} // namespace

class TestAppDelegate : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void launchWithPermissionTracksAndCaptures() {
        Rig rig;
        rig.launch();
        QVERIFY(rig.core->isTrackingStarted());
        QVERIFY(rig.tracker.isTracking());
        MagnifierWindow* first = rig.core->activeWindow();
        QVERIFY(first->state().hasScreenRecordingPermission());
        QTRY_COMPARE(rig.backend.runningStreamCount(), 1);
        QCOMPARE(rig.backend.lastStream()->display().id, FakeDisplaySource::primary().id);
    }

    void keepsAtLeastOneWindowOpen() {
        Rig rig;
        rig.launch();
        QSignalSpy changes(rig.core.get(), &WindowRegistry::windowsChanged);
        const QPointer<MagnifierWindowController> only = rig.delegate->windowControllers().first();
        const QUuid onlyId = only->id();

        // Closing the only window opens a fresh one.
        only->panel()->close();
        QTRY_VERIFY(!only);
        QCOMPARE(rig.core->windowCount(), 1);
        QVERIFY(rig.delegate->windowControllers().first()->id() != onlyId);
        QVERIFY(changes.count() >= 1);

        // Closing one of two leaves the other.
        rig.core->createNewWindow();
        const QList<MagnifierWindowController*> two = rig.delegate->windowControllers();
        QCOMPARE(two.size(), 2);
        const QUuid survivor = two.at(1)->id();
        two.first()->close();
        QCOMPARE(rig.core->windowCount(), 1);
        QCOMPARE(rig.delegate->windowControllers().first()->id(), survivor);
    }

    // The active window is the focused one, else the first shown; new windows
    // copy the first window's settings, not the focused one's.
    void activeWindowAndNewWindowsFollowTheRightWindow() {
        Rig rig;
        QCOMPARE(rig.core->activeState(), nullptr);
        rig.launch();
        rig.core->createNewWindow();
        const QList<MagnifierWindowController*> windows = rig.delegate->windowControllers();
        QWidget other;
        focusElsewhere(other);
        QCOMPARE(rig.core->activeWindow(), windows.at(0));
        // The menu acts on a window the user sees, not a minimised one.
        windows.at(0)->panel()->setWindowState(Qt::WindowMinimized);
        QCOMPARE(rig.core->activeWindow(), windows.at(1));

        windows.at(0)->state().setZoomLevel(3.0);
        windows.at(1)->state().setZoomLevel(6.0);
        QSignalSpy changes(rig.core.get(), &WindowRegistry::windowsChanged);
        windows.at(1)->panel()->activateWindow();
        QTRY_COMPARE(rig.core->activeState(), &windows.at(1)->state());
        QTRY_VERIFY(changes.count() >= 1);

        rig.core->createNewWindow();
        QCOMPARE(rig.delegate->windowControllers().at(2)->state().zoomLevel(), 3.0);

        // The application's keys work in every focused magnifier, also one opened later.
        QAction newWindow;
        newWindow.setShortcut(Qt::CTRL | Qt::Key_N);
        connect(&newWindow, &QAction::triggered, rig.core.get(), &ApplicationCore::createNewWindow);
        rig.delegate->setWindowActions({&newWindow});
        for (const int expectedCount : {4, 5}) {
            MagnifierWindowController* newest = rig.delegate->windowControllers().last();
            newest->panel()->activateWindow();
            QTRY_COMPARE(rig.core->activeState(), &newest->state());
            QTest::keyClick(static_cast<QWidget*>(nullptr), Qt::Key_N, Qt::ControlModifier);
            QCOMPARE(rig.core->windowCount(), expectedCount);
        }

        // So do right-clicks, which reach the delegate to open the panel.
        QSignalSpy menus(rig.delegate.get(), &AppDelegate::contextMenuRequested);
        QContextMenuEvent click(QContextMenuEvent::Mouse, QPoint(5, 5), QPoint(105, 205));
        QCoreApplication::sendEvent(rig.delegate->windowControllers().last()->panel()->content(),
                                    &click);
        QCOMPARE(menus.value(0).value(0).toPoint(), QPoint(105, 205));
    }

    void quittingRightAfterAChangeKeepsIt() {
        Rig rig;
        rig.launch();
        rig.core->activeState()->setZoomLevel(4.5);
        rig.core->applicationWillTerminate(); // well within the save debounce
        QCOMPARE(MagnifierState(rig.store).zoomLevel(), 4.5);

        // A termination signal reaches the event loop as a request to quit,
        // and a second one is left to end the process the usual way.
        TerminationSignals signalsWatcher;
        QVERIFY(signalsWatcher.isInstalled());
        QSignalSpy requested(&signalsWatcher, &TerminationSignals::terminationRequested);
        std::raise(SIGTERM);
        QVERIFY(requested.wait(5000));
        QCOMPARE(requested.first().first().toInt(), SIGTERM);
        struct sigaction current = {};
        sigaction(SIGTERM, nullptr, &current);
        QVERIFY(current.sa_handler == SIG_DFL);
    }

    void terminationClosesEverythingAndOpensNothing() {
        Rig rig;
        rig.launch();
        rig.core->createNewWindow();
        QTRY_COMPARE(rig.backend.runningStreamCount(), 2);
        const int created = rig.backend.createdCount();
        QList<QPointer<FloatingPanel>> panels;
        for (MagnifierWindowController* controller : rig.delegate->windowControllers()) {
            panels.append(controller->panel());
        }

        rig.core->applicationWillTerminate();
        QCOMPARE(rig.core->windowCount(), 0);
        QVERIFY(!rig.tracker.isTracking());
        QVERIFY(rig.core->finishStoppingCaptures(std::chrono::seconds(5)));
        QCOMPARE(rig.backend.runningStreamCount(), 0);
        QCOMPARE(rig.backend.destroyedWhileRunningCount(), 0);
        for (const QPointer<FloatingPanel>& panel : panels) {
            QTRY_VERIFY(!panel);
        }
        QCoreApplication::processEvents();
        QCOMPARE(rig.core->windowCount(), 0);
        QCOMPARE(rig.backend.createdCount(), created);
    }

    void activationRecoversThePermission() {
        Rig rig;
        rig.displays.setDisplays({});
        rig.launch();
        rig.core->createNewWindow();
        QVERIFY(!rig.core->isTrackingStarted());
        QVERIFY(!rig.core->activeState()->hasScreenRecordingPermission());
        QCOMPARE(rig.backend.runningStreamCount(), 0);

        // Still refused: nothing changes.
        QCoro::waitFor(rig.core->recoverFromPermissionDenialIfNeeded());
        QVERIFY(!rig.core->isTrackingStarted());

        // The offscreen platform never leaves the active state by itself, so
        // the return to the application is announced here.
        rig.displays.setDisplays({FakeDisplaySource::primary()});
        Q_EMIT qApp->applicationStateChanged(Qt::ApplicationActive);
        QTRY_VERIFY(rig.core->isTrackingStarted());
        QVERIFY(rig.tracker.isTracking());
        QTRY_COMPARE(rig.backend.runningStreamCount(), 2);
        for (MagnifierWindowController* controller : rig.delegate->windowControllers()) {
            QVERIFY(controller->state().hasScreenRecordingPermission());
        }

        // Once granted, activations do not ask again.
        const int queries = rig.displays.queryCount();
        QCoro::waitFor(rig.core->recoverFromPermissionDenialIfNeeded());
        QCOMPARE(rig.displays.queryCount(), queries);
        QCOMPARE(rig.backend.createdCount(), 2);
    }

    // A share the user refused or cancelled: the window says so, and its
    // button asks again and starts capture once the user agrees.
    void askAgainRerunsTheCheckAndStartsCapture() {
        Rig rig;
        rig.displays.setResult({{},
                                DisplayQueryError{DisplayQueryError::Kind::CaptureRefused,
                                                  QStringLiteral("Refused."), true}});
        rig.launch();
        auto* view = qobject_cast<MagnifierView*>(
            rig.delegate->windowControllers().first()->panel()->content());
        QCOMPARE(view->openSettingsButton()->text(), QStringLiteral("Ask Again"));
        rig.displays.setDisplays({FakeDisplaySource::primary()});
        view->openSettingsButton()->click();
        QTRY_COMPARE(rig.backend.runningStreamCount(), 1);
        QCOMPARE(view->openSettingsButton()->text(), QStringLiteral("Open System Settings"));
    }

    void wakeRefreshesDisplaysAndRestartsEachCapture() {
        Rig rig;
        rig.launch();
        rig.core->createNewWindow();
        QTRY_COMPARE(rig.backend.runningStreamCount(), 2);
        const QList<MagnifierWindowController*> windows = rig.delegate->windowControllers();
        const int queries = rig.displays.queryCount();
        rig.backend.clearEvents();

        // The second display went away while the system slept.
        rig.displays.setDisplays({FakeDisplaySource::primary()});
        rig.core->handlePrepareForSleep(true);
        rig.core->handlePrepareForSleep(false);
        QTRY_COMPARE(rig.backend.events(CaptureEvent::Type::Started).size(), 2);
        QCOMPARE(rig.displays.queryCount(), queries + 1);
        QCOMPARE(rig.displayManager.displays().size(), 1);

        QCOMPARE(rig.backend.runningStreamCount(), 2);

        // A screen change restarts at once.
        rig.backend.clearEvents();
        QScreen* screen = QGuiApplication::primaryScreen();
        Q_EMIT screen->geometryChanged(screen->geometry());
        QTRY_COMPARE(rig.backend.events(CaptureEvent::Type::Started).size(), 2);
        QCOMPARE(windows, rig.delegate->windowControllers());
    }
};

OCULO_TEST_MAIN(TestAppDelegate)
#include "test_app_delegate.moc"
