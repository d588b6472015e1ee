#pragma once

#include <QList>
#include <QRectF>
#include <QSize>
#include <QSizeF>

// Keeping windows wholly on a screen, whatever frame was saved or computed.
namespace oculo::geometry {

// The available area of the screen `frame` belongs to: the one it overlaps
// most, else the one nearest its centre. Empty when there are no screens.
QRectF availableAreaFor(const QRectF& frame, const QList<QRectF>& availableAreas);

// `frame` shrunk to fit `area` (never below `minimum` unless the area is
// smaller) and then moved inside it. A frame that is not finite takes the
// area's size at its top-left corner.
QRectF fitFrameInto(const QRectF& frame, const QRectF& area, const QSizeF& minimum = QSizeF());

// `output` shrunk, keeping its proportions, to fit inside `limit`; unchanged
// when it already fits or the limit is empty.
QSize boundedOutputSize(const QSize& output, const QSize& limit);

} // namespace oculo::geometry
