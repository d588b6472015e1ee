#include "views/Symbols.h"

#include <QFile>
#include <QIconEngine>
#include <QPainter>
#include <QSvgRenderer>

#include <memory>

// Resources of a static library are linked only when something refers to them.
static void initSymbolResources() {
    Q_INIT_RESOURCE(symbols);
}

namespace oculo {

namespace {

// Renders one SVG drawing in a given colour; the drawings use "currentColor"
// for their strokes and fills.
class TintedSvgIconEngine : public QIconEngine {
public:
    explicit TintedSvgIconEngine(QByteArray svg)
        : m_svg(std::move(svg)) {}

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State) override {
        QSvgRenderer renderer(m_svg);
        if (!renderer.isValid()) {
            return;
        }
        painter->save();
        if (mode == QIcon::Disabled) {
            painter->setOpacity(painter->opacity() * 0.55);
        }
        renderer.render(painter, QRectF(rect));
        painter->restore();
    }

    // The base class leaves the pixmap uninitialised around the drawing.
    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        return scaledPixmap(size, mode, state, 1.0);
    }

    QPixmap scaledPixmap(const QSize& size, QIcon::Mode mode, QIcon::State state,
                         qreal scale) override {
        QPixmap pixmap(size * scale);
        pixmap.fill(Qt::transparent);
        {
            QPainter painter(&pixmap);
            painter.setRenderHint(QPainter::Antialiasing);
            paint(&painter, pixmap.rect(), mode, state);
        }
        pixmap.setDevicePixelRatio(scale);
        return pixmap;
    }

    QIconEngine* clone() const override { return new TintedSvgIconEngine(m_svg); }

    QString key() const override { return QStringLiteral("oculo-tinted-svg"); }

private:
    QByteArray m_svg;
};

} // namespace

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
    static const bool resourcesReady = [] {
        initSymbolResources();
        return true;
    }();
    Q_UNUSED(resourcesReady);

    QFile file(QStringLiteral(":/oculo/symbols/%1.svg").arg(symbolName(symbol)));
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    QByteArray svg = file.readAll();
    svg.replace("currentColor", color.name(QColor::HexRgb).toLatin1());
    return QIcon(new TintedSvgIconEngine(std::move(svg)));
}

QPixmap symbolPixmap(Symbol symbol, int sizePx, const QColor& color, double opacity,
                     qreal devicePixelRatio) {
    const QIcon icon = symbolIcon(symbol, color);
    const QSize physical = QSize(sizePx, sizePx) * devicePixelRatio;
    QPixmap pixmap(physical);
    pixmap.setDevicePixelRatio(devicePixelRatio);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setOpacity(opacity);
    icon.paint(&painter, QRect(0, 0, sizePx, sizePx));
    return pixmap;
}

QIcon symbolIcon(Symbol symbol, const QColor& color) {
    const QString themeName = symbolThemeName(symbol);
    if (QIcon::hasThemeIcon(themeName)) {
        return QIcon::fromTheme(themeName);
    }
    return bundledSymbolIcon(symbol, color);
}

} // namespace oculo
