#pragma once

#include <QByteArray>
#include <QImage>
#include <QPoint>
#include <QRect>
#include <QString>

#include <cstdint>
#include <sys/types.h>

struct xcb_connection_t;

namespace oculo::bench {

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

    // The largest viewable window whose _NET_WM_PID is `pid` and, unless
    // `title` is empty, whose name is `title`; 0 when there is none yet.
    uint32_t findWindow(pid_t pid, const QString& title = {}) const;
    // The window's inside in root coordinates; empty once it is gone.
    QRect rootGeometry(uint32_t window) const;

    void movePointer(QPoint rootPosition);
    // Presses and releases `button` (4 scrolls up, 5 down) where the pointer is.
    void clickButton(int button);
    QPoint pointerPosition() const;

    // What the server shows in `rootRect` (clipped to the screen), as RGB32.
    QImage grab(const QRect& rootRect) const;

    // Starts counting repaints of `window`; false without the DAMAGE extension.
    bool watchRepaints(uint32_t window);
    // Waits up to `timeoutMs` for a repaint of the watched window.
    bool waitForRepaint(int timeoutMs);
    // Repaints seen since the last call; does not block.
    int takeRepaintCount();

private:
    bool handlePendingEvents();

    xcb_connection_t* m_connection = nullptr;
    uint32_t m_root = 0;
    uint32_t m_damage = 0;
    uint8_t m_damageEventBase = 0;
    int m_repaints = 0;
    QString m_error;
};

} // namespace oculo::bench
