#pragma once

#include <QRect>
#include <QString>

#include <xcb/xcb.h>

#include <optional>
#include <vector>

namespace oculo::x11 {

// One RandR monitor in root-window device pixels.
struct MonitorGeometry {
    quint32 id = 0; // the monitor's name atom; 0 for the whole-screen fallback
    QString name;
    QRect device;
    bool primary = false;
};

struct MonitorList {
    std::vector<MonitorGeometry> monitors; // primary first, then in the server's order
    std::optional<QString> error;          // an X error or a lost connection
};

// Lists the active RandR monitors of `root`. Servers without RandR 1.5 report
// the whole root window as one monitor.
MonitorList queryMonitors(xcb_connection_t* connection, const xcb_screen_t& screen);

} // namespace oculo::x11
