#pragma once

#include <QString>

// How zoom and transparency read wherever they are shown (hover controls, tray
// panel, settings window), so the places never disagree.
namespace oculo::valuetext {

// Exactly one fraction digit in the user's locale: 2 reads "2.0", 2.5 reads "2,5" in German.
QString zoomLevel(double zoom);

// Whole percent, truncated toward zero: 0.29 reads "28" (0.29 * 100 is 28.999...).
QString transparencyPercent(double alpha);

} // namespace oculo::valuetext
