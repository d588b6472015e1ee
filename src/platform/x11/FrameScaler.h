#pragma once

#include <QImage>
#include <QRect>
#include <QRectF>
#include <QSize>

#include <vector>

namespace oculo::x11 {

// Nearest-neighbour scaling of a grabbed screen area to a capture's output
// size. Built once per configuration: the source-pixel index of every output
// column and row is computed up front, so a frame costs only copies. Output
// pixels that map outside `visible` (beyond the display's edge) are black.
class FrameScaler {
public:
    FrameScaler() = default;
    // `source`: the captured rectangle in root-window device pixels.
    // `visible`: the part of the root window that may be grabbed (the display's area).
    FrameScaler(const QRectF& source, const QRect& visible, const QSize& output);

    // Root-window pixels to grab; empty when nothing of the source is visible.
    QRect grabRect() const { return m_grab; }
    QSize outputSize() const { return m_output; }

    // `pixels`: the grabbed area, 32-bit xRGB little-endian, top-left at
    // grabRect().topLeft(). `out` is a 32-bit image of outputSize(); every pixel
    // is written with alpha 0xff, so Format_RGB32 and Format_ARGB32 both hold.
    void scale(const uchar* pixels, qsizetype stride, QImage& out) const;

private:
    void scaleRow(const quint32* source, quint32* destination) const;

    QSize m_output;
    QRect m_grab;
    std::vector<int> m_columns; // per output column: column in the grab, -1 when outside
    std::vector<int> m_rows;    // per output row: row in the grab, -1 when outside
    int m_firstColumn = 0;      // output columns [m_firstColumn, m_endColumn) map inside
    int m_endColumn = 0;
    // 0: every source column appears exactly twice, in order; 1: the same after
    // one single column; -1: neither.
    int m_doublingPhase = -1;
};

// Alpha-blends a premultiplied ARGB image (an X cursor) onto the grabbed
// pixels. Both rectangles are in root-window pixels; the result stays opaque.
void blendPremultiplied(uchar* pixels, qsizetype stride, const QRect& pixelsRect,
                        const quint32* overlay, const QRect& overlayRect);

} // namespace oculo::x11
