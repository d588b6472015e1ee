#pragma once

#include "platform/PointerSource.h"

#include <QByteArray>

#include <chrono>
#include <memory>

namespace oculo {

// The pointer read over a connection of its own. XInput 2 raw motion tells it
// when the pointer moved, so polling a resting pointer costs no round trip;
// a query every quarter second still catches warps, which send no raw motion.
// While a motion handler is set, the connection's socket is watched so that
// a resting pointer needs no polling at all. Without a usable connection or
// XInput 2 it asks QCursor instead. GUI thread only.
class X11PointerSource final : public PointerSource {
public:
    // Warping the pointer moves it without raw motion; `refreshInterval`
    // bounds how long a warped pointer may go unnoticed.
    static constexpr std::chrono::milliseconds defaultRefreshInterval{250};

    // `displayName` empty: the display named by $DISPLAY (the one Qt uses).
    explicit X11PointerSource(const QByteArray& displayName = {},
                              std::chrono::milliseconds refreshInterval = defaultRefreshInterval);
    ~X11PointerSource() override;

    X11PointerSource(const X11PointerSource&) = delete;
    X11PointerSource& operator=(const X11PointerSource&) = delete;

    QPointF position() const override;
    bool notifiesMotion() const override;
    void setMotionHandler(std::function<void()> handler) override;

    // False once it has fallen back to QCursor.
    bool usesRawMotion() const;
    // Pointer queries sent to the server so far; for tests and benchmarks.
    int queryCount() const;

private:
    class Private;
    std::unique_ptr<Private> d;
};

} // namespace oculo
