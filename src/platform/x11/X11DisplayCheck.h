#pragma once

#include <QString>

#include <optional>

namespace oculo::x11 {

// Why no X11 display can be opened, as one plain sentence; nothing when one can.
std::optional<QString> displayUnavailableReason();

} // namespace oculo::x11
