#pragma once

#include <QByteArray>
#include <QImage>
#include <QList>
#include <QPoint>
#include <QRect>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <sys/types.h>

struct xcb_connection_t;

namespace oculo::probe {

// A client of its own on an X server that watches and drives other programs
// from outside: finds their windows, moves the pointer and presses buttons
// through XTest, reads the pixels the server shows and counts repaints of a
// window through XDamage. All positions are root-window pixels.
class X11Probe {
public:
    // `display` as in DISPLAY; empty means the environment's.
    explicit X11Probe(const QByteArray& display = {});
    ~X11Probe();

    X11Probe(const X11Probe&) = delete;
    X11Probe& operator=(const X11Probe&) = delete;

    bool isConnected() const { return m_connection != nullptr; }
    QString errorString() const { return m_error; }
    QSize screenSize() const;
    uint32_t root() const { return m_root; }

    // The largest viewable window whose _NET_WM_PID is `pid` and, unless
    // `title` is empty, whose name is `title`; 0 when there is none yet.
    uint32_t findWindow(pid_t pid, const QString& title = {}) const;
    // The largest viewable window whose name starts with `titlePrefix`, for
    // programs that set no _NET_WM_PID; 0 when there is none yet.
    uint32_t findWindowTitled(const QString& titlePrefix) const;
    // Every window below `window`, depth first, parents before their children.
    QList<uint32_t> descendants(uint32_t window) const;
    // Top-level client windows the window manager lists in _NET_CLIENT_LIST.
    QList<uint32_t> managedClients() const;
    // The window's inside in root coordinates; empty once it is gone.
    QRect rootGeometry(uint32_t window) const;
    bool isViewable(uint32_t window) const;
    bool isOverrideRedirect(uint32_t window) const;
    // _NET_WM_PID, 0 when the window has none.
    pid_t ownerPid(uint32_t window) const;
    // _NET_WM_NAME, or WM_NAME when that is missing.
    QString title(uint32_t window) const;
    // Instance and class of WM_CLASS.
    QStringList classNames(uint32_t window) const;

    // Moves the pointer as a mouse would (raw motion included); returns once
    // the server has done it.
    void movePointer(QPoint rootPosition);
    // Moves the pointer without raw motion, as a program warping it does.
    void warpPointer(QPoint rootPosition);
    // Presses and releases `button` (4 scrolls up, 5 down) where the pointer is.
    void clickButton(int button);
    // Presses or releases `button` alone, e.g. to drag; returns once the server has done it.
    void setButton(int button, bool pressed);
    // Moves the pointer to `rootPosition` and clicks button 1 there.
    void click(QPoint rootPosition);
    // Presses the keys of `keysyms` in order, then releases them in reverse
    // order (e.g. Control_L, q). False when a key is not on the keyboard.
    bool pressKeys(const QList<uint32_t>& keysyms);
    QPoint pointerPosition() const;
    // Asks the window manager to minimise the client `window`, as its
    // title bar's button would.
    void iconify(uint32_t window);
    // _NET_ACTIVE_WINDOW, 0 when no window has the keyboard.
    uint32_t activeWindow() const;

    // What the server shows in `rootRect` (clipped to the screen), as RGB32.
    QImage grab(const QRect& rootRect) const;

    // Starts counting repaints of `window`; false without the DAMAGE extension.
    bool watchRepaints(uint32_t window);
    // Waits up to `timeoutMs` for a repaint of the watched window.
    bool waitForRepaint(int timeoutMs);
    // Repaints seen since the last call; does not block.
    int takeRepaintCount();

private:
    uint32_t largestViewable(const std::function<bool(uint32_t)>& accepts) const;
    bool handlePendingEvents();
    // A round trip: everything sent before has been handled by the server.
    void sync();
    QByteArray property(uint32_t window, uint32_t name, uint32_t type) const;
    uint32_t atom(const char* name) const;
    uint8_t keycodeOf(uint32_t keysym) const;
    // Sends one XTest event and lets the driven program see it on its own.
    void fakeInput(uint8_t type, uint8_t detail, QPoint rootPosition = {});

    xcb_connection_t* m_connection = nullptr;
    uint32_t m_root = 0;
    uint32_t m_damage = 0;
    uint8_t m_damageEventBase = 0;
    int m_repaints = 0;
    QString m_error;
};

} // namespace oculo::probe
