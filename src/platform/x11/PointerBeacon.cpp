#include "platform/x11/PointerBeacon.h"

namespace oculo::x11 {

namespace {
constexpr std::uint64_t publishedBit = std::uint64_t{1} << 63;
}

PointerBeacon& PointerBeacon::shared() {
    static PointerBeacon beacon;
    return beacon;
}

std::uint32_t PointerBeacon::millisecondsOf(Clock::time_point time) {
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
    return static_cast<std::uint32_t>(ms);
}

void PointerBeacon::publish(QPoint rootPosition, Clock::time_point when) {
    if (rootPosition.y() < -0x4000 || rootPosition.y() >= 0x4000) {
        m_word.store(0); // beyond what the word holds: readers ask the server
        return;
    }
    const auto x = static_cast<std::uint16_t>(rootPosition.x());
    const auto y = static_cast<std::uint16_t>(rootPosition.y()) & 0x7fffu;
    m_word.store(publishedBit | (std::uint64_t{y} << 48) | (std::uint64_t{x} << 32) |
                 millisecondsOf(when));
}

std::optional<QPoint> PointerBeacon::recent(std::chrono::milliseconds maxAge,
                                            Clock::time_point now) const {
    const std::uint64_t word = m_word.load();
    if ((word & publishedBit) == 0) {
        return std::nullopt;
    }
    // Unsigned difference: right across the 32-bit wrap of the milliseconds.
    const std::uint32_t age = millisecondsOf(now) - static_cast<std::uint32_t>(word);
    if (age > static_cast<std::uint32_t>(maxAge.count())) {
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

} // namespace oculo::x11
