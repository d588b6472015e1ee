#include "platform/x11/X11DisplayCheck.h"

#include <xcb/xcb.h>

#include <cstdlib>

namespace oculo::x11 {

std::optional<QString> displayUnavailableReason() {
    const char* display = std::getenv("DISPLAY");
    if (display == nullptr || *display == '\0') {
        return QStringLiteral(
            "Oculo needs an X11 display, but none is set (the DISPLAY variable is empty).");
    }
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    const bool failed = xcb_connection_has_error(connection) != 0;
    xcb_disconnect(connection);
    if (failed) {
        return QStringLiteral("Oculo could not open the X11 display %1.")
            .arg(QString::fromLocal8Bit(display));
    }
    return std::nullopt;
}

} // namespace oculo::x11
