#pragma once

#include "picture/PictureOptions.h"

#include <QImage>
#include <QRect>
#include <QRectF>
#include <QSize>

#include <vector>

namespace oculo {

// Scales a grabbed screen area to a capture's output size, crisp (nearest
// neighbour) or smooth (sharp-bilinear: nearest inside a source pixel,
// interpolated across its edges; plain bilinear when shrinking). The source
// pixels and weights of every output column and row are computed up front,
// so a frame costs only copies and blends. Output pixels whose nearest source
// pixel lies outside `visible` (beyond the display's edge) are black.
class FrameScaler {
public:
    FrameScaler() = default;
    // `source`: the captured rectangle in root-window device pixels.
    // `visible`: the part of the root window that may be grabbed (the display's area).
    FrameScaler(const QRectF& source, const QRect& visible, const QSize& output,
                Scaling scaling = Scaling::pixels) {
        configure(source, visible, output, scaling);
    }

    // The same as constructing anew, reusing the tables' memory: following the
    // pointer reconfigures every frame.
    void configure(const QRectF& source, const QRect& visible, const QSize& output,
                   Scaling scaling = Scaling::pixels);

    // Root-window pixels to grab; empty when nothing of the source is visible.
    QRect grabRect() const { return m_grab; }
    QSize outputSize() const { return m_output; }
    // The output pixels that show the display; the rest are black.
    QRect insideRect() const { return m_inside; }
    // Where the centre of the source rectangle lands in the output.
    QPointF sourceCentre() const { return m_centre; }
    // Whether some output pixels mix two source pixels (smooth scaling off the grid).
    bool mixes() const { return m_scaling == Scaling::smooth; }

    // `pixels`: the grabbed area, 32-bit xRGB little-endian, top-left at
    // grabRect().topLeft(). `out` is a 32-bit image of outputSize(); every pixel
    // is written with alpha 0xff, so Format_RGB32 and Format_ARGB32 both hold.
    // `after` runs on every output pixel that shows the display, as if on the
    // finished picture; `crosshair` draws drawCrosshair()'s lines through
    // sourceCentre(). Both run on each row while it is in cache.
    void scale(const uchar* pixels, qsizetype stride, QImage& out,
               ColorFilter after = ColorFilter::none, bool crosshair = false) const;

private:
    // One output axis: per output cell the first source pixel (relative to the
    // grab, -1 outside) and the weight of the next one, 0..256.
    struct Axis {
        std::vector<int> index;
        std::vector<quint16> weight;
        int lowest = 0;
        int highest = -1; // last source pixel read, the blended neighbours included
        void build(qreal origin, qreal extent, int count, int visibleBegin, int visibleEnd,
                   Scaling scaling);
        void shift(int by);
    };

    // A row is worked on compact, before it is spread across the output: the
    // source row itself where columns are copies; its pixels followed by its
    // mixed edges where they mix edge by edge; else the output columns that
    // show the display. Spreading copies pixels only, so mixing rows and
    // filtering give the same result on the compact row, on fewer pixels.
    int compactWidth() const;
    const quint32* compactRow(const uchar* pixels, qsizetype stride, int row) const;
    void spread(const quint32* compact, quint32* destination) const;
    // Where columns mix, rows are mixed once spread, unless a filter is cheaper
    // on the compact rows: mixing spread rows spares a spreading of each mixed one.
    const quint32* spreadRow(const uchar* pixels, qsizetype stride, int row, quint32* into) const;
    void scaleRow(const quint32* source, quint32* destination) const;
    bool buildEdges();

    QSize m_output;
    QRect m_grab;
    QRect m_inside;
    QPointF m_centre;
    Scaling m_scaling = Scaling::pixels;
    Axis m_columns;
    Axis m_rows;
    int m_firstColumn = 0; // output columns [m_firstColumn, m_endColumn) map inside
    int m_endColumn = 0;
    // 0: every source column appears exactly twice, in order; 1: the same after
    // one single column; -1: neither.
    int m_doublingPhase = -1;
    bool m_columnsMix = false;
    // Mixing columns: each edge between two source pixels feeds at most one
    // output column, so a row mixes once per source pixel and the output
    // columns copy either a source pixel (cell < grab width) or a mixed edge.
    std::vector<int> m_cells;
    std::vector<quint16> m_edgeWeights; // per byte of the grabbed row
    bool m_edgesMix = false;
    bool m_edgeHalves = false; // every mixing weight is 128
    // Output columns [begin, begin + count): copy, mix, copy, ... from source
    // pixel `base`, or gathered cell by cell when `base` is -1.
    struct Segment {
        int begin;
        int count;
        int base;
    };
    std::vector<Segment> m_segments;
    // Two compact rows, which grabbed rows they hold, and one for a row mixed
    // from them or filtered.
    mutable std::vector<quint32> m_scratch;
    mutable int m_scratchRows[2] = {-1, -1};
    mutable const quint32* m_compactRows[2] = {nullptr, nullptr};
    mutable std::vector<quint32> m_worked;
    // Two spread rows, in their own lines or an output line already written;
    // per grabbed row, the first output line that shows it unmixed (-1 none),
    // where a row needed early for a vertical mix is spread straight away.
    mutable std::vector<quint32> m_lines;
    mutable int m_lineRows[2] = {-1, -1};
    mutable const quint32* m_spreadRows[2] = {nullptr, nullptr};
    std::vector<int> m_homeLines;
};

} // namespace oculo
