#include "state/ValueText.h"

#include <QCoreApplication>
#include <QLocale>

#include <cmath>

namespace oculo::valuetext {

QString zoomLevel(double zoom) {
    return QLocale().toString(zoom, 'f', 1);
}

QString transparencyPercent(double alpha) {
    return QLocale().toString(static_cast<int>(std::trunc(alpha * 100.0)));
}

QString colorFilterName(ColorFilter filter) {
    switch (filter) {
    case ColorFilter::none:
        break;
    case ColorFilter::invertLightness:
        return QCoreApplication::translate("ValueText", "Invert Lightness");
    case ColorFilter::invert:
        return QCoreApplication::translate("ValueText", "Invert Colors");
    case ColorFilter::grayscale:
        return QCoreApplication::translate("ValueText", "Grayscale");
    }
    return QCoreApplication::translate("ValueText", "No Filter");
}

} // namespace oculo::valuetext
