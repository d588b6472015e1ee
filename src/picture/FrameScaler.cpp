#include "picture/FrameScaler.h"
#include "picture/PictureEffects.h"
#include "picture/VectorClones.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace oculo {
namespace {

constexpr quint32 opaque = 0xff000000u;
constexpr quint32 black = 0xff000000u;
// Beyond this, sharp-bilinear is nearest neighbour anyway; it keeps the weight finite.
constexpr qreal largestZoom = 65536;

// `a` and `b` mixed, `weight` / 256 of `b`, two channels per multiplication.
inline quint32 mix(quint32 a, quint32 b, quint32 weight) {
    const quint32 keep = 256 - weight;
    const quint32 redBlue =
        (((a & 0xff00ffu) * keep + (b & 0xff00ffu) * weight + 0x800080u) >> 8) & 0xff00ffu;
    const quint32 green =
        (((a & 0xff00u) * keep + (b & 0xff00u) * weight + 0x8000u) >> 8) & 0xff00u;
    return opaque | redBlue | green;
}

// Byte by byte, so that the compiler vectorises it in 16-bit lanes; opaque
// alpha stays opaque.
OCULO_VECTOR_CLONES
void average(const uchar* a, const uchar* b, uchar* o, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        o[i] = uchar((a[i] + b[i] + 1) >> 1);
    }
}

OCULO_VECTOR_CLONES
void mixRows(const quint32* upper, const quint32* lower, quint32 weight, quint32* out, int width) {
    const auto* a = reinterpret_cast<const uchar*>(upper);
    const auto* b = reinterpret_cast<const uchar*>(lower);
    auto* o = reinterpret_cast<uchar*>(out);
    if (weight == 128) {
        // Half and half, the usual case at zoom 2: the same rounding, a byte per lane.
        average(a, b, o, width * 4);
        return;
    }
    const auto keep = quint16(256 - weight);
    const auto share = quint16(weight);
    for (int i = 0; i < width * 4; ++i) {
        o[i] = uchar((a[i] * keep + b[i] * share + 128) >> 8);
    }
}

// Most cells are plain copies at high zoom; the branch is cheaper than gathers
// for both pixels of every cell.
void mixColumns(const quint32* source, const int* first, const quint16* weights, quint32* out,
                int count) {
    for (int i = 0; i < count; ++i) {
        const quint32* in = source + first[i];
        out[i] = weights[i] == 0 ? in[0] | opaque : mix(in[0], in[1], weights[i]);
    }
}

// Every edge of a source row mixed at once, byte by byte so that it vectorises
// in 16-bit lanes: `weights` holds, per byte, the share of the right neighbour.
OCULO_VECTOR_CLONES
void mixEdges(const quint32* row, const quint16* weights, bool halves, quint32* out, int edges) {
    const auto* a = reinterpret_cast<const uchar*>(row);
    auto* o = reinterpret_cast<uchar*>(out);
    if (halves) {
        average(a, a + 4, o, edges * 4);
        return;
    }
    for (int i = 0; i < edges * 4; ++i) {
        const quint16 share = weights[i];
        o[i] = uchar(quint16(a[i] * (256 - share) + a[i + 4] * share + 128) >> 8);
    }
}

// A gather: the cells are already opaque.
OCULO_VECTOR_CLONES
void copyCells(const quint32* __restrict from, const int* __restrict cells, quint32* __restrict out,
               int count) {
    for (int i = 0; i < count; ++i) {
        out[i] = from[cells[i]];
    }
}

// Copy, mix, copy, mix: how zoom 2 off the grid lays out a row.
OCULO_VECTOR_CLONES
void interleave(const quint32* __restrict copies, const quint32* __restrict mixes,
                quint32* __restrict out, int pairs) {
    for (int i = 0; i < pairs; ++i) {
        out[2 * i] = copies[i];
        out[2 * i + 1] = mixes[i];
    }
}

