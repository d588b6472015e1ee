#pragma once

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
    settings,
    quit,
    checkmark,
    noWindow,
};

// The icon theme's picture of the same meaning where the theme has one, else
// Oculo's own line drawing in the palette's text colour. Never a null icon.
QIcon shellSymbolIcon(ShellSymbol symbol, const QPalette& palette);

// Oculo's application icon: the installed theme icon, else the bundled drawing.
QIcon applicationIcon();

} // namespace oculo
