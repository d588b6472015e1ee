#pragma once

#include <QString>
#include <QStringList>

#include <sys/types.h>

namespace oculo::test {

// A private X server for one test process: Xvfb on a free display number,
// optionally with a window manager. Stopped (and its children killed) on
// destruction. Never touches the user's own display.
class XvfbSession {
public:
    // xfwm4 runs with its compositor off, on a session bus its settings need.
    enum class WindowManager { none, openbox, xfwm4 };

    struct Options {
        int width = 1440;
        int height = 900;
        bool windowManager = false; // openbox
        QStringList extraArguments; // appended to Xvfb's command line
    };

    explicit XvfbSession(const Options& options);
    XvfbSession()
        : XvfbSession(Options{}) {}
    ~XvfbSession();

    XvfbSession(const XvfbSession&) = delete;
    XvfbSession& operator=(const XvfbSession&) = delete;

    bool isRunning() const { return m_serverPid > 0 && !m_display.isEmpty() && m_error.isEmpty(); }
    QString display() const { return m_display; } // e.g. ":42"
    QString errorString() const { return m_error; }
    pid_t serverPid() const { return m_serverPid; }

    // Starts a helper program on this display (e.g. a tray host); it is killed
    // with the session. Returns its process id, or -1.
    pid_t spawnOnDisplay(const QString& program, const QStringList& arguments);

    // Ends the running window manager and waits until `manager` manages new
    // windows. False, with errorString() set, when it does not.
    bool useWindowManager(WindowManager manager);

private:
    pid_t m_serverPid = -1;
    pid_t m_windowManagerPid = -1;
    QList<pid_t> m_children;
    QString m_display;
    QString m_error;
};

} // namespace oculo::test
