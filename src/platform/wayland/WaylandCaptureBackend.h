#pragma once

#include "platform/CaptureBackend.h"
#include "platform/DisplaySource.h"
#include "platform/PointerSource.h"

#include <QPointF>

namespace oculo::wayland {
class WaylandScreenCast;
}

namespace oculo {

// Capture streams over the screen-cast session: each crops and scales the
// pictures of its display's PipeWire stream on PipeWire's thread.
class WaylandCaptureBackend final : public CaptureBackend {
public:
    // `cast` must outlive the backend and every stream it makes.
    explicit WaylandCaptureBackend(wayland::WaylandScreenCast& cast);

    std::unique_ptr<CaptureStream> createStream(const DisplayInfo& display,
                                                const CaptureConfiguration& configuration) override;

private:
    wayland::WaylandScreenCast& m_cast;
};

// Qt's screens, each matched to the shared monitor at its place and of its
// size. Listing them opens the screen-cast session (the system may ask the
// user first); a refusal is reported as such.
class WaylandDisplaySource final : public DisplaySource {
public:
    explicit WaylandDisplaySource(wayland::WaylandScreenCast& cast);
    QCoro::Task<DisplayQueryResult> queryDisplays() override;

private:
    wayland::WaylandScreenCast& m_cast;
};

// The pointer as the streams' metadata tells it: a Wayland client learns the
// pointer's place only over its own windows. Notifies motion while a stream
// with pointer metadata runs, and then knows when the pointer got where it is.
class WaylandPointerSource final : public PointerSource {
    Q_OBJECT

public:
    explicit WaylandPointerSource(wayland::WaylandScreenCast& cast, QObject* parent = nullptr);

    QPointF position() const override;
    std::optional<std::chrono::milliseconds> stillFor() const override { return m_stillFor; }
    bool notifiesMotion() const override;
    void setMotionWatched(bool watched) override;

private:
    wayland::WaylandScreenCast& m_cast;
    bool m_watched = false;
    mutable std::optional<QPointF> m_lastPosition;
    mutable std::optional<std::chrono::milliseconds> m_stillFor;
};

} // namespace oculo
