#pragma once

#include "picture/FrameScaler.h"
#include "picture/PictureOptions.h"

#include <QImage>
#include <QPointF>
#include <QtGlobal>

namespace oculo {

// Applies `filter` in place to `width` x `height` 32-bit xRGB pixels, rows
// `stride` bytes apart; every pixel comes out opaque (alpha 0xff).
//   invert:          each channel v -> 255 - v
//   invertLightness: each channel v -> v + 255 - max(R, G, B) - min(R, G, B)
//                    (HSL lightness L -> 1 - L, hue and saturation kept)
//   grayscale:       Rec. 709 luma of the stored values in every channel
void applyColorFilter(ColorFilter filter, uchar* pixels, qsizetype stride, int width, int height);
// The same on `count` pixels of one row, from `in` to `out`, which may be `in`.
void filterPixels(ColorFilter filter, const quint32* in, quint32* out, int count);

// Whether the filter runs on the grabbed pixels before `scaler`, rather than
// inside it on each row. Inverting and greyscale are per-pixel affine maps, so
// they commute with interpolation and run first, on fewer pixels than the
// mixed rows; inverting lightness is not affine (max and min) and differs where
// the scaler mixes two source pixels. Crisp scaling only copies, so the scaler
// filters each source row as it spreads it, while it is in cache.
bool filtersBeforeScaling(const PictureOptions& options, const FrameScaler& scaler);

// Two lines across the whole image through `centre`, each 2 pixels wide:
// dark, with a 1-pixel light edge on both sides so that they show on any
// background.
void drawCrosshair(QImage& image, QPointF centre);

// Where drawCrosshair() draws in an image of a given size, row by row.
struct CrosshairPlace {
    int x = 0; // the dark columns are x - 1 and x, the dark rows y - 1 and y
    int y = 0;
    bool valid = false;
    // Whether `row` is one of the four of the horizontal lines.
    bool crossesRow(int row) const { return valid && row >= y - 2 && row <= y + 1; }
    void drawRow(quint32* line, int width, int row) const;
};
CrosshairPlace crosshairPlace(const QSize& size, QPointF centre);

// What is left to do on `image`, scaled by `scaler`: the filter when it could
// not run before, then the crosshair through the source's centre.
void finishPicture(const PictureOptions& options, const FrameScaler& scaler, QImage& image);

// `pixels` (filtered already where filtersBeforeScaling() holds) scaled into
// `image` and finished: a filter that must follow mixing runs on each row as
// it is scaled, while the row is still in cache.
void scalePicture(const PictureOptions& options, const FrameScaler& scaler, const uchar* pixels,
                  qsizetype stride, QImage& image);

} // namespace oculo
