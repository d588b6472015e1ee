#pragma once

#include <QLayout>
#include <QList>

namespace oculo {

// Lays its items out left to right in one row while they fit and wraps them
// into further rows when they do not; every row is centred horizontally and
// its items are centred vertically. Separators only ever stand between two
// items of the same row: at the start or end of a row they are dropped and
// given an empty geometry. An item wider than the whole width gets a row of
// its own and overflows to the right; sizeForWidth() tells when that happens.
class FlowRowLayout : public QLayout {
public:
    explicit FlowRowLayout(QWidget* parent = nullptr);
    ~FlowRowLayout() override;

    // Vertical distance between rows; spacing() is the one between items.
    int rowSpacing() const { return m_rowSpacing; }
    void setRowSpacing(int spacing);

    // Adds `widget` as a separator, dropped where a row starts or ends.
    void addSeparator(QWidget* widget);

    // The size the items take when laid out within `width` (margins
    // included): as wide as the widest row, never narrower than minimumSize().
    QSize sizeForWidth(int width) const;
    // Number of rows when laid out within `width`.
    int rowCountForWidth(int width) const;

    void addItem(QLayoutItem* item) override;
    int count() const override;
    QLayoutItem* itemAt(int index) const override;
    QLayoutItem* takeAt(int index) override;
    Qt::Orientations expandingDirections() const override;
    bool hasHeightForWidth() const override;
    int heightForWidth(int width) const override;
    QSize sizeHint() const override;
    QSize minimumSize() const override;
    void setGeometry(const QRect& rect) override;

private:
    struct Entry {
        QLayoutItem* item = nullptr;
        bool separator = false;
    };
    struct Row {
        QList<int> entries;
        int width = 0;
        int height = 0;
    };

    // Rows for an inner width (margins excluded).
    QList<Row> rows(int innerWidth) const;
    int horizontalMargins() const;
    int verticalMargins() const;
    int rowsHeight(const QList<Row>& rows) const;

    QList<Entry> m_entries;
    int m_rowSpacing = 0;
};

} // namespace oculo
