#pragma once

#include <QColor>
#include <QIcon>
#include <QString>

namespace oculo {

// A line drawing from the resources, rendered with its "currentColor" in
// `color` and its "backgroundColor" (if it names one) in `background`. Each
// size, scale and mode is rasterised once, and each drawing and colour pair is
// kept: panels and strips repaint often, and re-rendering vector drawings that
// often costs more than the rest of the paint. A missing drawing gives a null
// icon. The resource must be registered before the first call.
QIcon tintedDrawingIcon(const QString& resource, const QColor& color,
                        const QColor& background = Qt::transparent);

// A picture with a meaning: the icon theme's `themeName` where the theme has
// one (an empty name never matches, so a theme never substitutes a different
// idea), else the tinted drawing at `resource`.
struct TintedDrawing {
    QString themeName;
    QString resource;
};

QIcon themedOrTintedIcon(const TintedDrawing& drawing, const QColor& color,
                         const QColor& background = Qt::transparent);

} // namespace oculo
