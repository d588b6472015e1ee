#include "widgets/PanelRow.h"

#include <QKeySequence>
#include <QPainter>

#include <algorithm>
#include <utility>

namespace oculo {

PanelRow::PanelRow(TintedDrawing symbol, const QString& title, QWidget* parent)
    : QAbstractButton(parent) {
    setAttribute(Qt::WA_Hover);
    setFocusPolicy(Qt::TabFocus);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    display(std::move(symbol), title);
}

void PanelRow::display(TintedDrawing symbol, const QString& title) {
    m_symbol = std::move(symbol);
    setText(title);
    setAccessibleName(title);
    updateGeometry();
    update();
}

void PanelRow::setCheckmark(TintedDrawing checkmark) {
    m_checkmark = std::move(checkmark);
    setCheckable(true);
    updateGeometry();
}

void PanelRow::setShortcutText(const QKeySequence& keys) {
    m_shortcutText = keys.toString(QKeySequence::NativeText);
    updateGeometry();
}

QSize PanelRow::sizeHint() const {
    const QFontMetrics metrics = fontMetrics();
    int width = textStart() + metrics.horizontalAdvance(text()) + padding;
    if (!m_shortcutText.isEmpty()) {
        width += 3 * gap + metrics.horizontalAdvance(m_shortcutText);
    }
    return {width, std::max(iconSize + 8, metrics.height() + 8)};
}

void PanelRow::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const bool enabled = isEnabled();
    const bool highlighted = enabled && (underMouse() || hasFocus() || isDown());
    const QPalette::ColorGroup group = enabled ? QPalette::Active : QPalette::Disabled;
    if (highlighted) {
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(palette().color(group, QPalette::Highlight));
        painter.drawRoundedRect(QRectF(rect()).adjusted(1, 0, -1, 0), 4, 4);
    }
    const QColor color =
        palette().color(group, highlighted ? QPalette::HighlightedText : QPalette::WindowText);
    const QColor background =
        palette().color(QPalette::Active, highlighted ? QPalette::Highlight : QPalette::Window);
    const int iconTop = (height() - iconSize) / 2;
    const auto paintIcon = [&](const TintedDrawing& drawing, int x) {
        const QIcon icon = themedOrTintedIcon(drawing, color, background);
        // A drawing already has the muted colour; only a theme's picture needs dimming.
        const bool dimmed = !enabled && !icon.name().isEmpty();
        icon.paint(&painter, QRect(x, iconTop, iconSize, iconSize), Qt::AlignCenter,
                   dimmed ? QIcon::Disabled : QIcon::Normal);
    };

    int x = padding;
    if (m_checkmark) {
        // The checkmark keeps its room when off, so the titles stay aligned.
        if (isChecked()) {
            paintIcon(*m_checkmark, x);
        }
        x += iconSize + gap;
    }
    paintIcon(m_symbol, x);

    painter.setPen(color);
    const QRect textRect = rect().adjusted(textStart(), 0, -padding, 0);
    painter.drawText(textRect, Qt::AlignVCenter | Qt::AlignLeft | Qt::TextSingleLine, text());
    if (!m_shortcutText.isEmpty()) {
        painter.setPen(highlighted ? color : palette().color(group, QPalette::PlaceholderText));
        painter.drawText(textRect, Qt::AlignVCenter | Qt::AlignRight | Qt::TextSingleLine,
                         m_shortcutText);
    }
}

} // namespace oculo
