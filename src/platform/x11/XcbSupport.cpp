#include "platform/x11/XcbSupport.h"

#include <xcb/xinput.h>

namespace oculo::x11 {

ConnectedScreen connectToDisplay(const QByteArray& displayName) {
    ConnectedScreen result;
    int screenNumber = 0;
    result.connection.reset(
        xcb_connect(displayName.isEmpty() ? nullptr : displayName.constData(), &screenNumber));
    if (!result.connection || xcb_connection_has_error(result.connection.get()) != 0) {
        return result;
    }
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(result.connection.get()));
    for (int i = 0; it.rem > 0; ++i, xcb_screen_next(&it)) {
        if (i == screenNumber) {
            result.screen = it.data;
            break;
        }
    }
    return result;
}

QString describeXError(const xcb_generic_error_t& error) {
    return QStringLiteral("X error %1 (request %2.%3, resource 0x%4)")
        .arg(error.error_code)
        .arg(error.major_code)
        .arg(error.minor_code)
        .arg(error.resource_id, 0, 16);
}

const xcb_query_extension_reply_t* presentExtension(xcb_connection_t* connection,
                                                    xcb_extension_t* extension) {
    const xcb_query_extension_reply_t* data = xcb_get_extension_data(connection, extension);
    return data != nullptr && data->present != 0 ? data : nullptr;
}

void selectRawMotion(xcb_connection_t* connection, xcb_window_t root, bool selected) {
    struct {
        xcb_input_event_mask_t head;
        uint32_t bits;
    } mask{{XCB_INPUT_DEVICE_ALL_MASTER, 1},
           selected ? uint32_t{XCB_INPUT_XI_EVENT_MASK_RAW_MOTION} : uint32_t{0}};
    xcb_input_xi_select_events(connection, root, 1, &mask.head);
}

} // namespace oculo::x11
