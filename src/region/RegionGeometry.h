#pragma once

#include <QPointF>
#include <QRectF>
#include <QString>

#include <array>

namespace oculo {

// The rectangle arithmetic of the region overlays, apart from any window.
// Rectangles are in an overlay's own coordinates (origin at its top-left, y
// down) unless a function says otherwise; "top" is the smaller y.

enum class ResizeHandle {
    none,
    topLeft,
    top,
    topRight,
    left,
    right,
    bottomLeft,
    bottom,
    bottomRight
};

namespace region {

// Side of a handle's square, its grab margin on every side, and the smallest
// width and height a resize leaves.
constexpr double handleSize = 12.0;
constexpr double handleGrabMargin = 4.0;
constexpr double minimumSize = 20.0;
// A selection must be larger than this in both directions to count.
constexpr double minimumSelection = 10.0;

// Hit-test and drawing order; on a small rectangle the earlier handle wins.
constexpr std::array<ResizeHandle, 8> handles{ResizeHandle::topLeft,  ResizeHandle::top,
                                              ResizeHandle::topRight, ResizeHandle::left,
                                              ResizeHandle::right,    ResizeHandle::bottomLeft,
                                              ResizeHandle::bottom,   ResizeHandle::bottomRight};

// The rectangle two drag points span, whichever way the drag went.
QRectF normalizedRect(QPointF start, QPointF current);

// Whether a released drag selects a region rather than cancelling.
bool isLargeEnoughSelection(const QRectF& selection);

// "W × H" with both sides truncated towards zero.
QString sizeLabel(const QRectF& rect);

QPointF handleCentre(const QRectF& rect, ResizeHandle handle);
// The handle's square; empty for `none`.
QRectF handleRect(const QRectF& rect, ResizeHandle handle);
// The square plus the grab margin: where a press grabs the handle.
QRectF handleGrabRect(const QRectF& rect, ResizeHandle handle);
// The first handle whose grab area holds `point`, else `none`.
ResizeHandle hitTestHandle(const QRectF& rect, QPointF point);

// What dragging `handle` of `original` by `delta` leaves: never narrower or
// lower than minimumSize. An edge carried well past the opposite one makes the
// rectangle span from that opposite edge to the pointer. Always normalised.
QRectF resizedRect(const QRectF& original, ResizeHandle handle, QPointF delta);

// Between Qt's global space and an overlay whose top-left corner is at
// `overlayOrigin` (global). Exact inverses of each other.
QRectF toOverlay(const QRectF& global, QPointF overlayOrigin);
QRectF toGlobal(const QRectF& local, QPointF overlayOrigin);

} // namespace region
} // namespace oculo