// Each pixel twice: zoom 2 on the pixel grid.
OCULO_VECTOR_CLONES
void doubleColumns(const quint32* __restrict in, quint32* __restrict out, int pairs) {
    for (int i = 0; i < pairs; ++i) {
        const quint32 pixel = in[i] | opaque;
        out[2 * i] = pixel;
        out[2 * i + 1] = pixel;
    }
}

OCULO_VECTOR_CLONES
void copyOpaque(const quint32* __restrict from, quint32* __restrict out, int count) {
    for (int i = 0; i < count; ++i) {
        out[i] = from[i] | opaque;
    }
}

} // namespace

// Output cell i covers [origin + i * step, origin + (i + 1) * step); its centre
// decides. Sharp-bilinear steepens the weight by the zoom, so that only the
// cell straddling an edge between two source pixels mixes them.
void FrameScaler::Axis::build(qreal origin, qreal extent, int count, int visibleBegin,
                              int visibleEnd, Scaling scaling) {
    index.assign(static_cast<std::size_t>(count), -1);
    weight.assign(static_cast<std::size_t>(count), 0);
    lowest = visibleEnd;
    highest = visibleBegin - 1;
    const qreal step = extent / count;
    const qreal zoom = std::min(count / extent, largestZoom);
    for (int i = 0; i < count; ++i) {
        const qreal position = origin + (i + 0.5) * step;
        // Compared before the conversion, so absurd coordinates cannot overflow an int.
        const qreal nearest = std::floor(position);
        if (!(nearest >= visibleBegin && nearest < visibleEnd)) {
            continue;
        }
        int pixel = static_cast<int>(nearest);
        int share = 0;
        if (scaling == Scaling::smooth) {
            const qreal between = position - 0.5; // in pixel-centre coordinates
            const qreal first = std::floor(between);
            qreal fraction = between - first;
            if (zoom > 1) {
                fraction = std::clamp((fraction - 0.5) * zoom + 0.5, 0.0, 1.0);
            }
            share = static_cast<int>(std::lround(fraction * 256));
            pixel = static_cast<int>(first);
            if (share == 256) {
                pixel += 1;
                share = 0;
            }
            // At the display's edge the neighbour is not there: the nearest stays.
            if (share != 0 && (pixel < visibleBegin || pixel + 1 >= visibleEnd)) {
                pixel = static_cast<int>(nearest);
                share = 0;
            }
        }
        index[static_cast<std::size_t>(i)] = pixel;
        weight[static_cast<std::size_t>(i)] = static_cast<quint16>(share);
        lowest = std::min(lowest, pixel);
        highest = std::max(highest, share != 0 ? pixel + 1 : pixel);
    }
}

void FrameScaler::Axis::shift(int by) {
    for (int& i : index) {
        i = i < 0 ? -1 : i - by;
    }
}

