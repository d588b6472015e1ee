#pragma once

#include "widgets/TintedIcon.h"

#include <QIcon>

class QPalette;

namespace oculo {

// The small pictures of the tray panel and the settings window.
enum class ShellSymbol {
    newWindow,
    followMouse,
    fixedRegion,
    selectRegion,
    adjustRegion,
    zoomOut,
    zoomIn,
    transparency,
    keepWindowActive,
    stayInCurrentSpace,
    followFocus,
    noFilter,
    invertLightness,
    invertColors,
    grayscale,
    smoothScaling,
    crosshair,
    settings,
    quit,
    checkmark,
    noWindow,
};

// The icon theme's name of the same meaning, if the standard names have one,
// and Oculo's own line drawing, for the panel's rows.
TintedDrawing shellSymbolDrawing(ShellSymbol symbol);

// The icon theme's picture of the same meaning where the theme has one, else
// Oculo's own line drawing in the palette's text colour.
QIcon shellSymbolIcon(ShellSymbol symbol, const QPalette& palette);

// Oculo's application icon: the installed theme icon, else the bundled drawing.
QIcon applicationIcon();

} // namespace oculo
