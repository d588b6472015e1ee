#include "platform/x11/PointerBeacon.h"

namespace oculo::x11 {

namespace {
constexpr std::uint64_t publishedBit = std::uint64_t{1} << 63;
constexpr std::uint64_t positionBits = ~std::uint64_t{0xffffffff};

// A look stamped up to this long after the reader's clock is no time ago; a
// difference of nearly 2^32 ms is such a look, not a sighting 49 days old.
constexpr std::uint32_t aheadLimitMs = 60'000;

// Unsigned difference: right across the 32-bit wrap of the milliseconds.
std::chrono::milliseconds elapsed(std::uint32_t from, std::uint32_t to) {
    const auto difference = static_cast<std::uint32_t>(to - from);
    return std::chrono::milliseconds(difference > ~aheadLimitMs ? 0 : difference);
}
} // namespace

PointerBeacon& PointerBeacon::shared() {
    static PointerBeacon beacon;
    return beacon;
}

std::uint32_t PointerBeacon::millisecondsOf(Clock::time_point time) {
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
    return static_cast<std::uint32_t>(ms);
}

std::optional<QPoint> PointerBeacon::positionOf(std::uint64_t word) {
    if ((word & publishedBit) == 0) {
        return std::nullopt;
    }
    const auto x = static_cast<std::int16_t>(static_cast<std::uint16_t>(word >> 32));
    // y: 15 bits, sign restored.
    auto y = static_cast<int>((word >> 48) & 0x7fffu);
    if (y >= 0x4000) {
        y -= 0x8000;
    }
    return QPoint(x, y);
}

void PointerBeacon::publish(QPoint rootPosition, Clock::time_point when) {
    if (rootPosition.y() < -0x4000 || rootPosition.y() >= 0x4000) {
        m_word.store(0); // beyond what the word holds: readers ask the server
        return;
    }
    const auto x = static_cast<std::uint16_t>(rootPosition.x());
    const auto y = static_cast<std::uint16_t>(rootPosition.y()) & 0x7fffu;
    const std::uint64_t word =
        publishedBit | (std::uint64_t{y} << 48) | (std::uint64_t{x} << 32) | millisecondsOf(when);
    // The arrival first: a reader that sees the new position sees its arrival.
    if ((m_word.load() & positionBits) != (word & positionBits)) {
        m_arrivalMs.store(millisecondsOf(when));
    }
    m_word.store(word);
}

std::optional<PointerBeacon::Sighting>
PointerBeacon::last(std::optional<Clock::time_point> now) const {
    const std::uint64_t word = m_word.load();
    const std::uint32_t arrivalMs = m_arrivalMs.load();
    const std::optional<QPoint> position = positionOf(word);
    if (!position) {
        return std::nullopt;
    }
    const std::uint32_t nowMs = millisecondsOf(now.value_or(Clock::now()));
    const auto age = elapsed(static_cast<std::uint32_t>(word), nowMs);
    // A reader racing a move may pair the old position with the new arrival;
    // no position arrived after the look that found it.
    const auto stillFor = std::max(age, elapsed(arrivalMs, nowMs));
    return Sighting{*position, age, stillFor};
}

} // namespace oculo::x11