void FrameScaler::configure(const QRectF& source, const QRect& visible, const QSize& output,
                            Scaling scaling) {
    m_output = output.isEmpty() ? QSize() : output;
    m_scaling = Scaling::pixels; // smooth only where something mixes
    m_grab = QRect();
    m_inside = QRect();
    // The mapping is linear, source to output, so the centre goes to the middle.
    m_centre = QPointF(m_output.width() / 2.0, m_output.height() / 2.0);
    m_firstColumn = 0;
    m_endColumn = 0;
    m_doublingPhase = -1;
    m_columnsMix = false;
    m_edgesMix = false;
    const int width = std::max(0, output.width());
    const int height = std::max(0, output.height());
    if (output.isEmpty() || source.isEmpty() || visible.isEmpty()) {
        m_rows.index.assign(static_cast<std::size_t>(height), -1);
        m_rows.weight.assign(static_cast<std::size_t>(height), 0);
        m_columns.index.assign(static_cast<std::size_t>(width), -1);
        m_columns.weight.assign(static_cast<std::size_t>(width), 0);
        return;
    }
    m_columns.build(source.x(), source.width(), width, visible.left(),
                    visible.left() + visible.width(), scaling);
    m_rows.build(source.y(), source.height(), height, visible.top(),
                 visible.top() + visible.height(), scaling);
    if (m_columns.highest < m_columns.lowest || m_rows.highest < m_rows.lowest) {
        std::fill(m_columns.index.begin(), m_columns.index.end(), -1);
        std::fill(m_rows.index.begin(), m_rows.index.end(), -1);
        return;
    }
    m_grab =
        QRect(QPoint(m_columns.lowest, m_rows.lowest), QPoint(m_columns.highest, m_rows.highest));
    m_columns.shift(m_columns.lowest);
    m_rows.shift(m_rows.lowest);
    // Indices are monotonic, so the columns that map inside form one run.
    const std::vector<int>& columns = m_columns.index;
    const auto first = std::find_if(columns.begin(), columns.end(), [](int c) { return c >= 0; });
    const auto last = std::find_if(first, columns.end(), [](int c) { return c < 0; });
    m_firstColumn = static_cast<int>(first - columns.begin());
    m_endColumn = static_cast<int>(last - columns.begin());
    const std::vector<int>& rows = m_rows.index;
    const auto top = std::find_if(rows.begin(), rows.end(), [](int r) { return r >= 0; });
    const auto bottom = std::find_if(top, rows.end(), [](int r) { return r < 0; });
    m_inside = QRect(m_firstColumn, static_cast<int>(top - rows.begin()),
                     m_endColumn - m_firstColumn, static_cast<int>(bottom - top));
    const auto mixes = [](const Axis& axis) {
        return std::any_of(axis.weight.begin(), axis.weight.end(),
                           [](quint16 w) { return w != 0; });
    };
    m_columnsMix = mixes(m_columns);
    m_edgesMix = m_columnsMix && buildEdges();
    // Whole zoom on the pixel grid mixes nothing: the crisp path does the same faster.
    if (m_columnsMix || mixes(m_rows)) {
        m_scaling = Scaling::smooth;
    }
    // Grown, never shrunk: following reconfigures every frame.
    const auto compact = static_cast<std::size_t>(compactWidth());
    m_scratch.resize(std::max(m_scratch.size(), compact * 2));
    m_worked.resize(std::max(m_worked.size(), compact));
    if (m_columnsMix) {
        m_lines.resize(std::max(m_lines.size(), std::size_t(width) * 2));
        m_homeLines.assign(static_cast<std::size_t>(m_grab.height()), -1);
        for (int y = height - 1; y >= 0; --y) {
            const int row = rows[static_cast<std::size_t>(y)];
            if (row >= 0 && m_rows.weight[static_cast<std::size_t>(y)] == 0) {
                m_homeLines[static_cast<std::size_t>(row)] = y;
            }
        }
        return;
    }
    // A rectangle centred on a pixel's middle starts half a pixel in: one
    // single column, then pairs.
    const int base = columns[static_cast<std::size_t>(m_firstColumn)];
    for (const int phase : {0, 1}) {
        bool doubled = true;
        for (int i = m_firstColumn; i < m_endColumn && doubled; ++i) {
            doubled =
                columns[static_cast<std::size_t>(i)] == base + (i - m_firstColumn + phase) / 2;
        }
        if (doubled) {
            m_doublingPhase = phase;
            break;
        }
    }
}

