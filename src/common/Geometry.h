#pragma once

#include <QPointF>
#include <QRectF>

#include <cmath>

// Geometry shared by the whole program. Every position is in Qt's global
// logical space: origin at the top-left of the primary screen, y down.
namespace oculo::geometry {

// Half-open containment: a point on the shared edge of two side-by-side
// rectangles belongs to the one whose minimum edge it lies on.
inline bool containsHalfOpen(const QRectF& rect, const QPointF& point) {
    return point.x() >= rect.left() && point.x() < rect.left() + rect.width() &&
           point.y() >= rect.top() && point.y() < rect.top() + rect.height();
}

// No coordinate or side is NaN or infinite.
inline bool isFinite(const QRectF& rect) {
    return std::isfinite(rect.x()) && std::isfinite(rect.y()) && std::isfinite(rect.width()) &&
           std::isfinite(rect.height());
}

// Output pixels of a capture of `rect` logical pixels: twice each side,
// truncated toward zero.
inline QSize doubledPixelSize(const QRectF& rect) {
    return QSize(static_cast<int>(std::trunc(rect.width() * 2.0)),
                 static_cast<int>(std::trunc(rect.height() * 2.0)));
}

} // namespace oculo::geometry
