#pragma once

#include <QRect>
#include <QtGlobal>

namespace oculo {

// Alpha-blends a premultiplied ARGB image (an X cursor) onto the grabbed
// pixels. Both rectangles are in root-window pixels; the result stays opaque.
void blendPremultiplied(uchar* pixels, qsizetype stride, const QRect& pixelsRect,
                        const quint32* overlay, const QRect& overlayRect);

// Lays `count` premultiplied ARGB pixels over opaque ones, as QPainter's
// source-over does, and keeps the pixels they covered in `kept`.
void blendOver(const quint32* overlay, quint32* pixels, quint32* kept, int count);

} // namespace oculo
