#include "app/ApplicationCore.h"
#include "common/TestFiles.h"
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
#include <QJsonArray>
#include <QPushButton>
#include <QSignalSpy>
#include <qcoro/qcorotask.h>

#include <csignal>
#include <memory>

using namespace oculo;
using namespace Qt::Literals::StringLiterals;
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

// One run of Oculo on the settings file at `path`, on the rig's services;
// the constructor returns once the launch has opened its windows.
struct Run {
    Run(oculo::test::FakeServices& services, const QString& path, bool atLogin = false)
        : store(path)
        , delegate(services.tracker, services.displayManager, services.permissionManager,
                   services.backend, store)
        , core(services.tracker, services.displayManager, services.permissionManager, delegate) {
        delegate.follow(core);
        core.setSettingsStore(&store);
        core.setStartedAtLogin(atLogin);
        core.applicationDidFinishLaunching();
        QTRY_VERIFY(core.isTrackingStarted());
    }
    ~Run() {
        core.applicationWillTerminate();
        core.finishStoppingCaptures(std::chrono::seconds(5));
    }

    SettingsStore store;
    AppDelegate delegate;
    ApplicationCore core;
};

// One window's keys as today's version writes them.
QJsonObject windowKeys(QRectF frame, double zoom) {
    const QString keys = QString::asprintf(
        R"({"oculo.zoomLevel": %g, "oculo.mode": "followMouse", "oculo.isWindowVisible": true,
        "oculo.windowFrame.x": %g, "oculo.windowFrame.y": %g, "oculo.windowFrame.width": %g,
        "oculo.windowFrame.height": %g, "oculo.windowTransparency": 0.5,
        "oculo.keepWindowActive": true, "oculo.stayInCurrentSpace": false,
        "oculo.hideWhileMoving": false, "oculo.dockPosition": "none",
        "oculo.colorFilter": "grayscale", "oculo.smoothing": "smooth", "oculo.crosshair": true})",
        zoom, frame.x(), frame.y(), frame.width(), frame.height());
    return QJsonDocument::fromJson(keys.toUtf8()).object();
}

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

    // Quitting remembers every open window; the next start opens them all where
    // they were, or at login only those the user had not hidden.
    void everyWindowComesBackAfterQuitting() {
        oculo::test::FakeServices services;
        const QString path = services.dir.filePath(QStringLiteral("run.json"));
        const QList<QRectF> frames{{40, 50, 300, 230}, {380, 60, 320, 240}, {100, 330, 400, 250}};
        const QList<double> zooms{3.0, 4.5, 6.0};
        {
            Run first(services, path);
            first.core.createNewWindow();
            first.core.createNewWindow();
            const QList<MagnifierWindowController*> windows = first.delegate.windowControllers();
            QCOMPARE(windows.size(), 3);
            for (int i = 0; i < 3; ++i) {
                windows.at(i)->panel()->setFrame(frames.at(i));
                windows.at(i)->state().setZoomLevel(zooms.at(i));
            }
            windows.at(2)->hideFromUser();
        }
        QVERIFY(QFile::copy(path, path + QStringLiteral(".login")));
        for (const bool atLogin : {false, true}) {
            Run next(services, atLogin ? path + QStringLiteral(".login") : path, atLogin);
            const QList<MagnifierWindowController*> windows = next.delegate.windowControllers();
            QCOMPARE(windows.size(), atLogin ? 2 : 3);
            for (int i = 0; i < windows.size(); ++i) {
                QCOMPARE(windows.at(i)->panel()->frame(), frames.at(i));
                QCOMPARE(windows.at(i)->state().zoomLevel(), zooms.at(i));
            }
        }
    }

    // What the launch opens from a settings file: today's one window unchanged,
    // whatever entries of the others survive, and nothing at login after a
    // session that ended with no window.
    void launchOpensTheWindowsTheFileHolds() {
        const QRectF first(60, 40, 320, 240);
        const QRectF other(420, 300, 300, 230);
        QJsonObject damaged = windowKeys(first, 3.5);
        damaged.insert(u"oculo.otherWindows"_s,
                       QJsonArray{42, windowKeys(QRectF(), 2.0), windowKeys(other, 7.0), u"x"_s});
        QJsonObject noneOpen = windowKeys(first, 3.5);
        noneOpen.insert(u"oculo.isWindowVisible"_s, false);
        const struct {
            const char* name;
            QJsonObject file;
            bool atLogin;
            QList<double> zooms; // of the windows that open, in order
        } cases[] = {
            {"today's file", windowKeys(first, 3.5), false, {3.5}},
            {"damaged entries among the others", damaged, false, {3.5, 7.0}},
            {"none open at the end, at login", noneOpen, true, {}},
            {"none open at the end, by hand", noneOpen, false, {3.5}},
        };
        for (const auto& c : cases) {
            qInfo() << c.name;
            oculo::test::FakeServices services;
            const QString path = services.dir.filePath(QStringLiteral("run.json"));
            oculo::test::writeBytes(path, QJsonDocument(c.file).toJson());
            {
                Run run(services, path, c.atLogin);
                const QList<MagnifierWindowController*> windows = run.delegate.windowControllers();
                QCOMPARE(windows.size(), c.zooms.size());
                for (int i = 0; i < windows.size(); ++i) {
                    QCOMPARE(windows.at(i)->state().zoomLevel(), c.zooms.at(i));
                    QCOMPARE(windows.at(i)->panel()->frame(), i == 0 ? first : other);
                }
                if (windows.isEmpty()) {
                    // Started by hand now, Oculo shows a window.
                    run.core.activateFromAnotherStart();
                    QCOMPARE(run.core.windowCount(), 1);
                }
            }
            // The first window's keys are written back as they were read.
            const QJsonObject saved = oculo::test::readJsonObject(path);
            const QJsonObject today = windowKeys(first, 3.5);
            for (auto it = today.constBegin(); it != today.constEnd(); ++it) {
                QCOMPARE(saved.value(it.key()), it.value());
            }
            QCOMPARE(saved.value(u"oculo.otherWindows"_s).toArray().size(),
                     std::max<qsizetype>(0, c.zooms.size() - 1));
        }
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

        // Sharing stopped while running: the same placeholder, not "No capture active".
        rig.displays.setResult({{},
                                DisplayQueryError{DisplayQueryError::Kind::CaptureRefused,
                                                  QStringLiteral("Stopped."), true}});
        QVERIFY(!QCoro::waitFor(rig.permissionManager.checkPermission()));
        QTRY_VERIFY(view->permissionPlaceholder()->isVisibleTo(view));
        QCOMPARE(view->openSettingsButton()->text(), QStringLiteral("Ask Again"));
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
