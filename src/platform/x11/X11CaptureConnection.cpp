#include "platform/x11/X11CaptureConnection.h"

#include <xcb/damage.h>
#include <xcb/randr.h>
#include <xcb/xfixes.h>
#include <xcb/xinput.h>

#include <optional>

namespace oculo::x11 {
namespace {

// Only 32-bit little-endian xRGB is converted; it is what every current X
// server uses for depth 24 and 32 screens.
bool screenFormatSupported(const xcb_setup_t* setup, const xcb_screen_t& screen) {
    if (setup->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST) {
        return false;
    }
    bool thirtyTwoBits = false;
    for (auto it = xcb_setup_pixmap_formats_iterator(setup); it.rem > 0; xcb_format_next(&it)) {
        if (it.data->depth == screen.root_depth) {
            thirtyTwoBits = it.data->bits_per_pixel == 32 && it.data->scanline_pad == 32;
        }
    }
    if (!thirtyTwoBits) {
        return false;
    }
    for (auto depth = xcb_screen_allowed_depths_iterator(&screen); depth.rem > 0;
         xcb_depth_next(&depth)) {
        for (auto visual = xcb_depth_visuals_iterator(depth.data); visual.rem > 0;
             xcb_visualtype_next(&visual)) {
            if (visual.data->visual_id == screen.root_visual) {
                return visual.data->red_mask == 0xff0000u && visual.data->green_mask == 0xff00u &&
                       visual.data->blue_mask == 0xffu;
            }
        }
    }
    return false;
}

} // namespace

bool X11CaptureConnection::open(const QByteArray& displayName, QString* error) {
    ConnectedScreen connected = connectToDisplay(displayName);
    if (connected.screen == nullptr) {
        *error = QStringLiteral("Could not connect to the X server.");
        return false;
    }
    m_connection = std::move(connected.connection);
    m_screen = connected.screen;
    xcb_connection_t* c = m_connection.get();
    if (!screenFormatSupported(xcb_get_setup(c), *m_screen)) {
        *error = QStringLiteral("The X screen's pixel format (depth %1) cannot be captured.")
                     .arg(m_screen->root_depth);
        return false;
    }

    // Ask every extension for its version in one round trip.
    m_damage = presentExtension(c, &xcb_damage_id);
    m_xfixes = presentExtension(c, &xcb_xfixes_id);
    m_input = presentExtension(c, &xcb_input_id);
    // A request of a missing extension makes xcb close the connection, so
    // only present ones are asked; without them capture runs on its timer.
    std::optional<xcb_damage_query_version_cookie_t> damageCookie;
    std::optional<xcb_xfixes_query_version_cookie_t> xfixesCookie;
    std::optional<xcb_input_xi_query_version_cookie_t> inputCookie;
    if (m_damage != nullptr) {
        damageCookie = xcb_damage_query_version(c, 1, 1);
    }
    if (m_xfixes != nullptr) {
        xfixesCookie = xcb_xfixes_query_version(c, 5, 0);
    }
    if (m_input != nullptr) {
        inputCookie = xcb_input_xi_query_version(c, 2, 2);
    }
    const XcbReply<xcb_damage_query_version_reply_t> damageVersion(
        damageCookie ? xcb_damage_query_version_reply(c, *damageCookie, nullptr) : nullptr);
    const XcbReply<xcb_xfixes_query_version_reply_t> xfixesVersion(
        xfixesCookie ? xcb_xfixes_query_version_reply(c, *xfixesCookie, nullptr) : nullptr);
    const XcbReply<xcb_input_xi_query_version_reply_t> inputVersion(
        inputCookie ? xcb_input_xi_query_version_reply(c, *inputCookie, nullptr) : nullptr);
    if (!damageVersion) {
        m_damage = nullptr;
    }
    if (!xfixesVersion || xfixesVersion->major_version < 2) {
        m_xfixes = nullptr;
    }
    if (!inputVersion || inputVersion->major_version < 2) {
        m_input = nullptr;
    }

    // A resized root window or a changed output may move or remove the display.
    const uint32_t rootEvents = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    xcb_change_window_attributes(c, root(), XCB_CW_EVENT_MASK, &rootEvents);
    m_randr = presentExtension(c, &xcb_randr_id);
    if (m_randr != nullptr) {
        xcb_randr_select_input(c, root(),
                               XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE |
                                   XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE |
                                   XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE);
    }
    return true;
}

// xcb closes the connection for more than a lost server; say which it was.
QString X11CaptureConnection::lostText() const {
    switch (xcb_connection_has_error(m_connection.get())) {
    case XCB_CONN_CLOSED_EXT_NOTSUPPORTED:
        return QStringLiteral("The X server does not support an extension that capture used.");
    case XCB_CONN_CLOSED_MEM_INSUFFICIENT:
        return QStringLiteral("There was not enough memory to talk to the X server.");
    case XCB_CONN_CLOSED_REQ_LEN_EXCEED:
        return QStringLiteral("A capture request was too large for the X server.");
    default:
        return QStringLiteral("The connection to the X server was lost.");
    }
}

} // namespace oculo::x11
