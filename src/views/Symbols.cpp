#include "views/Symbols.h"

#include "widgets/TintedIcon.h"

#include <QPainter>
#include <QPixmapCache>

// Resources of a static library are only registered when something asks for them.
static void initSymbolResources() {
    Q_INIT_RESOURCE(symbols);
}

namespace oculo {

QString symbolName(Symbol symbol) {
    switch (symbol) {
    case Symbol::followMouse:
        return QStringLiteral("follow-mouse");
    case Symbol::fixedRegion:
        return QStringLiteral("region-dashed");
    case Symbol::adjustRegion:
        return QStringLiteral("adjust-region");
    case Symbol::magnifier:
        return QStringLiteral("magnifier");
    case Symbol::zoomOut:
        return QStringLiteral("minus");
    case Symbol::zoomIn:
        return QStringLiteral("plus");
    case Symbol::transparency:
        return QStringLiteral("contrast");
    case Symbol::pinned:
        return QStringLiteral("pin-on");
    case Symbol::unpinned:
        return QStringLiteral("pin-off");
    case Symbol::hideWhileMovingOn:
        return QStringLiteral("eye-slash-on");
    case Symbol::hideWhileMovingOff:
        return QStringLiteral("eye-slash-off");
    case Symbol::stayInSpace:
        return QStringLiteral("space-stay");
    case Symbol::followAcrossSpaces:
        return QStringLiteral("space-follow");
    case Symbol::dockTop:
        return QStringLiteral("dock-top");
    case Symbol::dockTopActive:
        return QStringLiteral("dock-top-active");
    case Symbol::dockBottom:
        return QStringLiteral("dock-bottom");
    case Symbol::dockBottomActive:
        return QStringLiteral("dock-bottom-active");
    case Symbol::warning:
        return QStringLiteral("warning");
    }
    return {};
}

QString symbolThemeName(Symbol symbol) {
    switch (symbol) {
    case Symbol::followMouse:
        return QStringLiteral("input-mouse");
    case Symbol::fixedRegion:
        return QStringLiteral("select-rectangular");
    case Symbol::adjustRegion:
        return QStringLiteral("transform-scale");
    case Symbol::magnifier:
        return QStringLiteral("edit-find");
    case Symbol::zoomOut:
        return QStringLiteral("zoom-out");
    case Symbol::zoomIn:
        return QStringLiteral("zoom-in");
    case Symbol::transparency:
        return QStringLiteral("contrast");
    case Symbol::pinned:
        return QStringLiteral("window-pin");
    case Symbol::unpinned:
        return QStringLiteral("window-unpin");
    case Symbol::hideWhileMovingOn:
    case Symbol::hideWhileMovingOff:
        return QStringLiteral("view-hidden");
    case Symbol::stayInSpace:
    case Symbol::followAcrossSpaces:
        return QStringLiteral("virtual-desktops");
    case Symbol::dockTop:
    case Symbol::dockTopActive:
        return QStringLiteral("go-top");
    case Symbol::dockBottom:
    case Symbol::dockBottomActive:
        return QStringLiteral("go-bottom");
    case Symbol::warning:
        return QStringLiteral("dialog-warning");
    }
    return {};
}

QIcon bundledSymbolIcon(Symbol symbol, const QColor& color) {
    initSymbolResources();
    return tintedDrawingIcon(QStringLiteral(":/oculo/symbols/%1.svg").arg(symbolName(symbol)),
                             color);
}

QPixmap symbolPixmap(Symbol symbol, int sizePx, const QColor& color, double opacity,
                     qreal devicePixelRatio) {
    const QString cacheKey = QStringLiteral("oculo-symbol-%1-%2-%3-%4-%5")
                                 .arg(symbolName(symbol))
                                 .arg(sizePx)
                                 .arg(color.name(QColor::HexArgb))
                                 .arg(opacity)
                                 .arg(devicePixelRatio);
    QPixmap pixmap;
    if (QPixmapCache::find(cacheKey, &pixmap)) {
        return pixmap;
    }
    const QIcon icon = symbolIcon(symbol, color);
    const QSize physical = QSize(sizePx, sizePx) * devicePixelRatio;
    pixmap = QPixmap(physical);
    pixmap.setDevicePixelRatio(devicePixelRatio);
    pixmap.fill(Qt::transparent);
    {
        QPainter painter(&pixmap);
        painter.setOpacity(opacity);
        // QIcon::pixmap serves theme icons from QIcon's own cache.
        painter.drawPixmap(QRect(0, 0, sizePx, sizePx),
                           icon.pixmap(QSize(sizePx, sizePx), devicePixelRatio));
    }
    QPixmapCache::insert(cacheKey, pixmap);
    return pixmap;
}

QIcon symbolIcon(Symbol symbol, const QColor& color) {
    initSymbolResources();
    return themedOrTintedIcon(
        {symbolThemeName(symbol), QStringLiteral(":/oculo/symbols/%1.svg").arg(symbolName(symbol))},
        color);
}

} // namespace oculo
