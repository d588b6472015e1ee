#include "shell/icons/ShellSymbols.h"

#include <QFile>
#include <QGuiApplication>
#include <QHash>
#include <QPainter>
#include <QPalette>
#include <QPixmap>
#include <QSvgRenderer>

// Resources of a static library are only registered when something asks for them.
static void registerShellIcons() {
    static const bool registered = [] {
        Q_INIT_RESOURCE(shell_icons);
        return true;
    }();
    Q_UNUSED(registered);
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

// Renders a line drawing whose strokes use `currentColor` in `color`, at the
// sizes a row or a heading asks for.
QIcon tintedDrawing(const QString& resource, const QColor& color) {
    registerShellIcons();
    QFile file(resource);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    QByteArray svg = file.readAll();
    svg.replace("currentColor", color.name(QColor::HexRgb).toLatin1());
    QSvgRenderer renderer(svg);
    if (!renderer.isValid()) {
        return {};
    }
    QIcon icon;
    const qreal ratio = qGuiApp ? qGuiApp->devicePixelRatio() : 1.0;
    for (const int size : {16, 22, 32, 48, 64}) {
        QPixmap pixmap(QSize(size, size) * ratio);
        pixmap.setDevicePixelRatio(ratio);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        renderer.render(&painter, QRectF(0, 0, size, size));
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

} // namespace

QIcon shellSymbolIcon(ShellSymbol symbol, const QPalette& palette) {
    const SymbolSource source = sourceOf(symbol);
    const QString themeName = QString::fromLatin1(source.themeName);
    if (!themeName.isEmpty() && QIcon::hasThemeIcon(themeName)) {
        return QIcon::fromTheme(themeName);
    }
    // Rows repaint often; render each drawing once per colour.
    static QHash<QPair<int, QRgb>, QIcon> rendered;
    const QColor color = palette.color(QPalette::Active, QPalette::WindowText);
    const auto key = qMakePair(static_cast<int>(symbol), color.rgba());
    auto found = rendered.constFind(key);
    if (found == rendered.constEnd()) {
        found = rendered.insert(
            key, tintedDrawing(QStringLiteral(":/oculo/shell/") + QLatin1String(source.bundledFile),
                               color));
    }
    return *found;
}

QIcon applicationIcon() {
    registerShellIcons();
    return QIcon::fromTheme(QStringLiteral(OCULO_BUNDLE_IDENTIFIER),
                            QIcon(QStringLiteral(":/oculo/shell/org.oculo.Oculo.svg")));
}

} // namespace oculo
