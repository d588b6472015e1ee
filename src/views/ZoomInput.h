#pragma once

#include <QString>
#include <QtGlobal>

class QKeyEvent;
class QWheelEvent;

namespace oculo {

class MagnifierState;

// Turns scroll-wheel and plus/minus key input over a magnifier into zoom steps
// of MagnifierState::zoomStep, clamped to the zoom range: one step per key
// press and per wheel notch (120 units of angle), so the many small deltas of
// a touchpad or high-resolution wheel add up instead of each making a step.
class ZoomInput {
public:
    explicit ZoomInput(MagnifierState& state)
        : m_state(state) {}

    static constexpr int anglePerStep = 120; // one notch of a common wheel

    // Positive vertical delta (in eighths of a degree) zooms in, negative zooms
    // out. Wheel events are always consumed.
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
    qint64 m_pendingAngle = 0; // less than a step, in the direction last turned
};

} // namespace oculo
