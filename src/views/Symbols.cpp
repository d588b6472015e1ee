#include "views/Symbols.h"

#include <QFile>
#include <QIconEngine>
#include <QPainter>
#include <QPixmapCache>
#include <QSvgRenderer>

#include <memory>

// Resources of a static library are linked only when something refers to them.
static void initSymbolResources() {
    Q_INIT_RESOURCE(symbols);
}

namespace oculo {

namespace {

// Renders one SVG drawing in a given colour; the drawings use "currentColor"
// for their strokes and fills. Each size, scale and mode is rasterised once:
// the strip repaints with every captured frame, and re-rendering vector
// drawings that often costs more than the frame itself.
class TintedSvgIconEngine : public QIconEngine {
public:
    explicit TintedSvgIconEngine(QByteArray svg)
        : m_svg(std::move(svg)) {}

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode,
               QIcon::State state) override {
        const qreal scale = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
        painter->drawPixmap(rect, scaledPixmap(rect.size(), mode, state, scale));
    }

    // The base class leaves the pixmap uninitialised around the drawing.
    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        return scaledPixmap(size, mode, state, 1.0);
    }

    QPixmap scaledPixmap(const QSize& size, QIcon::Mode mode, QIcon::State state,
                         qreal scale) override {
        const QSize physical = size * scale;
        for (const Rendering& rendering : m_renderings) {
            if (rendering.physicalSize == physical && rendering.mode == mode &&
                rendering.state == state && qFuzzyCompare(rendering.scale, scale)) {
                return rendering.pixmap;
            }
        }
        QPixmap pixmap = render(physical, mode);
        pixmap.setDevicePixelRatio(scale);
        // A handful of sizes and modes are ever asked for; the bound only
        // guards against a caller that keeps asking for new ones.
        if (m_renderings.size() >= maxRenderings) {
            m_renderings.removeFirst();
        }
        m_renderings.append({physical, mode, state, scale, pixmap});
        return pixmap;
    }

    QIconEngine* clone() const override { return new TintedSvgIconEngine(*this); }

    QString key() const override { return QStringLiteral("oculo-tinted-svg"); }

    // Number of times the drawing was rasterised, for tests of the cache.
    static int renderCount() { return s_renderCount; }

private:
    struct Rendering {
        QSize physicalSize;
        QIcon::Mode mode;
        QIcon::State state;
        qreal scale;
        QPixmap pixmap;
    };
    static constexpr qsizetype maxRenderings = 16;

    QPixmap render(const QSize& physical, QIcon::Mode mode) const {
        QPixmap pixmap(physical);
        pixmap.fill(Qt::transparent);
        QSvgRenderer renderer(m_svg);
        if (!renderer.isValid() || physical.isEmpty()) {
            return pixmap;
        }
        ++s_renderCount;
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        if (mode == QIcon::Disabled) {
            painter.setOpacity(0.55);
        }
        renderer.render(&painter, QRectF(pixmap.rect()));
        return pixmap;
    }

    QByteArray m_svg;
    QList<Rendering> m_renderings;
    static inline int s_renderCount = 0;
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

int bundledSymbolRenderCount() {
    return TintedSvgIconEngine::renderCount();
}

QIcon symbolIcon(Symbol symbol, const QColor& color) {
    const QString themeName = symbolThemeName(symbol);
    if (QIcon::hasThemeIcon(themeName)) {
        return QIcon::fromTheme(themeName);
    }
    return bundledSymbolIcon(symbol, color);
}

} // namespace oculo
