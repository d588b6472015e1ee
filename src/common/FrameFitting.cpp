#include "common/FrameFitting.h"

#include "common/Geometry.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace oculo::geometry {

namespace {

double squaredDistance(const QPointF& point, const QRectF& rect) {
    const double dx = std::max({rect.left() - point.x(), 0.0, point.x() - rect.right()});
    const double dy = std::max({rect.top() - point.y(), 0.0, point.y() - rect.bottom()});
    return dx * dx + dy * dy;
}

} // namespace

QRectF availableAreaFor(const QRectF& frame, const QList<QRectF>& availableAreas) {
    QRectF best;
    double bestOverlap = 0;
    for (const QRectF& area : availableAreas) {
        const QRectF overlap = frame.intersected(area);
        const double size = overlap.width() * overlap.height();
        if (size > bestOverlap) {
            bestOverlap = size;
            best = area;
        }
    }
    if (bestOverlap > 0) {
        return best;
    }
    double nearest = std::numeric_limits<double>::infinity();
    for (const QRectF& area : availableAreas) {
        const double distance = squaredDistance(frame.center(), area);
        // Also taken when the distance is not a number, so some screen is found.
        if (best.isNull() || distance < nearest) {
            nearest = distance;
            best = area;
        }
    }
    return best;
}

QRectF fitFrameInto(const QRectF& frame, const QRectF& area, const QSizeF& minimum) {
    if (area.isEmpty()) {
        return frame;
    }
    if (!isFinite(frame)) {
        return area;
    }
    // Size first, so that the position can always keep the whole frame inside.
    const double width =
        std::min(std::max(frame.width(), minimum.width()), std::max(area.width(), 1.0));
    const double height =
        std::min(std::max(frame.height(), minimum.height()), std::max(area.height(), 1.0));
    const double x =
        std::clamp(frame.x(), area.left(), std::max(area.left(), area.right() - width));
    const double y =
        std::clamp(frame.y(), area.top(), std::max(area.top(), area.bottom() - height));
    return QRectF(x, y, width, height);
}

QSize boundedOutputSize(const QSize& output, const QSize& limit) {
    if (limit.isEmpty() || (output.width() <= limit.width() && output.height() <= limit.height())) {
        return output;
    }
    return output.scaled(limit, Qt::KeepAspectRatio).expandedTo(QSize(1, 1));
}

} // namespace oculo::geometry
