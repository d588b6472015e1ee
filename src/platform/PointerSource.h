#pragma once

#include <QPointF>

#include <chrono>
#include <functional>
#include <optional>

namespace oculo {

// Reads the pointer position in Qt's global logical space (origin at the
// top-left of the primary screen, y down).
class PointerSource {
public:
    virtual ~PointerSource() = default;
    virtual QPointF position() const = 0;
    // How long the pointer had been where the last position() found it, when
    // something that watches it closely (a capture thread following it) saw it
    // arrive; none when nobody did. Sparse samples time a stop with it.
    virtual std::optional<std::chrono::milliseconds> stillFor() const { return std::nullopt; }

    // Whether this source can tell, without being polled, that the pointer
    // moved, warps included (within about 100 ms).
    virtual bool notifiesMotion() const { return false; }
    // While set, `handler` is called on the GUI thread when the source learns
    // that the pointer moved; an empty handler stops the calls. Sources that
    // do not notify ignore it.
    virtual void setMotionHandler(std::function<void()> /*handler*/) {}
};

} // namespace oculo
