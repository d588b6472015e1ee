#include "X11TestSupport.h"

#include <QPainter>
#include <QPixmap>

#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <cstdlib>
#include <memory>

namespace oculo::test {

PatternWindow::PatternWindow(const QRect& geometry)
    : QWidget(nullptr, Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint) {
    setGeometry(geometry);
}

void PatternWindow::setSolidColor(const QColor& color) {
    m_solid = color;
    update();
}

QColor PatternWindow::quadrantColor(bool right, bool bottom) {
    if (bottom) {
        return right ? QColor(255, 255, 0) : QColor(0, 0, 255);
    }
    return right ? QColor(0, 255, 0) : QColor(255, 0, 0);
}

void PatternWindow::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    if (m_solid.isValid()) {
        painter.fillRect(rect(), m_solid);
        return;
    }
    const int w = width() / 2;
    const int h = height() / 2;
    painter.fillRect(0, 0, w, h, quadrantColor(false, false));
    painter.fillRect(w, 0, width() - w, h, quadrantColor(true, false));
    painter.fillRect(0, h, w, height() - h, quadrantColor(false, true));
    painter.fillRect(w, h, width() - w, height() - h, quadrantColor(true, true));
}

QCursor solidCursor(const QColor& color, int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(color);
    return QCursor(pixmap, 0, 0);
}

void movePointer(const QPoint& position) {
    struct Disconnect {
        void operator()(xcb_connection_t* c) const { xcb_disconnect(c); }
    };
    int screenNumber = 0;
    const std::unique_ptr<xcb_connection_t, Disconnect> connection(
        xcb_connect(nullptr, &screenNumber));
    if (xcb_connection_has_error(connection.get()) != 0) {
        return;
    }
    auto it = xcb_setup_roots_iterator(xcb_get_setup(connection.get()));
    for (int i = 0; i < screenNumber; ++i) {
        xcb_screen_next(&it);
    }
    xcb_test_fake_input(connection.get(), XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, it.data->root,
                        static_cast<int16_t>(position.x()), static_cast<int16_t>(position.y()), 0);
    std::free(xcb_get_input_focus_reply(connection.get(), xcb_get_input_focus(connection.get()),
                                        nullptr));
}

QColor pixelColor(const QImage& image, int x, int y) {
    return QColor::fromRgba(image.pixel(x, y));
}

} // namespace oculo::test
