#pragma once

#include <QByteArray>
#include <QColor>
#include <QCursor>
#include <QImage>
#include <QList>
#include <QPoint>
#include <QRect>
#include <QWidget>

struct xcb_connection_t;

namespace oculo::test {

// A frameless window filled with four coloured quadrants (top-left red,
// top-right green, bottom-left blue, bottom-right yellow), or one colour.
class PatternWindow : public QWidget {
public:
    explicit PatternWindow(const QRect& geometry);
    void setSolidColor(const QColor& color); // repaints
    // A black vertical stripe this wide down the middle, over the quadrants.
    void setStripeWidth(int width) { m_stripeWidth = width; }
    static QColor quadrantColor(bool right, bool bottom);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor m_solid;
    int m_stripeWidth = 0;
};

// A pointer shape that every capture can see: a solid square, hotspot top-left.
QCursor solidCursor(const QColor& color, int size);

// Moves the pointer of $DISPLAY through XTest, like a real mouse would
// (raw motion events included), and waits until the server has done it.
void movePointer(const QPoint& position);

// Warps the pointer of $DISPLAY, which sends no raw motion, and waits until
// the server has done it.
void warpPointer(const QPoint& position);
// The same on `display`, with the core protocol alone (a server without XTEST).
void warpPointerOn(const QByteArray& display, const QPoint& position);

// Presses or releases pointer `button` of $DISPLAY through XTest where the
// pointer is, and waits until the server has done it.
void setPointerButton(int button, bool pressed);

// Presses the keys of $DISPLAY in order through XTest, then releases them in
// reverse; false when one is not on the keyboard.
bool pressKeys(const QList<quint32>& keysyms);

QColor pixelColor(const QImage& image, int x, int y);

// A plain X window painted through its own connection, so that the screen
// changes while the test's event loop is not running.
class SolidXWindow {
public:
    SolidXWindow(const QRect& geometry, const QColor& color);
    ~SolidXWindow();
    SolidXWindow(const SolidXWindow&) = delete;
    SolidXWindow& operator=(const SolidXWindow&) = delete;

    void setColor(const QColor& color); // returns once the server has repainted
    void takeKeyboardFocus();           // returns once the server has done it
    // Grabs `keysym` with exactly `modifiers` (X modifier bits) on the root
    // window, as another program's global shortcut; false when it could not.
    bool grabKey(quint32 keysym, quint16 modifiers);

private:
    ::xcb_connection_t* m_connection = nullptr;
    quint32 m_window = 0;
};

// Splits the screen of $DISPLAY into RandR monitors for as long as it lives
// (the server forgets a client's monitors when its connection closes). The
// first monitor takes over the screen's only output.
class ScopedMonitors {
public:
    struct Monitor {
        QByteArray name;
        QRect geometry;
        bool primary = false;
    };
    explicit ScopedMonitors(const QList<Monitor>& monitors);
    ~ScopedMonitors();
    ScopedMonitors(const ScopedMonitors&) = delete;
    ScopedMonitors& operator=(const ScopedMonitors&) = delete;

    bool isValid() const { return m_valid; }
    quint32 atomOf(const QByteArray& name) const;

private:
    ::xcb_connection_t* m_connection = nullptr;
    bool m_valid = false;
};

} // namespace oculo::test
