#pragma once

#include "platform/x11/XcbSupport.h"

#include <QPoint>
#include <QRect>
#include <QString>

#include <xcb/xfixes.h>

#include <atomic>
#include <optional>

namespace oculo::x11 {

class X11CaptureConnection;

// Where the pointer is and what it looks like, for a capture thread: it
// looks before a frame when the server reported motion or a new cursor shape,
// when asked to (a warp sends nothing), and every frame slot while the
// pointer moves. Each look is published to the PointerBeacon, and the cursor
// image it fetched is drawn into the frame that follows.
class X11PointerFollower {
public:
    explicit X11PointerFollower(const X11CaptureConnection& connection);

    // A new configuration. Returns where a followed rectangle is centred now,
    // if the pointer was seen already.
    std::optional<QPoint> configure(bool showsCursor, bool follows);
    bool drawsCursor() const { return m_drawsCursor; }

    // Before the first frame: where the pointer is and what it looks like.
    void lookFirst() { m_check = m_showsCursor || m_follows; }
    // The server said the pointer moved or changed shape.
    void noteMotion() { m_check = true; }
    // Whether the next frame slot must look.
    bool isDue() const { return m_check || m_active; }

    // Any thread. Returns whether the capture thread has to be woken for it:
    // not while it looks every frame slot anyway.
    bool requestLook();
    // On the capture thread with the session's requests.
    void takeRequests();

    struct Look {
        bool looked = false;              // false: not due, or nothing to look for
        bool leftDisplay = false;         // a followed pointer went out of `display`
        std::optional<QPoint> followedTo; // a followed pointer moved here
    };
    // Looks at the pointer if due. False with `failure` filled when the
    // server failed.
    bool look(const QRect& display, Look* look, QString* failure);
    // After a look and after the rectangle was placed: whether the cursor
    // changed the picture of `grab`.
    bool settle(const QRect& grab, bool followed);

    // The cursor image for a frame is asked for along with its grab, unless
    // the last look fetched it already.
    std::optional<xcb_xfixes_get_cursor_image_cookie_t> askCursorImage();
    void receiveCursorImage(xcb_xfixes_get_cursor_image_cookie_t cookie);
    // Draws the cursor image fetched for this frame onto the grabbed pixels.
    void drawCursor(uchar* pixels, qsizetype stride, const QRect& grab);
    // An image not drawn in its frame slot would be stale by the next one.
    void dropCursorImage() { m_freshCursor.reset(); }

private:
    void setActive(bool active);

    const X11CaptureConnection& m_connection;
    bool m_showsCursor = false;
    bool m_follows = false;
    bool m_drawsCursor = false; // shown, and XFixes can fetch it

    XcbReply<xcb_xfixes_get_cursor_image_reply_t> m_freshCursor; // fetched this tick, not yet drawn
    QRect m_lastCursorRect;
    quint32 m_lastCursorSerial = 0;

    bool m_check = false; // the pointer may have moved or changed shape
    // Root pixel of the pointer at the last look, while the rectangle follows it.
    std::optional<QPoint> m_position;
    // The pointer moved at the last look: every frame slot looks again, without
    // waiting for (or waking on) the server's motion events.
    bool m_active = false;
    bool m_outside = false; // of the display, when last looked at while following

    // Raised by requestLook(); the wake-up is skipped while the capture
    // thread looks at the pointer every frame slot anyway.
    std::atomic<unsigned> m_requests{0};
    std::atomic<bool> m_watching{false};
    unsigned m_seenRequests = 0;
};

} // namespace oculo::x11
