#pragma once

#include <QColor>
#include <QCursor>
#include <QImage>
#include <QPoint>
#include <QWidget>

namespace oculo::test {

// A frameless window filled with four coloured quadrants (top-left red,
// top-right green, bottom-left blue, bottom-right yellow), or one colour.
class PatternWindow : public QWidget {
public:
    explicit PatternWindow(const QRect& geometry);
    void setSolidColor(const QColor& color); // repaints
    static QColor quadrantColor(bool right, bool bottom);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor m_solid;
};

// A pointer shape that every capture can see: a solid square, hotspot top-left.
QCursor solidCursor(const QColor& color, int size);

// Moves the pointer of $DISPLAY through XTest, like a real mouse would
// (raw motion events included), and waits until the server has done it.
void movePointer(const QPoint& position);

QColor pixelColor(const QImage& image, int x, int y);

} // namespace oculo::test
