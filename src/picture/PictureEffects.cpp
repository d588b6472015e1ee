#include "picture/PictureEffects.h"
#include "picture/VectorClones.h"

#include <algorithm>
#include <cmath>

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
// compiler vectorises them.
OCULO_VECTOR_CLONES
void invertRow(quint32* pixels, int width) {
    for (int x = 0; x < width; ++x) {
        pixels[x] = (pixels[x] ^ 0x00ffffffu) | opaque;
    }
}

OCULO_VECTOR_CLONES
void invertLightnessRow(quint32* pixels, int width) {
    for (int x = 0; x < width; ++x) {
        const quint32 p = pixels[x];
        const int r = int((p >> 16) & 0xff);
        const int g = int((p >> 8) & 0xff);
        const int b = int(p & 0xff);
        // Every result stays in 0..255: max maps to 255 - min, min to 255 - max.
        const int shift = 255 - std::max({r, g, b}) - std::min({r, g, b});
        pixels[x] =
            opaque | quint32(r + shift) << 16 | quint32(g + shift) << 8 | quint32(b + shift);
    }
}

OCULO_VECTOR_CLONES
void grayscaleRow(quint32* pixels, int width) {
    for (int x = 0; x < width; ++x) {
        const quint32 p = pixels[x];
        const quint32 luma = (((p >> 16) & 0xff) * redWeight + ((p >> 8) & 0xff) * greenWeight +
                              (p & 0xff) * blueWeight + 32768) >>
                             16;
        pixels[x] = opaque | luma * 0x010101u;
    }
}

void fillRect(QImage& image, int left, int top, int width, int height, quint32 colour) {
    const QRect area = QRect(left, top, width, height).intersected(image.rect());
    for (int y = area.top(); y <= area.bottom(); ++y) {
        auto* line = reinterpret_cast<quint32*>(image.scanLine(y));
        std::fill(line + area.left(), line + area.left() + area.width(), colour);
    }
}

using FilterRow = void (*)(quint32*, int);

FilterRow filterRow(ColorFilter filter) {
    switch (filter) {
    case ColorFilter::none:
        break;
    case ColorFilter::invert:
        return invertRow;
    case ColorFilter::invertLightness:
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
        row(reinterpret_cast<quint32*>(pixels + y * stride), width);
    }
}

void filterPixels(ColorFilter filter, quint32* pixels, int count) {
    if (const FilterRow row = filterRow(filter)) {
        row(pixels, count);
    }
}

bool filtersBeforeScaling(const PictureOptions& options, const FrameScaler& scaler) {
    return options.colorFilter != ColorFilter::invertLightness || !scaler.mixes();
}

void drawCrosshair(QImage& image, QPointF centre) {
    if (image.depth() != 32 || image.isNull() || !std::isfinite(centre.x()) ||
        !std::isfinite(centre.y())) {
        return;
    }
    // The two dark pixels straddle the centre: columns x - 1 and x.
    const qreal clampedX = std::clamp(centre.x(), -2.0, image.width() + 2.0);
    const qreal clampedY = std::clamp(centre.y(), -2.0, image.height() + 2.0);
    const int x = static_cast<int>(std::lround(clampedX));
    const int y = static_cast<int>(std::lround(clampedY));
    const int w = image.width();
    const int h = image.height();
    // Light edges first, so that the dark lines stay whole where they cross.
    fillRect(image, x - 2, 0, 4, h, crosshairLight);
    fillRect(image, 0, y - 2, w, 4, crosshairLight);
    fillRect(image, x - 1, 0, 2, h, crosshairDark);
    fillRect(image, 0, y - 1, w, 2, crosshairDark);
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
    scaler.scale(pixels, stride, image, before ? ColorFilter::none : options.colorFilter);
    if (options.crosshair) {
        drawCrosshair(image, scaler.sourceCentre());
    }
}

} // namespace oculo
