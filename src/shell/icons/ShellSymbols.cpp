#include "shell/icons/ShellSymbols.h"

#include "widgets/TintedIcon.h"

#include <QPalette>

// Resources of a static library are only registered when something asks for them.
static void registerShellIcons() {
    Q_INIT_RESOURCE(shell_icons);
}

namespace oculo {
namespace {

struct SymbolSource {
    // Freedesktop icon name with the same meaning; empty when the standard
    // names have none, so a theme never substitutes a different idea.
    const char* themeName;
    const char* bundledFile;
};

SymbolSource sourceOf(ShellSymbol symbol) {
    switch (symbol) {
    case ShellSymbol::newWindow:
        return {"window-new", "new-window.svg"};
    case ShellSymbol::followMouse:
        return {"", "follow-mouse.svg"};
    case ShellSymbol::fixedRegion:
        return {"", "fixed-region.svg"};
    case ShellSymbol::selectRegion:
        return {"", "select-region.svg"};
    case ShellSymbol::adjustRegion:
        return {"", "adjust-region.svg"};
    case ShellSymbol::zoomOut:
        return {"zoom-out", "zoom-out.svg"};
    case ShellSymbol::zoomIn:
        return {"zoom-in", "zoom-in.svg"};
    case ShellSymbol::transparency:
        return {"", "transparency.svg"};
    case ShellSymbol::keepWindowActive:
        return {"", "keep-active.svg"};
    case ShellSymbol::stayInCurrentSpace:
        return {"", "stay-in-space.svg"};
    case ShellSymbol::followFocus:
        return {"", "follow-focus.svg"};
    case ShellSymbol::noFilter:
        return {"", "no-filter.svg"};
    case ShellSymbol::invertLightness:
        return {"", "invert-lightness.svg"};
    case ShellSymbol::invertColors:
        return {"", "invert-colors.svg"};
    case ShellSymbol::grayscale:
        return {"", "grayscale.svg"};
    case ShellSymbol::smoothScaling:
        return {"", "smooth-scaling.svg"};
    case ShellSymbol::crosshair:
        return {"", "crosshair.svg"};
    case ShellSymbol::settings:
        return {"preferences-system", "settings.svg"};
    case ShellSymbol::quit:
        return {"application-exit", "quit.svg"};
    case ShellSymbol::checkmark:
        return {"", "checkmark.svg"};
    case ShellSymbol::noWindow:
        return {"", "no-window.svg"};
    }
    return {"", "checkmark.svg"};
}

} // namespace

TintedDrawing shellSymbolDrawing(ShellSymbol symbol) {
    registerShellIcons();
    const SymbolSource source = sourceOf(symbol);
    return {QString::fromLatin1(source.themeName),
            QStringLiteral(":/oculo/shell/") + QLatin1String(source.bundledFile)};
}

QIcon shellSymbolIcon(ShellSymbol symbol, const QPalette& palette) {
    return themedOrTintedIcon(shellSymbolDrawing(symbol),
                              palette.color(QPalette::Active, QPalette::WindowText));
}

QIcon applicationIcon() {
    registerShellIcons();
    return QIcon::fromTheme(QStringLiteral(OCULO_BUNDLE_IDENTIFIER),
                            QIcon(QStringLiteral(":/oculo/shell/org.oculo.Oculo.svg")));
}

} // namespace oculo
