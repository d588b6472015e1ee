#include "platform/x11/X11WarpRecord.h"

#include <xcb/record.h>
#include <xcb/xcbext.h>
#include <xcb/xinput.h>

namespace oculo::x11 {

std::unique_ptr<X11WarpRecord>
X11WarpRecord::open(xcb_connection_t* control, const QByteArray& displayName, uint8_t inputOpcode) {
    if (presentExtension(control, &xcb_record_id) == nullptr) {
        return nullptr;
    }
    const XcbReply<xcb_record_query_version_reply_t> version(
        xcb_record_query_version_reply(control, xcb_record_query_version(control, 1, 13), nullptr));
    ConnectedScreen data = connectToDisplay(displayName);
    if (!version || data.screen == nullptr) {
        return nullptr;
    }
    const xcb_record_context_t context = xcb_generate_id(control);
    xcb_record_range_t range{};
    range.core_requests = {XCB_WARP_POINTER, XCB_WARP_POINTER};
    range.ext_requests.major = {inputOpcode, inputOpcode};
    range.ext_requests.minor = {XCB_INPUT_XI_WARP_POINTER, XCB_INPUT_XI_WARP_POINTER};
    const xcb_record_client_spec_t everyone = XCB_RECORD_CS_ALL_CLIENTS;
    const XcbError error(xcb_request_check(
        control, xcb_record_create_context_checked(control, context, 0, 1, 1, &everyone, &range)));
    if (error) {
        return nullptr;
    }
    auto record = std::unique_ptr<X11WarpRecord>(new X11WarpRecord(std::move(data.connection)));
    record->m_stream = xcb_record_enable_context(record->m_connection.get(), context).sequence;
    xcb_flush(record->m_connection.get());
    return record;
}

bool X11WarpRecord::takeWarps() {
    bool warped = false;
    void* reply = nullptr;
    xcb_generic_error_t* error = nullptr;
    while (xcb_poll_for_reply(m_connection.get(), m_stream, &reply, &error) != 0) {
        const XcbReply<xcb_record_enable_context_reply_t> data(
            static_cast<xcb_record_enable_context_reply_t*>(reply));
        const XcbError failure(error);
        warped = warped || (data && data->category == fromClient) || failure;
        reply = nullptr;
        error = nullptr;
    }
    return warped || !isWorking();
}

} // namespace oculo::x11
