#include "app/ApplicationCore.h"
#include "app/AutostartEntry.h"
#include "app/GlobalShortcutActions.h"
#include "app/SingleInstance.h"
#include "capture/DisplayManager.h"
#include "capture/FocusFollower.h"
#include "capture/MouseTracker.h"
#include "capture/PermissionManager.h"
#include "common/FireAndForget.h"
#include "platform/WindowingLimits.h"
#include "platform/atspi/AtSpiFocusSource.h"
#include "platform/portal/PortalGlobalShortcuts.h"
#include "platform/qt/QtPointerSource.h"
#include "platform/qt/QtSystemSettingsLauncher.h"
#include "platform/unix/RenameExchangeSwapper.h"
#include "platform/unix/TerminationSignals.h"
#include "platform/wayland/WaylandCaptureBackend.h"
#include "platform/wayland/WaylandScreenCast.h"
#include "platform/x11/X11CaptureBackend.h"
#include "platform/x11/X11DisplayCheck.h"
#include "platform/x11/X11DisplaySource.h"
#include "platform/x11/X11GlobalShortcuts.h"
#include "platform/x11/X11PointerSource.h"
#include "platform/x11/X11ServerWatch.h"
#include "platform/x11/X11WindowManagerSource.h"
#include "shell/AppDelegate.h"
#include "shell/MenuBarView.h"
#include "shell/TrayIcon.h"
#include "state/SettingsStore.h"
#include "update/BundleInstaller.h"
#include "update/UpdateService.h"
#include "update/ui/MessageBoxUpdatePresenter.h"
#include "update/ui/UpdateMenuItem.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QThread>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>

namespace {

// Streams of closing windows get this long to stop after the event loop ends.
constexpr std::chrono::milliseconds captureStopGrace{2000};

// Set from the start of the event loop until the clean-up after it is done, for
// the exit Qt's xcb plugin makes from inside either.
oculo::ApplicationCore* runningCore = nullptr;
std::atomic<bool> serverLossReported{false};

// Whichever hears first that the X server went, Oculo's own connection or Qt's
// exit(1), says so once and writes the changes still waiting to be saved.
void reportServerLoss() {
    if (runningCore == nullptr || serverLossReported.exchange(true)) {
        return;
    }
    std::fputs("Oculo lost its connection to the X server and ends.\n", stderr);
    // Only the GUI thread may touch the windows' state.
    if (QThread::currentThread() == QCoreApplication::instance()->thread()) {
        runningCore->savePendingChanges();
    }
}

const QString autostartOption = QStringLiteral("autostart");

// --help and --version answer on the command line without a display. Qt's own
// options (-platform, -display, ...) are left for QApplication.
std::optional<int> answerCommandLine(int argc, char** argv, bool* startedAtLogin) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i) {
        arguments.append(QString::fromLocal8Bit(argv[i]));
    }
    QCommandLineParser parser;
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    parser.addOption(QCommandLineOption(autostartOption));
    parser.parse(arguments);
    *startedAtLogin = parser.isSet(autostartOption);
    if (parser.isSet(help)) {
        // Qt's own help text needs an application object, which needs a display.
        std::fputs("Usage: oculo [options]\n"
                   "A screen magnifier: magnifier windows that follow the pointer or show a fixed\n"
                   "region, kept from the system tray.\n\n"
                   "Options:\n"
                   "  -h, --help     Displays help on commandline options.\n"
                   "  -v, --version  Displays version information.\n"
                   "  --autostart    Started at login: opens only the windows that were shown\n"
                   "                 when the last session ended.\n",
                   stdout);
        return 0;
    }
    if (parser.isSet(version)) {
        std::printf("Oculo %s (build %s%s)\n", OCULO_VERSION, OCULO_BUILD_NUMBER,
                    oculo::UpdateService::isPackagedBuild() ? ", Debian package" : "");
        return 0;
    }
    return std::nullopt;
}

} // namespace

