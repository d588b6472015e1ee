#include "widgets/TintedIcon.h"

#include <QFile>
#include <QHash>
#include <QIconEngine>
#include <QList>
#include <QPainter>
#include <QSvgRenderer>

#include <utility>

namespace oculo {
namespace {

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
};

} // namespace

QIcon tintedDrawingIcon(const QString& resource, const QColor& color, const QColor& background) {
    static QHash<QString, QIcon> rendered;
    const QString key =
        QStringLiteral("%1 %2 %3").arg(resource).arg(color.rgba()).arg(background.rgba());
    if (const auto found = rendered.constFind(key); found != rendered.constEnd()) {
        return *found;
    }
    QFile file(resource);
    QIcon icon;
    if (file.open(QIODevice::ReadOnly)) {
        QByteArray svg = file.readAll();
        svg.replace("currentColor", color.name(QColor::HexRgb).toLatin1());
        svg.replace("backgroundColor", background.name(QColor::HexRgb).toLatin1());
        icon = QIcon(new TintedSvgIconEngine(std::move(svg)));
    }
    rendered.insert(key, icon);
    return icon;
}

QIcon themedOrTintedIcon(const TintedDrawing& drawing, const QColor& color,
                         const QColor& background) {
    if (!drawing.themeName.isEmpty() && QIcon::hasThemeIcon(drawing.themeName)) {
        return QIcon::fromTheme(drawing.themeName);
    }
    return tintedDrawingIcon(drawing.resource, color, background);
}

} // namespace oculo
