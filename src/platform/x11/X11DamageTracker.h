#pragma once

#include "platform/x11/XcbSupport.h"

#include <QRect>
#include <QString>

#include <xcb/damage.h>
#include <xcb/xfixes.h>

#include <memory>

namespace oculo::x11 {

class X11CaptureConnection;

// Tells whether the root window changed inside the grabbed rectangle, so that
// an unchanged screen costs no grab. With DAMAGE alone it knows only that
// something changed somewhere; XFixes regions tell where.
class X11DamageTracker {
public:
    explicit X11DamageTracker(const X11CaptureConnection& connection);

    // False without DAMAGE: nothing reports changes, every frame slot grabs.
    bool isTracking() const { return m_damage != nullptr; }
    // The server reported damage not yet looked at.
    bool isPending() const { return m_pending; }
    void notePending() { m_pending = true; }

    enum class Change { None, Inside, Failed };
    // Re-arms the report and says whether the damage touched `grab`; while
    // `grabbing` anyway, without the round trip that tells where.
    Change take(bool grabbing, const QRect& grab, QString* failure);

private:
    using DamageObject = ServerResource<xcb_damage_destroy>;
    using RegionObject = ServerResource<xcb_xfixes_destroy_region>;

    const X11CaptureConnection& m_connection;
    std::unique_ptr<DamageObject> m_damage;
    std::unique_ptr<RegionObject> m_damagedParts;
    bool m_pending = false;
};

} // namespace oculo::x11
