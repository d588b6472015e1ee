#include "picture/PictureOptions.h"

namespace oculo {

QString rawValue(ColorFilter filter) {
    switch (filter) {
    case ColorFilter::none:
        return QStringLiteral("none");
    case ColorFilter::invert:
        return QStringLiteral("invert");
    case ColorFilter::invertLightness:
        return QStringLiteral("invertLightness");
    case ColorFilter::grayscale:
        return QStringLiteral("grayscale");
    }
    return QStringLiteral("none");
}

QString rawValue(Scaling scaling) {
    return scaling == Scaling::smooth ? QStringLiteral("smooth") : QStringLiteral("pixels");
}

std::optional<ColorFilter> colorFilterFromRaw(const QString& raw) {
    for (const ColorFilter filter : allColorFilters()) {
        if (raw == rawValue(filter)) {
            return filter;
        }
    }
    return std::nullopt;
}

std::optional<Scaling> scalingFromRaw(const QString& raw) {
    for (const Scaling scaling : {Scaling::pixels, Scaling::smooth}) {
        if (raw == rawValue(scaling)) {
            return scaling;
        }
    }
    return std::nullopt;
}

QList<ColorFilter> allColorFilters() {
    return {ColorFilter::none, ColorFilter::invert, ColorFilter::invertLightness,
            ColorFilter::grayscale};
}

} // namespace oculo
