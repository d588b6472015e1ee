#pragma once

#include <QPoint>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>

namespace oculo::x11 {

// Where a capture thread last saw the pointer, in root pixels. While the
// pointer moves, capture threads look at it before every frame anyway; the
// GUI thread's pointer samples read it here instead of making a round trip
// of their own. Lock-free: one 64-bit word holds the position and the time of
// the last look, another when the pointer arrived there.
class PointerBeacon {
public:
    using Clock = std::chrono::steady_clock;

    struct Sighting {
        QPoint position;
        std::chrono::milliseconds age;      // since the last look
        std::chrono::milliseconds stillFor; // since it was first seen there
    };

    static PointerBeacon& shared();

    void publish(QPoint rootPosition, Clock::time_point when = Clock::now());
    // The last position published, however old. Without `now` the clock is
    // read after the values, so a publish in between makes no look "later".
    std::optional<Sighting> last(std::optional<Clock::time_point> now = std::nullopt) const;

private:
    static std::uint32_t millisecondsOf(Clock::time_point time);
    static std::optional<QPoint> positionOf(std::uint64_t word);

    // Bit 63: set once published; bits 32-47 and 48-62: x and y (X's 16-bit
    // coordinates, y without its sign bit); bits 0-31: milliseconds, wrapping.
    std::atomic<std::uint64_t> m_word{0};
    // When the position in the word was first published. Written apart from
    // the word, before it: a reader racing a move may see a newer arrival (a
    // stop then counts from a frame late), never an older one.
    std::atomic<std::uint32_t> m_arrivalMs{0};
};

} // namespace oculo::x11
