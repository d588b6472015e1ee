#include "platform/x11/X11CaptureBackend.h"

#include "platform/x11/X11CaptureStream.h"

namespace oculo {

X11CaptureBackend::X11CaptureBackend(QByteArray displayName)
    : m_displayName(std::move(displayName)) {}

std::unique_ptr<CaptureStream>
X11CaptureBackend::createStream(const DisplayInfo& display,
                                const CaptureConfiguration& configuration) {
    return std::make_unique<X11CaptureStream>(m_displayName, display, configuration);
}

} // namespace oculo
