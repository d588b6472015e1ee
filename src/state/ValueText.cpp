#include "state/ValueText.h"

#include <QLocale>

#include <cmath>

namespace oculo::valuetext {

QString zoomLevel(double zoom) {
    return QLocale().toString(zoom, 'f', 1);
}

QString transparencyPercent(double alpha) {
    return QLocale().toString(static_cast<int>(std::trunc(alpha * 100.0)));
}

} // namespace oculo::valuetext
