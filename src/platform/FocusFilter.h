#pragma once

#include <QRectF>

namespace oculo {

// What the accessibility layer said about one keyboard event and the object it
// names: for a focus event the object that took the focus, for a caret event
// the text holding the caret, for a new active descendant that descendant.
struct FocusEvent {
    enum class Type { focus, caret, activeDescendant };
    Type type = Type::focus;
    // Holds the keyboard focus (a new active descendant: its container does).
    bool focused = false;
    bool showing = false;
    bool visible = false;
    // A menu, or an item of one, whose menu is not open.
    bool collapsedMenu = false;
    // The application of the window the user works in, or none is known yet.
    bool inActiveWindow = true;
    bool fromOculo = false;
    // Caret: the text that has the keyboard focus sent it.
    bool fromFocusedObject = true;
    // Caret: it stands where it stood at the last event of that text, so the
    // text changed around it (output) rather than the caret moving.
    bool caretUnmoved = false;
    QRectF extents; // the character box or the control's extents, global
};

// Why an event is followed or not; the first failing rule wins.
enum class FocusVerdict {
    follow,
    fromOculo,
    background, // another window, another object, or text changing by itself
    hidden,
    collapsedMenu,
    implausibleExtents,
};

// No caret box is this large in either direction, whatever the font.
constexpr double maximumCaretSide = 400.0;

FocusVerdict judgeFocusEvent(const FocusEvent& event);

} // namespace oculo
