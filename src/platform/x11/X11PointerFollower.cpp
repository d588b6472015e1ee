#include "platform/x11/X11PointerFollower.h"

#include "picture/FrameScaler.h"
#include "picture/PictureBlend.h"
#include "platform/x11/PointerBeacon.h"
#include "platform/x11/X11CaptureConnection.h"

namespace oculo::x11 {
namespace {

QRect cursorRectOf(const xcb_xfixes_get_cursor_image_reply_t& cursor) {
    return QRect(cursor.x - cursor.xhot, cursor.y - cursor.yhot, cursor.width, cursor.height);
}

} // namespace

X11PointerFollower::X11PointerFollower(const X11CaptureConnection& connection)
    : m_connection(connection) {
    if (connection.xfixes() != nullptr) {
        xcb_xfixes_select_cursor_input(connection.get(), connection.root(),
                                       XCB_XFIXES_CURSOR_NOTIFY_MASK_DISPLAY_CURSOR);
    }
    if (connection.input() != nullptr) {
        selectRawMotion(connection.get(), connection.root());
    }
}

std::optional<QPoint> X11PointerFollower::configure(bool showsCursor, bool follows) {
    m_showsCursor = showsCursor;
    m_follows = follows;
    m_drawsCursor = showsCursor && m_connection.xfixes() != nullptr;
    if (!follows) {
        m_position.reset();
        return std::nullopt;
    }
    m_check = true; // where the pointer is now, before the next frame
    return m_position;
}

bool X11PointerFollower::requestLook() {
    m_requests.fetch_add(1);
    return !m_watching.load();
}

void X11PointerFollower::takeRequests() {
    m_check = m_requests.load() != m_seenRequests || m_check;
}

bool X11PointerFollower::look(const QRect& display, Look* look, QString* failure) {
    const unsigned requests = m_requests.load();
    if (requests != m_seenRequests) {
        m_seenRequests = requests;
        m_check = true;
    }
    if (!m_check && !m_active) {
        return true;
    }
    m_check = false;
    if (!m_drawsCursor && !m_follows) {
        setActive(false);
        return true;
    }
    // The cursor image tells where the pointer is too; one round trip either way.
    xcb_connection_t* c = m_connection.get();
    xcb_generic_error_t* rawError = nullptr;
    std::optional<QPoint> position;
    if (m_drawsCursor) {
        m_freshCursor.reset(
            xcb_xfixes_get_cursor_image_reply(c, xcb_xfixes_get_cursor_image(c), &rawError));
        if (m_freshCursor) {
            position = QPoint(m_freshCursor->x, m_freshCursor->y);
        }
    } else {
        const XcbReply<xcb_query_pointer_reply_t> pointer(
            xcb_query_pointer_reply(c, xcb_query_pointer(c, m_connection.root()), &rawError));
        if (pointer) {
            position = QPoint(pointer->root_x, pointer->root_y);
        }
    }
    const XcbError error(rawError);
    if (!position) {
        *failure = error ? describeXError(*error) : m_connection.lostText();
        return false;
    }
    PointerBeacon::shared().publish(*position);
    look->looked = true;
    const bool outside = m_follows && !display.contains(*position);
    look->leftDisplay = outside && !m_outside;
    m_outside = outside;
    if (m_follows && position != m_position) {
        m_position = position;
        look->followedTo = position;
    }
    return true;
}

bool X11PointerFollower::settle(const QRect& grab, bool followed) {
    bool moved = followed;
    bool changesPicture = false;
    if (m_drawsCursor) {
        const QRect rect = cursorRectOf(*m_freshCursor);
        const bool changed =
            rect != m_lastCursorRect || m_freshCursor->cursor_serial != m_lastCursorSerial;
        // Moving inside, entering or leaving the rectangle all change the picture.
        changesPicture = changed && (rect.intersects(grab) || m_lastCursorRect.intersects(grab));
        moved = moved || rect != m_lastCursorRect;
        m_lastCursorRect = rect;
        m_lastCursorSerial = m_freshCursor->cursor_serial;
    }
    setActive(moved);
    return changesPicture;
}

void X11PointerFollower::setActive(bool active) {
    if (active == m_active) {
        return;
    }
    m_active = active;
    m_watching.store(active);
    if (m_connection.input() != nullptr) {
        // Every frame slot looks while the pointer moves: its motion events
        // would only be delivered and read. Selected again at rest, a move
        // made before that took effect is seen by one more look.
        selectRawMotion(m_connection.get(), m_connection.root(), !active);
        m_check = m_check || !active;
    }
    // A request made just before the flag fell found it still raised and did
    // not wake this thread: take it now.
    if (!active && m_requests.load() != m_seenRequests) {
        m_check = true;
    }
}

std::optional<xcb_xfixes_get_cursor_image_cookie_t> X11PointerFollower::askCursorImage() {
    if (!m_drawsCursor || m_freshCursor) {
        return std::nullopt;
    }
    return xcb_xfixes_get_cursor_image(m_connection.get());
}

void X11PointerFollower::receiveCursorImage(xcb_xfixes_get_cursor_image_cookie_t cookie) {
    m_freshCursor.reset(xcb_xfixes_get_cursor_image_reply(m_connection.get(), cookie, nullptr));
}

void X11PointerFollower::drawCursor(uchar* pixels, qsizetype stride, const QRect& grab) {
    if (m_drawsCursor && m_freshCursor) {
        const QRect rect = cursorRectOf(*m_freshCursor);
        const int available = xcb_xfixes_get_cursor_image_cursor_image_length(m_freshCursor.get());
        if (qsizetype(available) >= qsizetype(rect.width()) * rect.height()) {
            blendPremultiplied(pixels, stride, grab,
                               xcb_xfixes_get_cursor_image_cursor_image(m_freshCursor.get()), rect);
        }
        m_lastCursorRect = rect;
        m_lastCursorSerial = m_freshCursor->cursor_serial;
    }
    m_freshCursor.reset();
}

} // namespace oculo::x11
