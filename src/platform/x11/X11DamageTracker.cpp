#include "platform/x11/X11DamageTracker.h"

#include "platform/x11/X11CaptureConnection.h"

namespace oculo::x11 {

X11DamageTracker::X11DamageTracker(const X11CaptureConnection& connection)
    : m_connection(connection) {
    xcb_connection_t* c = connection.get();
    if (connection.damage() != nullptr) {
        m_damage = std::make_unique<DamageObject>(c);
        xcb_damage_create(c, m_damage->id(), connection.root(), XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
    }
    if (connection.xfixes() != nullptr) {
        m_damagedParts = std::make_unique<RegionObject>(c);
        xcb_xfixes_create_region(c, m_damagedParts->id(), 0, nullptr);
    }
}

X11DamageTracker::Change X11DamageTracker::take(bool grabbing, const QRect& grab,
                                                QString* failure) {
    if (!m_pending) {
        return Change::None;
    }
    m_pending = false;
    xcb_connection_t* c = m_connection.get();
    if (grabbing || !m_damagedParts) {
        // Grabbing anyway (or unable to tell where): just re-arm the notification.
        xcb_damage_subtract(c, m_damage->id(), XCB_NONE, XCB_NONE);
        return Change::Inside;
    }
    xcb_damage_subtract(c, m_damage->id(), XCB_NONE, m_damagedParts->id());
    xcb_generic_error_t* rawError = nullptr;
    const XcbReply<xcb_xfixes_fetch_region_reply_t> region(xcb_xfixes_fetch_region_reply(
        c, xcb_xfixes_fetch_region(c, m_damagedParts->id()), &rawError));
    const XcbError error(rawError);
    if (!region) {
        *failure = error ? describeXError(*error) : m_connection.lostText();
        return Change::Failed;
    }
    const xcb_rectangle_t* rects = xcb_xfixes_fetch_region_rectangles(region.get());
    const int count = xcb_xfixes_fetch_region_rectangles_length(region.get());
    for (int i = 0; i < count; ++i) {
        if (QRect(rects[i].x, rects[i].y, rects[i].width, rects[i].height).intersects(grab)) {
            return Change::Inside;
        }
    }
    return Change::None;
}

} // namespace oculo::x11
