#pragma once

#include <QList>
#include <QPoint>
#include <QRect>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <memory>
#include <sys/types.h>

struct xcb_connection_t;

namespace oculo::test {

// A client of its own on the test's X server that looks at other programs'
// windows and drives them through XTest, as a user at the screen would.
// Window ids are plain X ids; positions are root-window pixels.
class TrayTestDisplay {
public:
    TrayTestDisplay(); // connects to $DISPLAY
    ~TrayTestDisplay();

    TrayTestDisplay(const TrayTestDisplay&) = delete;
    TrayTestDisplay& operator=(const TrayTestDisplay&) = delete;

    bool isConnected() const;
    uint32_t root() const { return m_root; }

    // Every window below `window`, depth first, parents before their children.
    QList<uint32_t> descendants(uint32_t window) const;
    // Top-level client windows the window manager lists in _NET_CLIENT_LIST.
    QList<uint32_t> managedClients() const;

    bool isViewable(uint32_t window) const;
    bool isOverrideRedirect(uint32_t window) const;
    // The window's inside in root coordinates; empty once it is gone.
    QRect rootGeometry(uint32_t window) const;
    // _NET_WM_PID, 0 when the window has none.
    pid_t ownerPid(uint32_t window) const;
    // _NET_WM_NAME, or WM_NAME when that is missing.
    QString title(uint32_t window) const;
    // Instance and class of WM_CLASS.
    QStringList classNames(uint32_t window) const;

    // Moves the pointer to `position` and clicks button 1 there.
    void click(QPoint position);
    // Presses the keys of `keysyms` in order, then releases them in reverse
    // order (e.g. Control_L, q). False when a key is not on the keyboard.
    bool pressKeys(const QList<uint32_t>& keysyms);

private:
    struct Connection;

    QByteArray property(uint32_t window, uint32_t name, uint32_t type) const;
    uint32_t atom(const char* name) const;
    uint8_t keycodeOf(uint32_t keysym) const;
    void fakeInput(uint8_t type, uint8_t detail, QPoint position = {});

    std::unique_ptr<Connection> m_connection;
    uint32_t m_root = 0;
};

} // namespace oculo::test
