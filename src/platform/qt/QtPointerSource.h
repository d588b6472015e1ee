#pragma once

#include "platform/PointerSource.h"

namespace oculo {

// The pointer as the windowing system reports it through QCursor.
class QtPointerSource final : public PointerSource {
public:
    QPointF position() const override;
};

} // namespace oculo
