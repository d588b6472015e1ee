#pragma once

#include <QPointF>

namespace oculo {

// Reads the pointer position in Qt's global logical space (origin at the
// top-left of the primary screen, y down).
class PointerSource {
public:
    virtual ~PointerSource() = default;
    virtual QPointF position() const = 0;
};

} // namespace oculo
