#pragma once

#include <QImage>
#include <QPoint>

namespace oculo {

// A plain arrow pointer for when the desktop tells where the pointer is but
// not what it looks like: a magnified picture without the pointer loses it.
struct PointerArrow {
    QImage image; // premultiplied ARGB
    QPoint hotspot;
};

// The arrow at `scale` device pixels per logical pixel.
PointerArrow pointerArrow(qreal scale);

} // namespace oculo
