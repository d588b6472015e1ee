#include "support/TestEnvironment.h"

#include "support/XvfbSession.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTemporaryFile>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace oculo::test {

void isolateUserFiles() {
    // Lives until the process ends; removed then.
    static QTemporaryDir home;
    const QString root = home.path();
    for (const char* name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_STATE_HOME",
                             "XDG_RUNTIME_DIR"}) {
        const QString dir = root + QLatin1Char('/') + QString::fromLatin1(name);
        QDir().mkpath(dir);
        QFile::setPermissions(dir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        qputenv(name, dir.toLocal8Bit());
    }
    QStandardPaths::setTestModeEnabled(true);
}

QByteArray startSessionBus(bool activation) {
    static pid_t daemon = 0;
    static QTemporaryFile config;
    QByteArray command = "dbus-daemon --fork --print-address=1 --print-pid=1 ";
    if (activation) {
        command += "--session";
    } else {
        // The session bus's policy without its service folders.
        if (!config.open()) {
            return {};
        }
        config.write("<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen>"
                     "<auth>EXTERNAL</auth><policy context=\"default\"><allow "
                     "send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
                     "<allow own=\"*\"/></policy></busconfig>");
        config.flush();
        command += "--config-file=" + QFile::encodeName(config.fileName());
    }
    char address[1024] = {};
    FILE* out = popen(command.constData(), "r");
    const bool started =
        out && fgets(address, sizeof address, out) && fscanf(out, "%d", &daemon) == 1;
    if (out) {
        pclose(out);
    }
    if (!started) {
        return {};
    }
    std::atexit([] { kill(daemon, SIGTERM); });
    return QByteArray(address).trimmed();
}

namespace {

std::unique_ptr<XvfbSession> session;

} // namespace

void useIsolatedXServer(bool windowManager, int width, int height) {
    XvfbSession::Options options;
    options.windowManager = windowManager;
    options.width = width;
    options.height = height;
    session = std::make_unique<XvfbSession>(options);
    if (!session->isRunning()) {
        std::fprintf(stderr, "%s\n", qPrintable(session->errorString()));
        std::exit(1);
    }
    qputenv("DISPLAY", session->display().toLocal8Bit());
    qputenv("QT_QPA_PLATFORM", "xcb");
    qunsetenv("WAYLAND_DISPLAY");
    std::atexit([] { session.reset(); });
}

bool switchWindowManager(XvfbSession::WindowManager manager) {
    const bool ok = session != nullptr && session->useWindowManager(manager);
    if (!ok && session != nullptr) {
        std::fprintf(stderr, "%s\n", qPrintable(session->errorString()));
    }
    return ok;
}

} // namespace oculo::test
