#include "support/X11TestSupport.h"

#include "X11Probe.h"

#include <QPainter>
#include <QPixmap>

#include <xcb/randr.h>
#include <xcb/xcb.h>
#include <xcb/xcbext.h>

#include <cstdlib>
#include <memory>
#include <sys/uio.h>
#include <vector>

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
    static const QColor colors[2][2] = {{Qt::red, Qt::green}, {Qt::blue, Qt::yellow}};
    return colors[bottom][right];
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
    painter.fillRect(w - m_stripeWidth / 2, 0, m_stripeWidth, height(), Qt::black);
}

QCursor solidCursor(const QColor& color, int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(color);
    return QCursor(pixmap, 0, 0);
}

namespace {

// One client of the test's X server for all simulated input.
probe::X11Probe& input() {
    static probe::X11Probe probe;
    return probe;
}

} // namespace

void movePointer(const QPoint& position) {
    input().movePointer(position);
}

void warpPointer(const QPoint& position) {
    input().warpPointer(position);
}

void warpPointerOn(const QByteArray& display, const QPoint& position) {
    xcb_connection_t* c = xcb_connect(display.constData(), nullptr);
    if (xcb_connection_has_error(c) == 0) {
        const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
        xcb_warp_pointer(c, XCB_WINDOW_NONE, screen->root, 0, 0, 0, 0,
                         static_cast<int16_t>(position.x()), static_cast<int16_t>(position.y()));
        std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    }
    xcb_disconnect(c);
}

void setPointerButton(int button, bool pressed) {
    input().setButton(button, pressed);
}

bool pressKeys(const QList<quint32>& keysyms) {
    return input().pressKeys(keysyms);
}

QColor pixelColor(const QImage& image, int x, int y) {
    return QColor::fromRgba(image.pixel(x, y));
}

SolidXWindow::SolidXWindow(const QRect& geometry, const QColor& color)
    : m_connection(xcb_connect(nullptr, nullptr)) {
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(m_connection)).data;
    m_window = xcb_generate_id(m_connection);
    const uint32_t values[] = {color.rgb() & 0xffffffu, 1};
    xcb_create_window(m_connection, XCB_COPY_FROM_PARENT, m_window, screen->root,
                      static_cast<int16_t>(geometry.x()), static_cast<int16_t>(geometry.y()),
                      static_cast<uint16_t>(geometry.width()),
                      static_cast<uint16_t>(geometry.height()), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      screen->root_visual, XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
    xcb_map_window(m_connection, m_window);
    std::free(xcb_get_input_focus_reply(m_connection, xcb_get_input_focus(m_connection), nullptr));
}

SolidXWindow::~SolidXWindow() {
    xcb_disconnect(m_connection);
}

void SolidXWindow::setColor(const QColor& color) {
    const uint32_t pixel = color.rgb() & 0xffffffu;
    xcb_change_window_attributes(m_connection, m_window, XCB_CW_BACK_PIXEL, &pixel);
    xcb_clear_area(m_connection, 0, m_window, 0, 0, 0, 0);
    std::free(xcb_get_input_focus_reply(m_connection, xcb_get_input_focus(m_connection), nullptr));
}

void SolidXWindow::takeKeyboardFocus() {
    xcb_set_input_focus(m_connection, XCB_INPUT_FOCUS_POINTER_ROOT, m_window, XCB_CURRENT_TIME);
    std::free(xcb_get_input_focus_reply(m_connection, xcb_get_input_focus(m_connection), nullptr));
}