bool FrameScaler::buildEdges() {
    const int width = m_grab.width();
    m_cells.assign(m_columns.index.size(), 0);
    m_edgeWeights.assign(std::size_t(width) * 4, 0);
    for (int i = m_firstColumn; i < m_endColumn; ++i) {
        const int pixel = m_columns.index[static_cast<std::size_t>(i)];
        const quint16 weight = m_columns.weight[static_cast<std::size_t>(i)];
        if (weight == 0) {
            m_cells[static_cast<std::size_t>(i)] = pixel;
            continue;
        }
        quint16* edge = m_edgeWeights.data() + std::size_t(pixel) * 4;
        // Two columns across one edge (a rounding tie) mix cell by cell instead.
        if (edge[0] != 0 && edge[0] != weight) {
            return false;
        }
        std::fill(edge, edge + 4, weight);
        m_cells[static_cast<std::size_t>(i)] = width + pixel;
    }
    m_edgeHalves = std::all_of(m_edgeWeights.begin(), m_edgeWeights.end(),
                               [](quint16 w) { return w == 0 || w == 128; });
    // Stretches where copies and mixes alternate (zoom about 2) are
    // interleaved; the cells between them, and stretches too short to pay for
    // a call, are gathered.
    m_segments.clear();
    int gathered = m_firstColumn;
    for (int i = m_firstColumn; i < m_endColumn;) {
        const int base = m_cells[static_cast<std::size_t>(i)];
        int end = i;
        while (base < width && end < m_endColumn &&
               m_cells[static_cast<std::size_t>(end)] ==
                   ((end - i) % 2 == 0 ? base + (end - i) / 2 : width + base + (end - i) / 2)) {
            ++end;
        }
        if (end - i < 16) {
            ++i;
            continue;
        }
        if (gathered < i) {
            m_segments.push_back({gathered, i - gathered, -1});
        }
        m_segments.push_back({i, end - i, base});
        i = gathered = end;
    }
    if (gathered < m_endColumn) {
        m_segments.push_back({gathered, m_endColumn - gathered, -1});
    }
    return true;
}

void FrameScaler::scaleRow(const quint32* source, quint32* destination) const {
    std::fill(destination, destination + m_firstColumn, black);
    std::fill(destination + m_endColumn, destination + m_output.width(), black);
    quint32* out = destination + m_firstColumn;
    const int count = m_endColumn - m_firstColumn;
    if (m_doublingPhase >= 0 && count > 0) {
        const quint32* in = source + m_columns.index[static_cast<std::size_t>(m_firstColumn)];
        if (m_doublingPhase == 1) {
            *out++ = *in++ | opaque;
        }
        const int left = count - m_doublingPhase;
        const int pairs = left / 2;
        doubleColumns(in, out, pairs);
        if (left % 2 != 0) {
            out[left - 1] = in[pairs] | opaque;
        }
        return;
    }
    const int* columns = m_columns.index.data() + m_firstColumn;
    for (int i = 0; i < count; ++i) {
        out[i] = source[columns[i]] | opaque;
    }
}

int FrameScaler::compactWidth() const {
    if (!m_columnsMix) {
        return m_grab.width();
    }
    return m_edgesMix ? m_grab.width() * 2 - 1 : m_endColumn - m_firstColumn;
}

// Row `row` of the grab made compact, from a slot when it is there. Rows
// `row` and `row + 1` never share a slot.
const quint32* FrameScaler::compactRow(const uchar* pixels, qsizetype stride, int row) const {
    const auto* source = reinterpret_cast<const quint32*>(pixels + row * stride);
    if (!m_columnsMix) {
        return source; // spread ORs in the alpha
    }
    const int slot = row & 1;
    if (m_scratchRows[slot] != row) {
        quint32* line = m_scratch.data() + std::size_t(slot) * std::size_t(compactWidth());
        if (m_edgesMix) {
            const int width = m_grab.width();
            copyOpaque(source, line, width);
            mixEdges(line, m_edgeWeights.data(), m_edgeHalves, line + width, width - 1);
        } else {
            const auto first = static_cast<std::size_t>(m_firstColumn);
            mixColumns(source, m_columns.index.data() + first, m_columns.weight.data() + first,
                       line, m_endColumn - m_firstColumn);
        }
        m_scratchRows[slot] = row;
        m_compactRows[slot] = line;
    }
    return m_compactRows[slot];
}

void FrameScaler::spread(const quint32* compact, quint32* destination) const {
    if (!m_columnsMix) {
        scaleRow(compact, destination);
        return;
    }
    std::fill(destination, destination + m_firstColumn, black);
    std::fill(destination + m_endColumn, destination + m_output.width(), black);
    if (!m_edgesMix) {
        std::memcpy(destination + m_firstColumn, compact,
                    std::size_t(m_endColumn - m_firstColumn) * sizeof(quint32));
        return;
    }
    const int width = m_grab.width();
    for (const Segment& segment : m_segments) {
        quint32* out = destination + segment.begin;
        if (segment.base < 0) {
            copyCells(compact, m_cells.data() + segment.begin, out, segment.count);
            continue;
        }
        const quint32* copies = compact + segment.base;
        const int pairs = segment.count / 2;
        interleave(copies, copies + width, out, pairs);
        if (segment.count % 2 != 0) {
            out[segment.count - 1] = copies[pairs];
        }
    }
}

