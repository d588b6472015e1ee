#include "support/XvfbSession.h"

#include <QByteArray>
#include <QThread>

#include <xcb/xcb.h>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace oculo::test {
namespace {

pid_t spawn(const QString& program, const QStringList& arguments, const QByteArray& display,
            int keepFd = -1) {
    std::vector<QByteArray> storage;
    storage.push_back(program.toLocal8Bit());
    for (const QString& argument : arguments) {
        storage.push_back(argument.toLocal8Bit());
    }
    std::vector<char*> argv;
    for (QByteArray& s : storage) {
        argv.push_back(s.data());
    }
    argv.push_back(nullptr);

    const pid_t pid = fork();
    if (pid == 0) {
        // Own process group, so the whole tree can be ended together.
        setpgid(0, 0);
        if (!display.isEmpty()) {
            setenv("DISPLAY", display.constData(), 1);
        }
        const int devNull = open("/dev/null", O_RDWR);
        if (devNull >= 0) {
            dup2(devNull, STDIN_FILENO);
            dup2(devNull, STDOUT_FILENO);
            dup2(devNull, STDERR_FILENO);
        }
        for (int fd = 3; fd < 1024; ++fd) {
            if (fd != keepFd) {
                close(fd);
            }
        }
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

void terminate(pid_t pid) {
    if (pid <= 0) {
        return;
    }
    kill(-pid, SIGTERM);
    kill(pid, SIGTERM);
    for (int i = 0; i < 50; ++i) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) {
            return;
        }
        QThread::msleep(20);
    }
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

// True once a window manager manages new windows: a probe window mapped on
// the display gets reparented into a frame. A window manager that has only
// just announced itself may still miss a map request, so the probe is mapped
// again every second until it is taken.
bool waitForWindowManager(const QByteArray& display, int timeoutMs) {
    xcb_connection_t* c = xcb_connect(display.constData(), nullptr);
    bool managed = false;
    if (xcb_connection_has_error(c) == 0) {
        const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
        const xcb_window_t probe = xcb_generate_id(c);
        xcb_create_window(c, XCB_COPY_FROM_PARENT, probe, screen->root, 0, 0, 1, 1, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, 0, nullptr);
        for (int waited = 0; !managed && waited < timeoutMs; waited += 20) {
            if (waited % 1000 == 0) {
                xcb_unmap_window(c, probe);
                xcb_map_window(c, probe);
            }
            xcb_query_tree_reply_t* tree =
                xcb_query_tree_reply(c, xcb_query_tree(c, probe), nullptr);
            managed = tree != nullptr && tree->parent != screen->root;
            std::free(tree);
            if (!managed) {
                QThread::msleep(20);
            }
        }
        xcb_destroy_window(c, probe);
        xcb_flush(c);
    }
    xcb_disconnect(c);
    return managed;
}

} // namespace

XvfbSession::XvfbSession(const Options& options) {
    int fds[2];
    if (pipe(fds) != 0) {
        m_error = QStringLiteral("Could not create a pipe for Xvfb.");
        return;
    }
    QStringList arguments{QStringLiteral("-displayfd"),
                          QString::number(fds[1]),
                          QStringLiteral("-screen"),
                          QStringLiteral("0"),
                          QStringLiteral("%1x%2x24").arg(options.width).arg(options.height),
                          QStringLiteral("-nolisten"),
                          QStringLiteral("tcp"),
                          QStringLiteral("-noreset")};
    arguments += options.extraArguments;
    m_serverPid = spawn(QStringLiteral("Xvfb"), arguments, {}, fds[1]);
    close(fds[1]);

    QByteArray number;
    pollfd pfd{fds[0], POLLIN, 0};
    while (poll(&pfd, 1, 10000) > 0) {
        char buffer[32];
        const ssize_t n = read(fds[0], buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        number.append(buffer, n);
        if (number.contains('\n')) {
            break;
        }
    }
    close(fds[0]);
    number = number.trimmed();
    if (number.isEmpty()) {
        m_error = QStringLiteral("Xvfb did not start (is the xvfb package installed?).");
        terminate(m_serverPid);
        m_serverPid = -1;
        return;
    }
    m_display = QStringLiteral(":") + QString::fromLatin1(number);

    useWindowManager(options.windowManager ? WindowManager::openbox : WindowManager::none);
}

XvfbSession::~XvfbSession() {
    for (pid_t child : m_children) {
        terminate(child);
    }
    terminate(m_serverPid);
}

bool XvfbSession::useWindowManager(WindowManager manager) {
    m_children.removeOne(m_windowManagerPid);
    terminate(std::exchange(m_windowManagerPid, -1));
    if (manager == WindowManager::none) {
        return true;
    }
    const bool openbox = manager == WindowManager::openbox;
    m_windowManagerPid = openbox ? spawnOnDisplay(QStringLiteral("openbox"), {})
                                 : spawnOnDisplay(QStringLiteral("dbus-run-session"),
                                                  {QStringLiteral("--"), QStringLiteral("xfwm4"),
                                                   QStringLiteral("--compositor=off")});
    if (!waitForWindowManager(m_display.toLocal8Bit(), 20000)) {
        m_error = QStringLiteral("The window manager did not take over the X server within 20 s.");
    }
    return m_error.isEmpty();
}

pid_t XvfbSession::spawnOnDisplay(const QString& program, const QStringList& arguments) {
    const pid_t pid = spawn(program, arguments, m_display.toLocal8Bit());
    if (pid > 0) {
        m_children.append(pid);
    }
    return pid;
}

} // namespace oculo::test
