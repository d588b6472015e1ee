#pragma once

#include "platform/CaptureBackend.h"

#include <memory>
#include <optional>

namespace oculo::wayland {
class PipeWireConnection;
class WaylandScreenCast;
class ScreenCropper;
} // namespace oculo::wayland

namespace oculo {

// One display's capture on Wayland: takes the pictures of the display's
// PipeWire stream, crops the configured rectangle (centred on the pointer the
// metadata reports when following it), draws the pointer from the metadata's
// image and scales the result, all on PipeWire's thread. A picture whose crop,
// pointer and settings equal the last one's makes no frame: a magnifier that
// sees itself would otherwise repaint forever.
class WaylandCaptureStream final : public CaptureStream {
    Q_OBJECT

public:
    WaylandCaptureStream(wayland::WaylandScreenCast& cast, DisplayInfo display,
                         CaptureConfiguration configuration, QObject* parent = nullptr);
    ~WaylandCaptureStream() override;

    QCoro::Task<std::optional<CaptureError>> start() override;
    QCoro::Task<> stop() override;
    QCoro::Task<> updateConfiguration(const CaptureConfiguration& configuration) override;
    bool followsPointerItself() const override;

    // Frames made so far, and pictures that changed nothing (benchmarks).
    quint64 framesProduced() const;
    quint64 picturesSkipped() const;

private:
    friend class wayland::ScreenCropper;
    void stopNow();
    void takeFrame(quint64 generation, const QImage& frame);

    wayland::WaylandScreenCast& m_cast;
    DisplayInfo m_display;
    CaptureConfiguration m_configuration;
    std::shared_ptr<wayland::PipeWireConnection> m_connection;
    std::unique_ptr<wayland::ScreenCropper> m_cropper;
    int m_screen = -1;
    bool m_running = false;
    bool m_failureReported = false;
    quint64 m_generation = 0;
};

} // namespace oculo
