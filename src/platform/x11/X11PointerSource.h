#pragma once

#include "platform/PointerSource.h"

#include <QByteArray>

#include <chrono>
#include <memory>

namespace oculo {

// The pointer read over a connection of its own. position() asks the server
// (one small round trip): a warp moves the pointer without any event, so no
// older answer can be trusted; only where a capture thread saw it within the
// last frame is taken instead. While motion is watched, XInput 2 raw motion
// on the connection's socket reports device motion, and the RECORD extension
// reports warps, as they happen: a resting pointer costs nothing. Without
// RECORD a thread asks for the position every `warpCheckInterval` instead; its
// news is queued to the GUI thread, which alone emits pointerMoved(). Without
// a usable connection or XInput 2 it asks QCursor. GUI thread only.
class X11PointerSource final : public PointerSource {
public:
    // Without RECORD: with the ~50 ms from a seen move to the picture, a warp
    // after a rest shows within about 150 ms (median about 100 ms).
    static constexpr std::chrono::milliseconds warpCheckInterval{100};

    // `displayName` empty: the display named by $DISPLAY (the one Qt uses).
    explicit X11PointerSource(const QByteArray& displayName = {}, QObject* parent = nullptr);
    ~X11PointerSource() override;

    X11PointerSource(const X11PointerSource&) = delete;
    X11PointerSource& operator=(const X11PointerSource&) = delete;

    QPointF position() const override;
    std::optional<std::chrono::milliseconds> stillFor() const override;
    bool notifiesMotion() const override;
    void setMotionWatched(bool watched) override;

    // False once it has fallen back to QCursor.
    bool usesRawMotion() const;
    // Pointer queries sent to the server so far; for tests and benchmarks.
    int queryCount() const;

private:
    class Private;
    std::unique_ptr<Private> d;
};

} // namespace oculo
