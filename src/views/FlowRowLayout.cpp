#include "views/FlowRowLayout.h"

#include <QWidget>

#include <algorithm>
#include <limits>

namespace oculo {

FlowRowLayout::FlowRowLayout(QWidget* parent)
    : QLayout(parent) {}

FlowRowLayout::~FlowRowLayout() {
    while (QLayoutItem* item = takeAt(0)) {
        delete item;
    }
}

void FlowRowLayout::setRowSpacing(int spacing) {
    if (spacing == m_rowSpacing) {
        return;
    }
    m_rowSpacing = spacing;
    invalidate();
}

void FlowRowLayout::addSeparator(QWidget* widget) {
    addChildWidget(widget);
    m_entries.append({new QWidgetItem(widget), true});
    invalidate();
}

void FlowRowLayout::addItem(QLayoutItem* item) {
    m_entries.append({item, false});
    invalidate();
}

int FlowRowLayout::count() const {
    return static_cast<int>(m_entries.size());
}

QLayoutItem* FlowRowLayout::itemAt(int index) const {
    return index >= 0 && index < m_entries.size() ? m_entries.at(index).item : nullptr;
}

QLayoutItem* FlowRowLayout::takeAt(int index) {
    if (index < 0 || index >= m_entries.size()) {
        return nullptr;
    }
    QLayoutItem* item = m_entries.takeAt(index).item;
    invalidate();
    return item;
}

Qt::Orientations FlowRowLayout::expandingDirections() const {
    return {};
}

bool FlowRowLayout::hasHeightForWidth() const {
    return true;
}

int FlowRowLayout::heightForWidth(int width) const {
    return sizeForWidth(width).height();
}

QSize FlowRowLayout::sizeHint() const {
    return sizeForWidth(std::numeric_limits<int>::max());
}

QSize FlowRowLayout::minimumSize() const {
    // Wrapping one item per row is as narrow as the layout gets.
    int widest = 0;
    for (const Entry& entry : m_entries) {
        if (!entry.separator && !entry.item->isEmpty()) {
            widest = std::max(widest, entry.item->sizeHint().width());
        }
    }
    // Heights depend on the width (heightForWidth); the least is one row's.
    return {widest + horizontalMargins(), sizeHint().height()};
}

QSize FlowRowLayout::sizeForWidth(int width) const {
    const QList<Row> laidOut = rows(std::max(0, width - horizontalMargins()));
    int widest = 0;
    for (const Row& row : laidOut) {
        widest = std::max(widest, row.width);
    }
    return {widest + horizontalMargins(), rowsHeight(laidOut) + verticalMargins()};
}

int FlowRowLayout::rowCountForWidth(int width) const {
    return static_cast<int>(rows(std::max(0, width - horizontalMargins())).size());
}

void FlowRowLayout::setGeometry(const QRect& rect) {
    QLayout::setGeometry(rect);
    const QRect inner = rect.marginsRemoved(contentsMargins());
    const QList<Row> laidOut = rows(inner.width());

    // Separators that no row took are parked, empty, out of sight.
    for (const Entry& entry : m_entries) {
        if (entry.separator) {
            entry.item->setGeometry(QRect(inner.topLeft(), QSize(0, 0)));
        }
    }

    int y = inner.top() + std::max(0, (inner.height() - rowsHeight(laidOut)) / 2);
    for (const Row& row : laidOut) {
        int x = inner.left() + std::max(0, (inner.width() - row.width) / 2);
        for (int index : row.entries) {
            QLayoutItem* item = m_entries.at(index).item;
            const QSize size = item->sizeHint();
            item->setGeometry(QRect(QPoint(x, y + (row.height - size.height()) / 2), size));
            x += size.width() + spacing();
        }
        y += row.height + m_rowSpacing;
    }
}

QList<FlowRowLayout::Row> FlowRowLayout::rows(int innerWidth) const {
    QList<Row> result;
    Row current;
    int pendingSeparator = -1;
    const auto place = [&current, this](int index) {
        const QSize size = m_entries.at(index).item->sizeHint();
        current.width += (current.entries.isEmpty() ? 0 : spacing()) + size.width();
        current.height = std::max(current.height, size.height());
        current.entries.append(index);
    };

    for (int index = 0; index < m_entries.size(); ++index) {
        const Entry& entry = m_entries.at(index);
        if (entry.item->isEmpty()) {
            continue;
        }
        if (entry.separator) {
            if (!current.entries.isEmpty()) {
                pendingSeparator = index;
            }
            continue;
        }
        int needed = current.width + entry.item->sizeHint().width();
        if (!current.entries.isEmpty()) {
            needed += spacing();
            if (pendingSeparator >= 0) {
                needed += m_entries.at(pendingSeparator).item->sizeHint().width() + spacing();
            }
        }
        if (!current.entries.isEmpty() && needed > innerWidth) {
            result.append(current);
            current = Row();
        } else if (pendingSeparator >= 0) {
            place(pendingSeparator);
        }
        pendingSeparator = -1;
        place(index);
    }
    if (!current.entries.isEmpty()) {
        result.append(current);
    }
    return result;
}

int FlowRowLayout::horizontalMargins() const {
    const QMargins margins = contentsMargins();
    return margins.left() + margins.right();
}

int FlowRowLayout::verticalMargins() const {
    const QMargins margins = contentsMargins();
    return margins.top() + margins.bottom();
}

int FlowRowLayout::rowsHeight(const QList<Row>& rows) const {
    int height = 0;
    for (const Row& row : rows) {
        height += row.height;
    }
    if (!rows.isEmpty()) {
        height += m_rowSpacing * static_cast<int>(rows.size() - 1);
    }
    return height;
}

} // namespace oculo
