#include "platform/FocusFilter.h"

#include "common/Geometry.h"

#include <cmath>

namespace oculo {

namespace {

// Toolkits report offscreen or unknown places as huge or sentinel numbers.
constexpr double farestCoordinate = 1e6;

bool plausible(const FocusEvent& event) {
    const QRectF& box = event.extents;
    if (!geometry::isFinite(box) || std::abs(box.x()) > farestCoordinate ||
        std::abs(box.y()) > farestCoordinate || box.width() < 0 || box.height() < 0) {
        return false;
    }
    if (event.type == FocusEvent::Type::caret) {
        // At the end of a line a box may have no width, never no height.
        return box.height() > 0 && box.height() <= maximumCaretSide &&
               box.width() <= maximumCaretSide;
    }
    return box.width() > 0 && box.height() > 0;
}

} // namespace

FocusVerdict judgeFocusEvent(const FocusEvent& event) {
    if (event.fromOculo) {
        return FocusVerdict::fromOculo;
    }
    if (!event.inActiveWindow || !event.focused ||
        (event.type == FocusEvent::Type::caret &&
         (!event.fromFocusedObject || event.caretUnmoved))) {
        return FocusVerdict::background;
    }
    if (!event.showing || !event.visible) {
        return FocusVerdict::hidden;
    }
    if (event.collapsedMenu) {
        return FocusVerdict::collapsedMenu;
    }
    return plausible(event) ? FocusVerdict::follow : FocusVerdict::implausibleExtents;
}

} // namespace oculo
