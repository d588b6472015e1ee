#include "picture/PointerArrow.h"

#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>

#include <algorithm>
#include <cmath>

namespace oculo {

PointerArrow pointerArrow(qreal scale) {
    scale = std::clamp(scale, 0.5, 8.0);
    // The usual left-leaning arrow, 12 x 19 logical pixels, tip at the origin.
    const QPolygonF outline{{0, 0},    {0, 16},     {4, 12.5}, {7, 19},
                            {9.5, 18}, {6.8, 11.5}, {12, 11.5}};
    const qreal pen = 1.0;
    const QSize size(int(std::ceil((12 + 2 * pen) * scale)),
                     int(std::ceil((19 + 2 * pen) * scale)));
    PointerArrow arrow{QImage(size, QImage::Format_ARGB32_Premultiplied),
                       QPoint(int(std::lround(pen * scale)), int(std::lround(pen * scale)))};
    arrow.image.fill(Qt::transparent);
    QPainter painter(&arrow.image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(scale, scale);
    painter.translate(pen, pen);
    // Black with a white edge shows on any background.
    painter.setPen(QPen(Qt::white, pen, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.setBrush(Qt::black);
    painter.drawPolygon(outline);
    return arrow;
}

} // namespace oculo
