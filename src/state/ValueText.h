#pragma once

#include "picture/PictureOptions.h"

#include <QString>

// How zoom, transparency and the colour filters read wherever they are shown
// (hover controls, tray panel, settings window), so the places never disagree.
namespace oculo::valuetext {

// Exactly one fraction digit in the user's locale: 2 reads "2.0", 2.5 reads "2,5" in German.
QString zoomLevel(double zoom);

// Whole percent, truncated toward zero: 0.29 reads "28" (0.29 * 100 is 28.999...).
QString transparencyPercent(double alpha);

// The filter's name for people: "No Filter", "Invert Lightness", "Invert Colors", "Grayscale".
QString colorFilterName(ColorFilter filter);

} // namespace oculo::valuetext
