#include "region/RegionGeometry.h"

#include <algorithm>
#include <cmath>

namespace oculo::region {

QRectF normalizedRect(QPointF start, QPointF current) {
    const double left = std::min(start.x(), current.x());
    const double top = std::min(start.y(), current.y());
    return {left, top, std::max(start.x(), current.x()) - left,
            std::max(start.y(), current.y()) - top};
}

bool isLargeEnoughSelection(const QRectF& selection) {
    return std::abs(selection.width()) > minimumSelection &&
           std::abs(selection.height()) > minimumSelection;
}

QString sizeLabel(const QRectF& rect) {
    // Truncated, not rounded: a 320.7 wide rectangle reads 320.
    const auto side = [](double length) {
        return QString::number(static_cast<long long>(std::trunc(std::abs(length))));
    };
    return side(rect.width()) + QStringLiteral(" \u00d7 ") + side(rect.height());
}

QPointF handleCentre(const QRectF& rect, ResizeHandle handle) {
    const QRectF r = rect.normalized();
    switch (handle) {
    case ResizeHandle::none:
        break;
    case ResizeHandle::topLeft:
        return r.topLeft();
    case ResizeHandle::top:
        return {r.center().x(), r.top()};
    case ResizeHandle::topRight:
        return {r.right(), r.top()};
    case ResizeHandle::left:
        return {r.left(), r.center().y()};
    case ResizeHandle::right:
        return {r.right(), r.center().y()};
    case ResizeHandle::bottomLeft:
        return {r.left(), r.bottom()};
    case ResizeHandle::bottom:
        return {r.center().x(), r.bottom()};
    case ResizeHandle::bottomRight:
        return r.bottomRight();
    }
    return {};
}

QRectF handleRect(const QRectF& rect, ResizeHandle handle) {
    if (handle == ResizeHandle::none) {
        return {};
    }
    const QPointF c = handleCentre(rect, handle);
    return {c.x() - handleSize / 2, c.y() - handleSize / 2, handleSize, handleSize};
}

QRectF handleGrabRect(const QRectF& rect, ResizeHandle handle) {
    if (handle == ResizeHandle::none) {
        return {};
    }
    return handleRect(rect, handle)
        .adjusted(-handleGrabMargin, -handleGrabMargin, handleGrabMargin, handleGrabMargin);
}

ResizeHandle hitTestHandle(const QRectF& rect, QPointF point) {
    for (const ResizeHandle handle : handles) {
        if (handleGrabRect(rect, handle).contains(point)) {
            return handle;
        }
    }
    return ResizeHandle::none;
}

QRectF resizedRect(const QRectF& original, ResizeHandle handle, QPointF delta) {
    const QRectF o = original.normalized();
    const double dx = delta.x();
    const double dy = delta.y();
    double x = o.x();
    double y = o.y();
    double width = o.width();
    double height = o.height();

    const bool movesLeft = handle == ResizeHandle::topLeft || handle == ResizeHandle::left ||
                           handle == ResizeHandle::bottomLeft;
    const bool movesRight = handle == ResizeHandle::topRight || handle == ResizeHandle::right ||
                            handle == ResizeHandle::bottomRight;
    const bool movesTop = handle == ResizeHandle::topLeft || handle == ResizeHandle::top ||
                          handle == ResizeHandle::topRight;
    const bool movesBottom = handle == ResizeHandle::bottomLeft || handle == ResizeHandle::bottom ||
                             handle == ResizeHandle::bottomRight;
    if (movesLeft) {
        x += dx;
        width -= dx;
    } else if (movesRight) {
        width += dx;
    }
    if (movesTop) {
        y += dy;
        height -= dy;
    } else if (movesBottom) {
        height += dy;
    }

    // Too small: keep the edge opposite the handle where it was.
    if (std::abs(width) < minimumSize) {
        width = minimumSize;
        if (movesLeft) {
            x = o.right() - minimumSize;
        }
    }
    if (std::abs(height) < minimumSize) {
        height = minimumSize;
        if (movesTop) {
            y = o.bottom() - minimumSize;
        }
    }
    // Past the opposite edge the extent is negative; the rectangle then spans
    // from that edge to the pointer, so later grabs start from a proper one.
    return QRectF(x, y, width, height).normalized();
}

QRectF toOverlay(const QRectF& global, QPointF overlayOrigin) {
    return global.translated(-overlayOrigin);
}

QRectF toGlobal(const QRectF& local, QPointF overlayOrigin) {
    return local.translated(overlayOrigin);
}

} // namespace oculo::region