bool SolidXWindow::grabKey(quint32 keysym, quint16 modifiers) {
    const xcb_setup_t* setup = xcb_get_setup(m_connection);
    const int count = setup->max_keycode - setup->min_keycode + 1;
    const std::unique_ptr<xcb_get_keyboard_mapping_reply_t, decltype(&std::free)> mapping(
        xcb_get_keyboard_mapping_reply(
            m_connection,
            xcb_get_keyboard_mapping(m_connection, setup->min_keycode, static_cast<uint8_t>(count)),
            nullptr),
        &std::free);
    const xcb_keysym_t* symbols = xcb_get_keyboard_mapping_keysyms(mapping.get());
    for (int code = 0; code < count; ++code) {
        if (symbols[code * mapping->keysyms_per_keycode] == keysym) {
            const xcb_window_t root = xcb_setup_roots_iterator(setup).data->root;
            std::unique_ptr<xcb_generic_error_t, decltype(&std::free)> error(
                xcb_request_check(
                    m_connection,
                    xcb_grab_key_checked(m_connection, 1, root, modifiers,
                                         static_cast<xcb_keycode_t>(setup->min_keycode + code),
                                         XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC)),
                &std::free);
            return error == nullptr;
        }
    }
    return false;
}

ScopedMonitors::ScopedMonitors(const QList<Monitor>& monitors)
    : m_connection(xcb_connect(nullptr, nullptr)) {
    if (xcb_connection_has_error(m_connection) != 0) {
        return;
    }
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(m_connection)).data;
    std::free(xcb_randr_query_version_reply(m_connection,
                                            xcb_randr_query_version(m_connection, 1, 5), nullptr));
    auto* resources = xcb_randr_get_screen_resources_current_reply(
        m_connection, xcb_randr_get_screen_resources_current(m_connection, screen->root), nullptr);
    if (resources == nullptr) {
        return;
    }
    const xcb_randr_output_t output = xcb_randr_get_screen_resources_current_outputs(resources)[0];
    std::free(resources);
    m_valid = true;
    for (int i = 0; i < monitors.size(); ++i) {
        const Monitor& monitor = monitors[i];
        // The generated xcb_randr_set_monitor() mis-sizes this request in libxcb
        // 1.15 and breaks the connection, so it is sent by hand.
        struct {
            xcb_randr_set_monitor_request_t header;
            xcb_randr_monitor_info_t info;
            xcb_randr_output_t outputs[1];
        } request{};
        request.header.window = screen->root;
        request.info.name = atomOf(monitor.name);
        request.info.primary = monitor.primary ? 1 : 0;
        request.info.nOutput = i == 0 ? 1 : 0;
        request.info.x = static_cast<int16_t>(monitor.geometry.x());
        request.info.y = static_cast<int16_t>(monitor.geometry.y());
        request.info.width = static_cast<uint16_t>(monitor.geometry.width());
        request.info.height = static_cast<uint16_t>(monitor.geometry.height());
        request.info.width_in_millimeters = static_cast<uint32_t>(monitor.geometry.width() / 4);
        request.info.height_in_millimeters = static_cast<uint32_t>(monitor.geometry.height() / 4);
        request.outputs[0] = output;
        iovec parts[4] = {{}, {}, {&request, sizeof request.header + sizeof request.info}, {}};
        parts[2].iov_len += i == 0 ? sizeof(xcb_randr_output_t) : 0;
        xcb_protocol_request_t protocol{2, &xcb_randr_id, XCB_RANDR_SET_MONITOR, 1};
        const xcb_void_cookie_t cookie{
            xcb_send_request(m_connection, XCB_REQUEST_CHECKED, parts + 2, &protocol)};
        if (xcb_generic_error_t* error = xcb_request_check(m_connection, cookie)) {
            std::free(error);
            m_valid = false;
        }
    }
    m_valid = m_valid && xcb_connection_has_error(m_connection) == 0;
}

ScopedMonitors::~ScopedMonitors() {
    xcb_disconnect(m_connection);
}

quint32 ScopedMonitors::atomOf(const QByteArray& name) const {
    auto* reply = xcb_intern_atom_reply(
        m_connection,
        xcb_intern_atom(m_connection, 0, static_cast<uint16_t>(name.size()), name.constData()),
        nullptr);
    const quint32 atom = reply != nullptr ? reply->atom : 0;
    std::free(reply);
    return atom;
}

} // namespace oculo::test
