#include "platform/x11/X11Monitors.h"

#include "platform/x11/XcbSupport.h"

#include <xcb/randr.h>

#include <algorithm>

namespace oculo::x11 {
namespace {

MonitorGeometry wholeScreen(const xcb_screen_t& screen) {
    return MonitorGeometry{0, QStringLiteral("screen"),
                           QRect(0, 0, screen.width_in_pixels, screen.height_in_pixels), true};
}

bool hasMonitorRequests(xcb_connection_t* connection) {
    if (presentExtension(connection, &xcb_randr_id) == nullptr) {
        return false;
    }
    const XcbReply<xcb_randr_query_version_reply_t> version(xcb_randr_query_version_reply(
        connection, xcb_randr_query_version(connection, 1, 5), nullptr));
    return version && (version->major_version > 1 ||
                       (version->major_version == 1 && version->minor_version >= 5));
}

} // namespace

MonitorList queryMonitors(xcb_connection_t* connection, const xcb_screen_t& screen) {
    MonitorList result;
    if (!hasMonitorRequests(connection)) {
        if (xcb_connection_has_error(connection) != 0) {
            result.error = QStringLiteral("The connection to the X server was lost.");
        } else {
            result.monitors.push_back(wholeScreen(screen));
        }
        return result;
    }

    xcb_generic_error_t* rawError = nullptr;
    const XcbReply<xcb_randr_get_monitors_reply_t> reply(xcb_randr_get_monitors_reply(
        connection, xcb_randr_get_monitors(connection, screen.root, 1), &rawError));
    const XcbError error(rawError);
    if (!reply) {
        result.error = error ? describeXError(*error)
                             : QStringLiteral("The connection to the X server was lost.");
        return result;
    }

    // Ask for every name first and collect the answers afterwards: one round trip.
    std::vector<MonitorGeometry> monitors;
    std::vector<xcb_get_atom_name_cookie_t> nameCookies;
    for (auto it = xcb_randr_get_monitors_monitors_iterator(reply.get()); it.rem > 0;
         xcb_randr_monitor_info_next(&it)) {
        const xcb_randr_monitor_info_t& info = *it.data;
        monitors.push_back(MonitorGeometry{info.name, QString(),
                                           QRect(info.x, info.y, info.width, info.height),
                                           info.primary != 0});
        nameCookies.push_back(xcb_get_atom_name(connection, info.name));
    }
    for (std::size_t i = 0; i < monitors.size(); ++i) {
        const XcbReply<xcb_get_atom_name_reply_t> name(
            xcb_get_atom_name_reply(connection, nameCookies[i], nullptr));
        monitors[i].name = name ? QString::fromUtf8(xcb_get_atom_name_name(name.get()),
                                                    xcb_get_atom_name_name_length(name.get()))
                                : QStringLiteral("monitor-%1").arg(monitors[i].id);
    }
    if (xcb_connection_has_error(connection) != 0) {
        result.error = QStringLiteral("The connection to the X server was lost.");
        return result;
    }
    std::stable_partition(monitors.begin(), monitors.end(),
                          [](const MonitorGeometry& m) { return m.primary; });
    result.monitors = std::move(monitors);
    return result;
}

} // namespace oculo::x11
