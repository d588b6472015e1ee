#pragma once

#include <QString>

class QKeyEvent;
class QWheelEvent;

namespace oculo {

class MagnifierState;

// Turns scroll-wheel and plus/minus key input over a magnifier into zoom steps.
// One event is one step of MagnifierState::zoomStep, clamped to the zoom range.
class ZoomInput {
public:
    explicit ZoomInput(MagnifierState& state)
        : m_state(state) {}

    // Positive vertical delta zooms in, negative zooms out, zero does nothing.
    // Wheel events are always consumed.
    void wheel(int verticalDelta);
    void wheel(const QWheelEvent& event);

    // "+" or "=" zoom in, "-" or "_" zoom out. Returns false for anything else,
    // which the caller passes on.
    bool key(const QString& characters);
    bool key(const QKeyEvent& event);

    // The characters a key produces without Control or Meta, from the event's
    // text or, when modifiers turned that into a control character, its key.
    static QString charactersIgnoringModifiers(const QKeyEvent& event);

private:
    MagnifierState& m_state;
};

} // namespace oculo
