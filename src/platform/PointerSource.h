#pragma once

#include <QObject>
#include <QPointF>

#include <chrono>
#include <optional>

namespace oculo {

// Reads the pointer position in Qt's global logical space (origin at the
// top-left of the primary screen, y down). Lives on the GUI thread.
class PointerSource : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;

    virtual QPointF position() const = 0;
    // How long the pointer had been where the last position() found it, when
    // something that watches it closely (a capture thread following it) saw it
    // arrive; none when nobody did. Sparse samples time a stop with it.
    virtual std::optional<std::chrono::milliseconds> stillFor() const { return std::nullopt; }

    // Whether this source can tell, without being polled, that the pointer
    // moved, warps included (within about 100 ms).
    virtual bool notifiesMotion() const { return false; }
    // While watched, pointerMoved() is emitted when the source learns that
    // the pointer moved. Watching costs the source work of its own, so it is
    // asked for only while needed. Sources that do not notify ignore it.
    virtual void setMotionWatched(bool /*watched*/) {}

Q_SIGNALS:
    // Emitted on the GUI thread from its event loop, never from inside
    // position() or setMotionWatched(); a receiver may stop watching in it.
    void pointerMoved();
};

} // namespace oculo
