#include "picture/PictureEffects.h"
#include "picture/VectorClones.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

namespace oculo {
namespace {

constexpr quint32 opaque = 0xff000000u;
constexpr quint32 crosshairDark = 0xff000000u;
constexpr quint32 crosshairLight = 0xffffffffu;

// Rec. 709 weights in 16-bit fixed point; they add up to exactly 65536.
constexpr quint32 redWeight = 13933;
constexpr quint32 greenWeight = 46871;
constexpr quint32 blueWeight = 4732;
static_assert(redWeight + greenWeight + blueWeight == 65536);

// The loops below are written per pixel without branches so that the
// compiler vectorises them; `in` may be `out`.
OCULO_VECTOR_CLONES
void invertRow(const quint32* in, quint32* out, int width) {
    for (int x = 0; x < width; ++x) {
        out[x] = (in[x] ^ 0x00ffffffu) | opaque;
    }
}

inline quint32 invertLightness(quint32 p) {
    const int r = int((p >> 16) & 0xff);
    const int g = int((p >> 8) & 0xff);
    const int b = int(p & 0xff);
    // Every result stays in 0..255: max maps to 255 - min, min to 255 - max.
    const int shift = 255 - std::max({r, g, b}) - std::min({r, g, b});
    return opaque | quint32(r + shift) << 16 | quint32(g + shift) << 8 | quint32(b + shift);
}

OCULO_VECTOR_CLONES
void invertLightnessRow(const quint32* in, quint32* out, int width) {
    for (int x = 0; x < width; ++x) {
        out[x] = invertLightness(in[x]);
    }
}

#if OCULO_HAS_AVX2
using Bytes = uchar __attribute__((vector_size(32)));
using Words = quint32 __attribute__((vector_size(32)));

// Eight pixels at once in byte lanes: each channel v becomes (v - min) +
// (255 - max), which stays in 0..255 since min <= v <= max, so the channels
// need not be unpacked; two shuffles set each channel beside the other two.
OCULO_AVX2
void invertLightnessRowAvx2(const quint32* in, quint32* out, int width) {
    const auto alpha = std::bit_cast<Bytes>(Words{} + opaque);
    int x = 0;
    for (; x + 8 <= width; x += 8) {
        Bytes p;
        std::memcpy(&p, in + x, sizeof p);
        const Bytes a =
            __builtin_shufflevector(p, p, 1, 2, 0, 3, 5, 6, 4, 7, 9, 10, 8, 11, 13, 14, 12, 15, 17,
                                    18, 16, 19, 21, 22, 20, 23, 25, 26, 24, 27, 29, 30, 28, 31);
        const Bytes b =
            __builtin_shufflevector(p, p, 2, 0, 1, 3, 6, 4, 5, 7, 10, 8, 9, 11, 14, 12, 13, 15, 18,
                                    16, 17, 19, 22, 20, 21, 23, 26, 24, 25, 27, 30, 28, 29, 31);
        Bytes high = p > a ? p : a;
        high = high > b ? high : b;
        Bytes low = p < a ? p : a;
        low = low < b ? low : b;
        const Bytes result = ((p - low) + ~high) | alpha;
        std::memcpy(out + x, &result, sizeof result);
    }
    for (; x < width; ++x) {
        out[x] = invertLightness(in[x]);
    }
}
#endif

OCULO_VECTOR_CLONES
void grayscaleRow(const quint32* in, quint32* out, int width) {
    for (int x = 0; x < width; ++x) {
        const quint32 p = in[x];
        const quint32 luma = (((p >> 16) & 0xff) * redWeight + ((p >> 8) & 0xff) * greenWeight +
                              (p & 0xff) * blueWeight + 32768) >>
                             16;
        out[x] = opaque | luma * 0x010101u;
    }
}

using FilterRow = void (*)(const quint32*, quint32*, int);

FilterRow filterRow(ColorFilter filter) {
    switch (filter) {
    case ColorFilter::none:
        break;
    case ColorFilter::invert:
        return invertRow;
    case ColorFilter::invertLightness:
#if OCULO_HAS_AVX2
        if (__builtin_cpu_supports("avx2")) {
            return invertLightnessRowAvx2;
        }
#endif
        return invertLightnessRow;
    case ColorFilter::grayscale:
        return grayscaleRow;
    }
    return nullptr;
}

} // namespace

void applyColorFilter(ColorFilter filter, uchar* pixels, qsizetype stride, int width, int height) {
    const FilterRow row = filterRow(filter);
    if (row == nullptr) {
        return;
    }
    for (int y = 0; y < height; ++y) {
        auto* line = reinterpret_cast<quint32*>(pixels + y * stride);
        row(line, line, width);
    }
}

void filterPixels(ColorFilter filter, const quint32* in, quint32* out, int count) {
    if (const FilterRow row = filterRow(filter)) {
        row(in, out, count);
    } else if (in != out) {
        std::memcpy(out, in, std::size_t(std::max(count, 0)) * sizeof(quint32));
    }
}

bool filtersBeforeScaling(const PictureOptions& options, const FrameScaler& scaler) {
    return options.colorFilter != ColorFilter::invertLightness && scaler.mixes();
}

CrosshairPlace crosshairPlace(const QSize& size, QPointF centre) {
    if (!std::isfinite(centre.x()) || !std::isfinite(centre.y())) {
        return {};
    }
    // The two dark pixels straddle the centre: columns x - 1 and x.
    const qreal x = std::clamp(centre.x(), -2.0, size.width() + 2.0);
    const qreal y = std::clamp(centre.y(), -2.0, size.height() + 2.0);
    return {static_cast<int>(std::lround(x)), static_cast<int>(std::lround(y)), true};
}

void CrosshairPlace::drawRow(quint32* line, int width, int row) const {
    if (!valid) {
        return;
    }
    const auto fill = [&](int from, int count, quint32 colour) {
        const int begin = std::clamp(from, 0, width);
        std::fill(line + begin, line + std::clamp(from + count, begin, width), colour);
    };
    // Light edges first, so that the dark lines stay whole where they cross.
    if (crossesRow(row)) {
        const bool dark = row == y - 1 || row == y;
        fill(0, width, dark ? crosshairDark : crosshairLight);
        if (dark) {
            return;
        }
    } else {
        fill(x - 2, 4, crosshairLight);
    }
    fill(x - 1, 2, crosshairDark);
}

void drawCrosshair(QImage& image, QPointF centre) {
    if (image.depth() != 32 || image.isNull()) {
        return;
    }
    const CrosshairPlace place = crosshairPlace(image.size(), centre);
    for (int y = 0; y < image.height(); ++y) {
        place.drawRow(reinterpret_cast<quint32*>(image.scanLine(y)), image.width(), y);
    }
}

void finishPicture(const PictureOptions& options, const FrameScaler& scaler, QImage& image) {
    // Only what shows the display: the black beyond its edge stays black, as
    // when filtering before scaling.
    const QRect inside = scaler.insideRect().intersected(image.rect());
    if (!filtersBeforeScaling(options, scaler) && !inside.isEmpty() && image.depth() == 32) {
        applyColorFilter(options.colorFilter, image.scanLine(inside.top()) + inside.left() * 4,
                         image.bytesPerLine(), inside.width(), inside.height());
    }
    if (options.crosshair) {
        drawCrosshair(image, scaler.sourceCentre());
    }
}

void scalePicture(const PictureOptions& options, const FrameScaler& scaler, const uchar* pixels,
                  qsizetype stride, QImage& image) {
    const bool before = filtersBeforeScaling(options, scaler);
    scaler.scale(pixels, stride, image, before ? ColorFilter::none : options.colorFilter,
                 options.crosshair);
}

} // namespace oculo