const quint32* FrameScaler::spreadRow(const uchar* pixels, qsizetype stride, int row,
                                      quint32* into) const {
    const int slot = row & 1;
    if (m_lineRows[slot] != row) {
        quint32* line = into != nullptr
                            ? into
                            : m_lines.data() + std::size_t(slot) * std::size_t(m_output.width());
        spread(compactRow(pixels, stride, row), line);
        m_lineRows[slot] = row;
        m_spreadRows[slot] = line;
    }
    return m_spreadRows[slot];
}

void FrameScaler::scale(const uchar* pixels, qsizetype stride, QImage& out, ColorFilter after,
                        bool crosshair) const {
    const int width = m_output.width();
    const std::size_t rowBytes = std::size_t(width) * 4;
    const int compact = compactWidth();
    const bool filtering = after != ColorFilter::none;
    const bool mixSpread =
        m_columnsMix && !(filtering && m_edgesMix && compact <= m_endColumn - m_firstColumn + 1);
    // Lines written early must not hold the crosshair yet when a mix reads them.
    const bool homes = mixSpread && !filtering && !crosshair;
    const CrosshairPlace cross = crosshairPlace(m_output, m_centre);
    m_scratchRows[0] = m_scratchRows[1] = -1;
    m_lineRows[0] = m_lineRows[1] = -1;
    int previousRow = -2;
    int previousWeight = -1;
    const uchar* previousLine = nullptr;
    for (int y = 0; y < m_output.height(); ++y) {
        uchar* line = out.scanLine(y);
        auto* destination = reinterpret_cast<quint32*>(line);
        const int row = m_rows.index[static_cast<std::size_t>(y)];
        const int weight = m_rows.weight[static_cast<std::size_t>(y)];
        // The crosshair's horizontal lines differ from the rows around them.
        const bool plain = !crosshair || !cross.crossesRow(y);
        if (row == previousRow && weight == previousWeight && previousLine != nullptr) {
            // Enlarging repeats rows: copy the finished row instead of scaling it again.
            std::memcpy(line, previousLine, rowBytes);
        } else if (row < 0) {
            std::fill(destination, destination + width, black);
        } else if (mixSpread) {
            const quint32* scaled = spreadRow(pixels, stride, row, homes ? destination : nullptr);
            if (weight != 0) {
                quint32* home = nullptr;
                const int next = m_homeLines[static_cast<std::size_t>(row + 1)];
                if (homes && next > y) {
                    home = reinterpret_cast<quint32*>(out.scanLine(next));
                }
                mixRows(scaled, spreadRow(pixels, stride, row + 1, home), quint32(weight),
                        destination, width);
            } else if (scaled != destination) {
                std::memcpy(line, scaled, rowBytes);
            }
            if (filtering) {
                filterPixels(after, destination + m_firstColumn, destination + m_firstColumn,
                             m_endColumn - m_firstColumn);
            }
        } else {
            const quint32* worked = compactRow(pixels, stride, row);
            if (weight != 0) {
                mixRows(worked, compactRow(pixels, stride, row + 1), quint32(weight),
                        m_worked.data(), compact);
                worked = m_worked.data();
            }
            if (after != ColorFilter::none) {
                filterPixels(after, worked, m_worked.data(), compact);
                worked = m_worked.data();
            }
            spread(worked, destination);
        }
        previousRow = row;
        previousWeight = weight;
        previousLine = plain ? line : nullptr;
        if (crosshair) {
            cross.drawRow(destination, width, y);
        }
    }
}

} // namespace oculo
