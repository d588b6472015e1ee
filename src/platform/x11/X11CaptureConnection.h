#pragma once

#include "platform/x11/XcbSupport.h"

#include <QByteArray>
#include <QString>

namespace oculo::x11 {

// A capture session's own X connection, with the extensions it can use at
// the versions it needs. Events on the root window that move or remove a
// display (a resized root, changed outputs) are selected from the start.
class X11CaptureConnection {
public:
    // False with `error` filled when the server cannot be reached or its
    // pixel format cannot be captured; the object is unusable then.
    bool open(const QByteArray& displayName, QString* error);

    xcb_connection_t* get() const { return m_connection.get(); }
    const xcb_screen_t& screen() const { return *m_screen; }
    xcb_window_t root() const { return m_screen->root; }

    // Null when missing or too old; capture then does without.
    const xcb_query_extension_reply_t* damage() const { return m_damage; }
    const xcb_query_extension_reply_t* xfixes() const { return m_xfixes; }
    const xcb_query_extension_reply_t* input() const { return m_input; }
    const xcb_query_extension_reply_t* randr() const { return m_randr; }

    // Why the connection is broken, as a sentence for the user.
    QString lostText() const;

private:
    XcbConnection m_connection;
    const xcb_screen_t* m_screen = nullptr;
    const xcb_query_extension_reply_t* m_damage = nullptr;
    const xcb_query_extension_reply_t* m_xfixes = nullptr;
    const xcb_query_extension_reply_t* m_input = nullptr;
    const xcb_query_extension_reply_t* m_randr = nullptr;
};

} // namespace oculo::x11
