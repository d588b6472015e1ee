#pragma once

#include <QList>
#include <QString>

#include <optional>

namespace oculo {

// What a magnifier does to the picture after grabbing it. Persisted by raw
// value; add new cases at the end so stored settings keep their meaning.
enum class ColorFilter {
    none,
    invert,          // each channel v -> 255 - v
    invertLightness, // HSL lightness inverted, hue and saturation kept
    grayscale,       // Rec. 709 luma in every channel
};

enum class Scaling {
    pixels, // nearest neighbour: every source pixel a crisp square
    smooth, // interpolated across the edges of source pixels
};

struct PictureOptions {
    ColorFilter colorFilter = ColorFilter::none;
    Scaling scaling = Scaling::pixels;
    // Two lines across the picture through the magnified spot.
    bool crosshair = false;

    friend bool operator==(const PictureOptions&, const PictureOptions&) = default;
};

QString rawValue(ColorFilter filter);
QString rawValue(Scaling scaling);

// Exact, case-sensitive match of the raw value; anything else gives nothing.
std::optional<ColorFilter> colorFilterFromRaw(const QString& raw);
std::optional<Scaling> scalingFromRaw(const QString& raw);

QList<ColorFilter> allColorFilters();

} // namespace oculo
