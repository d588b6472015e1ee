#include "views/ControlButton.h"

#include <QAbstractButton>
#include <QGraphicsOpacityEffect>
#include <QKeyEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionToolButton>

#include <algorithm>

namespace oculo {

namespace {

class EnterKeyPresses : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::KeyPress) {
            return false;
        }
        const auto* key = static_cast<QKeyEvent*>(event);
        auto* button = qobject_cast<QAbstractButton*>(watched);
        if (!button || (key->key() != Qt::Key_Return && key->key() != Qt::Key_Enter)) {
            return false;
        }
        if (button->isEnabled()) {
            button->click();
        }
        return true;
    }
};

} // namespace

void pressWithEnterKey(QAbstractButton* button) {
    button->installEventFilter(new EnterKeyPresses(button));
}

void setDrawnOpacity(QWidget* widget, double opacity) {
    if (auto* button = qobject_cast<ControlButton*>(widget)) {
        button->setOpacity(opacity);
        return;
    }
    if (opacity >= 1.0) {
        if (widget->graphicsEffect()) {
            widget->setGraphicsEffect(nullptr);
        }
        return;
    }
    auto* effect = qobject_cast<QGraphicsOpacityEffect*>(widget->graphicsEffect());
    if (!effect) {
        effect = new QGraphicsOpacityEffect(widget);
        widget->setGraphicsEffect(effect);
    }
    effect->setOpacity(opacity);
}

double drawnOpacity(const QWidget* widget) {
    if (const auto* button = qobject_cast<const ControlButton*>(widget)) {
        return button->opacity();
    }
    const auto* effect = qobject_cast<const QGraphicsOpacityEffect*>(widget->graphicsEffect());
    return effect ? effect->opacity() : 1.0;
}

ControlButton::ControlButton(const QString& accessibleName, int symbolSizePx, QWidget* parent)
    : QToolButton(parent) {
    setAccessibleName(accessibleName);
    setIconSize(QSize(symbolSizePx, symbolSizePx));
    setToolButtonStyle(Qt::ToolButtonIconOnly);
    // Tab reaches it; a click leaves the keyboard focus on the magnifier.
    setFocusPolicy(Qt::TabFocus);
    pressWithEnterKey(this);
}

void ControlButton::setSymbol(Symbol symbol) {
    if (m_hasSymbol && symbol == m_symbol) {
        return;
    }
    m_symbol = symbol;
    m_hasSymbol = true;
    setIcon(symbolIcon(symbol, Qt::white));
    Q_EMIT symbolChanged();
}

void ControlButton::setTint(const QString& tint) {
    if (tint == m_tint) {
        return;
    }
    m_tint = tint;
    // Style sheets select on the property; re-polish so the new colour applies.
    style()->unpolish(this);
    style()->polish(this);
    m_pictureKey.clear();
    update();
    Q_EMIT tintChanged();
}

void ControlButton::paintEvent(QPaintEvent*) {
    QStyleOptionToolButton option;
    initStyleOption(&option);
    const qreal ratio = devicePixelRatioF();
    // Everything the style draws from: size, state flags, symbol, tint, scale.
    const QString key = QStringLiteral("%1x%2@%3 %4 %5 %6 %7")
                            .arg(option.rect.width())
                            .arg(option.rect.height())
                            .arg(ratio)
                            .arg(option.state.toInt())
                            .arg(option.icon.cacheKey())
                            .arg(m_tint)
                            .arg(static_cast<int>(option.activeSubControls));
    if (key != m_pictureKey) {
        QPixmap picture(option.rect.size() * ratio);
        picture.setDevicePixelRatio(ratio);
        picture.fill(Qt::transparent);
        {
            QPainter painter(&picture);
            painter.setFont(font());
            style()->drawComplexControl(QStyle::CC_ToolButton, &option, &painter, this);
        }
        m_picture = picture;
        m_pictureKey = key;
    }
    QPainter painter(this);
    painter.setOpacity(m_opacity);
    painter.drawPixmap(0, 0, m_picture);
}

void ControlButton::setOpacity(double opacity) {
    opacity = std::clamp(opacity, 0.0, 1.0);
    if (qFuzzyCompare(opacity, m_opacity)) {
        return;
    }
    m_opacity = opacity;
    update();
}

void ControlButton::changeEvent(QEvent* event) {
    QToolButton::changeEvent(event);
    switch (event->type()) {
    case QEvent::StyleChange:
    case QEvent::PaletteChange:
    case QEvent::FontChange:
        m_pictureKey.clear();
        break;
    default:
        break;
    }
}

void ControlButton::setHelp(const QString& text) {
    setToolTip(text);
    setAccessibleDescription(text);
}

} // namespace oculo
