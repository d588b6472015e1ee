#pragma once

#include "platform/x11/XcbSupport.h"

#include <QByteArray>

#include <cstdint>
#include <memory>

namespace oculo::x11 {

// Hears of every warp as it happens, from any client, through the RECORD
// extension: a context intercepts the core and XInput 2 warp requests, and
// its stream of replies arrives on a connection of its own, so a resting
// pointer costs no wake-up at all.
class X11WarpRecord {
public:
    // Null without RECORD. `control` creates the context; `inputOpcode` is
    // XInput's major opcode there.
    static std::unique_ptr<X11WarpRecord> open(xcb_connection_t* control,
                                               const QByteArray& displayName, uint8_t inputOpcode);

    int fd() const { return xcb_get_file_descriptor(m_connection.get()); }

    // Reads what has arrived; true when it told of a warp or the connection
    // broke (a listener must not wait for reports that will never come).
    bool takeWarps();

    bool isWorking() const { return xcb_connection_has_error(m_connection.get()) == 0; }

private:
    static constexpr uint8_t fromClient = 1; // an intercepted request; xcb names no categories

    explicit X11WarpRecord(XcbConnection connection)
        : m_connection(std::move(connection)) {}

    XcbConnection m_connection;
    unsigned int m_stream = 0;
};

} // namespace oculo::x11
