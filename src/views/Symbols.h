#pragma once

#include <QColor>
#include <QIcon>
#include <QPixmap>
#include <QString>

namespace oculo {

// The pictograms of the magnifier's controls and placeholders.
enum class Symbol {
    followMouse,
    fixedRegion,
    adjustRegion,
    magnifier,
    zoomOut,
    zoomIn,
    transparency,
    pinned,
    unpinned,
    hideWhileMovingOn,
    hideWhileMovingOff,
    stayInSpace,
    followAcrossSpaces,
    dockTop,
    dockTopActive,
    dockBottom,
    dockBottomActive,
    warning,
};

// Stable name of the symbol, also the base name of its bundled drawing.
QString symbolName(Symbol symbol);

// Freedesktop / Adwaita name of an icon with the same meaning.
QString symbolThemeName(Symbol symbol);

// The desktop theme's icon when it has one, otherwise the bundled drawing in
// `color`, so a control is never blank.
QIcon symbolIcon(Symbol symbol, const QColor& color);

// Always the bundled drawing, rendered in `color` at whatever size is asked.
QIcon bundledSymbolIcon(Symbol symbol, const QColor& color);

// A not-interactive rendering of `symbol`, e.g. for a label; `opacity` below 1
// draws it dimmed.
QPixmap symbolPixmap(Symbol symbol, int sizePx, const QColor& color, double opacity,
                     qreal devicePixelRatio);

} // namespace oculo
