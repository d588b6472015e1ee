#pragma once

// Ownership helpers for xcb handles. Internal to the X11 backend: only files
// under platform/x11 include this (and with it the xcb headers).

#include <QByteArray>
#include <QString>

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>

namespace oculo::x11 {

struct FreeDeleter {
    void operator()(void* pointer) const { std::free(pointer); }
};

// Every xcb reply and error is malloc'ed by libxcb and owned by the caller.
template <typename T>
using XcbReply = std::unique_ptr<T, FreeDeleter>;
using XcbError = XcbReply<xcb_generic_error_t>;

struct ConnectionCloser {
    void operator()(xcb_connection_t* connection) const { xcb_disconnect(connection); }
};

// xcb_connect never returns null: a failed connection is an object in an
// error state that still has to be disconnected.
using XcbConnection = std::unique_ptr<xcb_connection_t, ConnectionCloser>;

// A server-side resource of this connection, freed with `destroy` unless the
// connection is already gone (the server then frees it anyway).
template <auto destroy>
class ServerResource {
public:
    explicit ServerResource(xcb_connection_t* connection)
        : m_connection(connection)
        , m_id(xcb_generate_id(connection)) {}
    ~ServerResource() {
        if (xcb_connection_has_error(m_connection) == 0) {
            destroy(m_connection, m_id);
        }
    }
    ServerResource(const ServerResource&) = delete;
    ServerResource& operator=(const ServerResource&) = delete;

    quint32 id() const { return m_id; }

private:
    xcb_connection_t* m_connection;
    quint32 m_id;
};

struct ConnectedScreen {
    XcbConnection connection;
    xcb_screen_t* screen = nullptr; // owned by the connection's setup data
};

// Connects to `displayName` (empty: $DISPLAY) and finds its default screen.
// On failure `connection` may hold the failed connection and `screen` is null.
ConnectedScreen connectToDisplay(const QByteArray& displayName);

// One sentence naming the X error, for logs and `failed` descriptions.
QString describeXError(const xcb_generic_error_t& error);

// Whether the connection's server advertises the extension; the extension's
// data stays valid for the connection's lifetime.
const xcb_query_extension_reply_t* presentExtension(xcb_connection_t* connection,
                                                    xcb_extension_t* extension);

// Asks for XInput 2 raw motion of every master pointer on `root`: it arrives
// whichever window is under the pointer. The client must have announced XI 2
// through xcb_input_xi_query_version first. `selected` false stops it.
void selectRawMotion(xcb_connection_t* connection, xcb_window_t root, bool selected = true);

} // namespace oculo::x11
