#include "platform/x11/FrameScaler.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace oculo::x11 {
namespace {

constexpr quint32 opaque = 0xff000000u;
constexpr quint32 black = 0xff000000u;

// The root-window pixel under the centre of each of `count` output cells
// spread over [origin, origin + extent); -1 where that pixel lies outside
// [visibleBegin, visibleEnd). `lowest`/`highest` receive the range used.
std::vector<int> nearestIndices(qreal origin, qreal extent, int count, int visibleBegin,
                                int visibleEnd, int& lowest, int& highest) {
    std::vector<int> indices(static_cast<std::size_t>(count), -1);
    lowest = visibleEnd;
    highest = visibleBegin - 1;
    const qreal step = extent / count;
    for (int i = 0; i < count; ++i) {
        // Compared before the conversion, so absurd coordinates cannot overflow an int.
        const qreal position = std::floor(origin + (i + 0.5) * step);
        if (position >= visibleBegin && position < visibleEnd) {
            const int pixel = static_cast<int>(position);
            indices[static_cast<std::size_t>(i)] = pixel;
            lowest = std::min(lowest, pixel);
            highest = std::max(highest, pixel);
        }
    }
    return indices;
}

} // namespace

FrameScaler::FrameScaler(const QRectF& source, const QRect& visible, const QSize& output)
    : m_output(output) {
    if (output.isEmpty() || source.isEmpty() || visible.isEmpty()) {
        m_output = output.isEmpty() ? QSize() : output;
        m_rows.assign(static_cast<std::size_t>(std::max(0, output.height())), -1);
        m_columns.assign(static_cast<std::size_t>(std::max(0, output.width())), -1);
        return;
    }
    int left = 0;
    int right = 0;
    int top = 0;
    int bottom = 0;
    m_columns = nearestIndices(source.x(), source.width(), output.width(), visible.left(),
                               visible.left() + visible.width(), left, right);
    m_rows = nearestIndices(source.y(), source.height(), output.height(), visible.top(),
                            visible.top() + visible.height(), top, bottom);
    if (right < left || bottom < top) {
        std::fill(m_columns.begin(), m_columns.end(), -1);
        std::fill(m_rows.begin(), m_rows.end(), -1);
        return;
    }
    m_grab = QRect(QPoint(left, top), QPoint(right, bottom));
    for (int& column : m_columns) {
        column = column < 0 ? -1 : column - left;
    }
    for (int& row : m_rows) {
        row = row < 0 ? -1 : row - top;
    }
    // Indices are monotonic, so the columns that map inside form one run.
    const auto first =
        std::find_if(m_columns.begin(), m_columns.end(), [](int c) { return c >= 0; });
    const auto last = std::find_if(first, m_columns.end(), [](int c) { return c < 0; });
    m_firstColumn = static_cast<int>(first - m_columns.begin());
    m_endColumn = static_cast<int>(last - m_columns.begin());
    // A rectangle centred on a pixel's middle starts half a pixel in: one
    // single column, then pairs.
    const int base = m_columns[static_cast<std::size_t>(m_firstColumn)];
    for (const int phase : {0, 1}) {
        bool doubled = true;
        for (int i = m_firstColumn; i < m_endColumn && doubled; ++i) {
            doubled =
                m_columns[static_cast<std::size_t>(i)] == base + (i - m_firstColumn + phase) / 2;
        }
        if (doubled) {
            m_doublingPhase = phase;
            break;
        }
    }
}

void FrameScaler::scaleRow(const quint32* source, quint32* destination) const {
    std::fill(destination, destination + m_firstColumn, black);
    std::fill(destination + m_endColumn, destination + m_output.width(), black);
    quint32* out = destination + m_firstColumn;
    const int count = m_endColumn - m_firstColumn;
    if (m_doublingPhase >= 0 && count > 0) {
        const quint32* in = source + m_columns[static_cast<std::size_t>(m_firstColumn)];
        if (m_doublingPhase == 1) {
            *out++ = *in++ | opaque;
        }
        const int left = count - m_doublingPhase;
        const int pairs = left / 2;
        for (int i = 0; i < pairs; ++i) {
            // Both copies in one 64-bit store.
            const quint64 pixel = in[i] | opaque;
            const quint64 pair = pixel | pixel << 32;
            std::memcpy(out + 2 * i, &pair, sizeof pair);
        }
        if (left % 2 != 0) {
            out[left - 1] = in[pairs] | opaque;
        }
        return;
    }
    const int* columns = m_columns.data() + m_firstColumn;
    for (int i = 0; i < count; ++i) {
        out[i] = source[columns[i]] | opaque;
    }
}

void FrameScaler::scale(const uchar* pixels, qsizetype stride, QImage& out) const {
    const qsizetype rowBytes = qsizetype(m_output.width()) * 4;
    int previousRow = -2;
    uchar* previousLine = nullptr;
    for (int y = 0; y < m_output.height(); ++y) {
        uchar* line = out.scanLine(y);
        const int row = m_rows[static_cast<std::size_t>(y)];
        if (row == previousRow && previousLine != nullptr) {
            // Enlarging repeats rows: copy the finished row instead of scaling it again.
            std::memcpy(line, previousLine, static_cast<std::size_t>(rowBytes));
        } else if (row < 0) {
            auto* destination = reinterpret_cast<quint32*>(line);
            std::fill(destination, destination + m_output.width(), black);
        } else {
            scaleRow(reinterpret_cast<const quint32*>(pixels + row * stride),
                     reinterpret_cast<quint32*>(line));
        }
        previousRow = row;
        previousLine = line;
    }
}

void blendPremultiplied(uchar* pixels, qsizetype stride, const QRect& pixelsRect,
                        const quint32* overlay, const QRect& overlayRect) {
    const QRect area = pixelsRect.intersected(overlayRect);
    for (int y = area.top(); y <= area.bottom(); ++y) {
        auto* destination = reinterpret_cast<quint32*>(pixels + (y - pixelsRect.top()) * stride) +
                            (area.left() - pixelsRect.left());
        const quint32* source = overlay + qsizetype(y - overlayRect.top()) * overlayRect.width() +
                                (area.left() - overlayRect.left());
        for (int x = 0; x < area.width(); ++x) {
            const quint32 s = source[x];
            const quint32 alpha = s >> 24;
            if (alpha == 0) {
                continue;
            }
            if (alpha == 255) {
                destination[x] = s;
                continue;
            }
            const quint32 d = destination[x];
            const quint32 inverse = 255 - alpha;
            // Per channel: s + d * (1 - a), with a rounding division by 255.
            auto channel = [&](int shift) {
                const quint32 dc = (d >> shift) & 0xff;
                quint32 t = dc * inverse + 128;
                t = (t + (t >> 8)) >> 8;
                return std::min<quint32>(((s >> shift) & 0xff) + t, 255) << shift;
            };
            destination[x] = opaque | channel(16) | channel(8) | channel(0);
        }
    }
}

} // namespace oculo::x11