int main(int argc, char** argv) {
    bool startedAtLogin = false;
    if (const auto status = answerCommandLine(argc, argv, &startedAtLogin)) {
        return *status;
    }
    // A write to a server that has just gone (the X server at logout) must fail
    // with EPIPE and reach the clean ending below, not kill Oculo with SIGPIPE.
    std::signal(SIGPIPE, SIG_IGN);
    // In a Wayland session Oculo speaks Wayland and captures through the
    // screen-cast portal (an X11 client sees nothing of a Wayland desktop);
    // anywhere else it speaks X11.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        const bool waylandSession = !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
                                    qgetenv("XDG_SESSION_TYPE") == "wayland";
        qputenv("QT_QPA_PLATFORM", waylandSession ? "wayland" : "xcb");
    }
    if (qgetenv("QT_QPA_PLATFORM") == "xcb") {
        if (const auto reason = oculo::x11::displayUnavailableReason()) {
            std::fprintf(stderr, "%s\n", qPrintable(*reason));
            return 1;
        }
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Oculo"));
    QApplication::setOrganizationName(QStringLiteral("Oculo"));
    QApplication::setApplicationVersion(QStringLiteral(OCULO_VERSION));
    QApplication::setDesktopFileName(QStringLiteral(OCULO_BUNDLE_IDENTIFIER));
    QApplication::setQuitOnLastWindowClosed(false);
    // A logout or kill quits like "Quit Oculo" does, so nothing the user changed is lost.
    oculo::TerminationSignals terminationSignals;
    QObject::connect(&terminationSignals, &oculo::TerminationSignals::terminationRequested, &app,
                     &QCoreApplication::quit);

    // A second start hands over to the running Oculo, which alone writes the settings.
    oculo::SingleInstance instance(QStringLiteral(OCULO_BUNDLE_IDENTIFIER));
    switch (instance.claim()) {
    case oculo::SingleInstance::Claim::primary:
        break;
    case oculo::SingleInstance::Claim::handedOver:
        return 0;
    case oculo::SingleInstance::Claim::failed:
        std::fprintf(stderr, "%s\n", qPrintable(instance.errorString()));
        return 1;
    }

    oculo::SettingsStore store;
    const bool onWayland = QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
    // What the windowing system lets Oculo do with windows; the controls that
    // need more are disabled and say why.
    const oculo::WindowingLimits windowingLimits =
        onWayland ? oculo::WindowingLimits::wayland() : oculo::WindowingLimits::unlimited();
    // Under xcb the pointer is followed over a connection of its own, which
    // costs no round trip while it rests. Under Wayland the screen-cast's
    // metadata is the only place that tells where the pointer is.
    std::unique_ptr<oculo::wayland::WaylandScreenCast> screenCast;
    std::unique_ptr<oculo::PointerSource> pointer;
    std::unique_ptr<oculo::WindowManagerSource> windowManager;
    // Elsewhere than on X11, accessible extents are relative to their own
    // window, which Oculo cannot place on the screen: the keyboard is not followed.
    std::unique_ptr<oculo::FocusSource> focusSource;
    std::unique_ptr<oculo::DisplaySource> displaySource;
    std::unique_ptr<oculo::CaptureBackend> captureBackend;
    if (onWayland) {
        const QString tokenKey = QStringLiteral("oculo.portalRestoreToken");
        screenCast = std::make_unique<oculo::wayland::WaylandScreenCast>(
            store.string(tokenKey).value_or(QString()));
        // A token is good for one start only: the next one must find the new one.
        QObject::connect(screenCast.get(), &oculo::wayland::WaylandScreenCast::restoreTokenChanged,
                         [&store, tokenKey](const QString& token) {
                             store.setString(tokenKey, token);
                             store.sync();
                         });
        pointer = std::make_unique<oculo::WaylandPointerSource>(*screenCast);
        windowManager = std::make_unique<oculo::NoWindowManager>();
        displaySource = std::make_unique<oculo::WaylandDisplaySource>(*screenCast);
        captureBackend = std::make_unique<oculo::WaylandCaptureBackend>(*screenCast);
    } else {
        if (QGuiApplication::platformName() == QLatin1String("xcb")) {
            pointer = std::make_unique<oculo::X11PointerSource>();
            windowManager = std::make_unique<oculo::X11WindowManagerSource>();
            focusSource = std::make_unique<oculo::AtSpiFocusSource>();
        } else {
            pointer = std::make_unique<oculo::QtPointerSource>();
            windowManager = std::make_unique<oculo::NoWindowManager>();
        }
        displaySource = std::make_unique<oculo::X11DisplaySource>();
        captureBackend = std::make_unique<oculo::X11CaptureBackend>();
    }
    oculo::QtSystemSettingsLauncher settingsLauncher;
    oculo::DisplayManager displayManager(*displaySource);
    oculo::PermissionManager permissionManager(*displaySource, settingsLauncher);
    if (screenCast) {
        // The user or the compositor stopped the sharing: the windows say so
        // and offer to ask again, rather than sharing anew unasked.
        QObject::connect(
            screenCast.get(), &oculo::wayland::WaylandScreenCast::sessionEnded, &permissionManager,
            [&permissionManager] { oculo::fireAndForget(permissionManager.checkPermission()); });
    }
    oculo::MouseTracker mouseTracker(*pointer);
    if (screenCast) {
        // A desktop that draws the pointer into the picture never says where it is.
        mouseTracker.setFollowUnavailableReason(screenCast->pointerUnavailableReason());
        QObject::connect(screenCast.get(),
                         &oculo::wayland::WaylandScreenCast::pointerUnavailableReasonChanged,
                         &mouseTracker, &oculo::MouseTracker::setFollowUnavailableReason);
    }
    oculo::FocusFollower focusFollower(focusSource.get(), mouseTracker);
    // The delegate makes the core's windows, so it is made first and goes last.
    oculo::AppDelegate delegate(mouseTracker, displayManager, permissionManager, *captureBackend,
                                store);
    delegate.setWindowManagerSource(windowManager.get());
    delegate.setWindowingLimits(windowingLimits);
    delegate.setFocusFollower(&focusFollower);
    oculo::ApplicationCore core(mouseTracker, displayManager, permissionManager, delegate);
    core.setSettingsStore(&store);
    core.setStartedAtLogin(startedAtLogin);
    delegate.follow(core);

    oculo::UpdateService::Options updateOptions;
    oculo::BundleInstaller::Options installOptions{
        .bundlePath = oculo::AppIdentity::runningBundlePath(),
        .bundleIdentifier = updateOptions.app.bundleIdentifier,
        .currentBuild = updateOptions.app.currentBuild,
        .server = updateOptions.server};
    core.setUpdateService(std::make_unique<oculo::UpdateService>(
        updateOptions, std::make_unique<oculo::MessageBoxUpdatePresenter>(),
        std::make_unique<oculo::BundleInstaller>(
            installOptions, std::make_unique<oculo::RenameExchangeSwapper>())));

    QObject::connect(&instance, &oculo::SingleInstance::activationRequested, &core,
                     &oculo::ApplicationCore::activateFromAnotherStart);

    // Global shortcuts are key grabs under X11 and the desktop's portal under
    // Wayland, which reports them not offered where the desktop lacks them.
    std::unique_ptr<oculo::GlobalShortcuts> globalShortcuts;
    if (QGuiApplication::platformName() == QLatin1String("xcb")) {
        globalShortcuts = std::make_unique<oculo::X11GlobalShortcuts>();
    } else if (QGuiApplication::platformName().startsWith(QLatin1String("wayland"))) {
        globalShortcuts = std::make_unique<oculo::portal::PortalGlobalShortcuts>();
    } else {
        globalShortcuts = std::make_unique<oculo::NoGlobalShortcuts>();
    }
    oculo::GlobalShortcutActions shortcutActions(core, *globalShortcuts, store);
    oculo::AutostartEntry autostart(QGuiApplication::desktopFileName() + QStringLiteral(".desktop"),
                                    oculo::AutostartEntry::runningExecutable());
    oculo::TrayIcon trayIcon(core);
    auto* updateItem = new oculo::UpdateMenuItem(*core.updateService());
    QObject::connect(updateItem, &oculo::UpdateMenuItem::dismissRequested, &trayIcon.menuBarView(),
                     &oculo::MenuBarView::dismissRequested);
    trayIcon.menuBarView().setUpdateItem(updateItem);
    // Right-clicking a magnifier always opens the panel: a tray host may be
    // missing, or leave while Oculo runs (Qt re-adds the icon when one returns).
    QObject::connect(&delegate, &oculo::AppDelegate::contextMenuRequested, &trayIcon,
                     &oculo::TrayIcon::showPanelAt);
    delegate.setWindowActions(trayIcon.menuBarView().applicationActions());
    trayIcon.setSystemSettings(&shortcutActions, &autostart);

    std::unique_ptr<oculo::X11ServerWatch> serverWatch;
    if (QGuiApplication::platformName() == QLatin1String("xcb")) {
        serverWatch = std::make_unique<oculo::X11ServerWatch>();
        QObject::connect(serverWatch.get(), &oculo::X11ServerWatch::serverLost, &app, [] {
            reportServerLoss();
            QCoreApplication::exit(1);
        });
        // Registered last, so it runs before the clean-up of everything set up so far.
        std::atexit([] {
            if (oculo::X11ServerWatch::qtConnectionBroken()) {
                reportServerLoss();
            }
        });
    }

    core.applicationDidFinishLaunching();
    runningCore = &core;
    const int status = QApplication::exec();
    // Normally done on aboutToQuit already; repeated in case the loop ended otherwise.
    core.applicationWillTerminate();
    core.finishStoppingCaptures(captureStopGrace);
    runningCore = nullptr;
    return serverLossReported ? 1 : status;
}
