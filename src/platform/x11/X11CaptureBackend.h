#pragma once

#include "platform/CaptureBackend.h"

#include <QByteArray>

namespace oculo {

// Creates X11 capture streams: one capture thread and X connection each.
class X11CaptureBackend final : public CaptureBackend {
public:
    // `displayName` empty: the display named by $DISPLAY.
    explicit X11CaptureBackend(QByteArray displayName = {});

    std::unique_ptr<CaptureStream> createStream(const DisplayInfo& display,
                                                const CaptureConfiguration& configuration) override;

private:
    QByteArray m_displayName;
};

} // namespace oculo
