#include "X11Probe.h"

#include <xcb/damage.h>
#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <poll.h>
#include <thread>
#include <vector>

namespace oculo::probe {
namespace {

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
template <typename T>
using Reply = std::unique_ptr<T, FreeDeleter>;

// Lets the server and the driven program see each input event on its own.
constexpr auto inputSpacing = std::chrono::milliseconds(30);

} // namespace

X11Probe::X11Probe(const QByteArray& display) {
    int screenNumber = 0;
    xcb_connection_t* c =
        xcb_connect(display.isEmpty() ? nullptr : display.constData(), &screenNumber);
    if (xcb_connection_has_error(c) != 0) {
        xcb_disconnect(c);
        m_error = QStringLiteral("Cannot open the X display.");
        return;
    }
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int i = 0; i < screenNumber && screens.rem > 0; ++i) {
        xcb_screen_next(&screens);
    }
    m_connection = c;
    m_root = screens.data->root;

    const Reply<xcb_test_get_version_reply_t> xtest(
        xcb_test_get_version_reply(c, xcb_test_get_version(c, 2, 2), nullptr));
    if (!xtest) {
        m_error = QStringLiteral("The X server has no XTEST extension.");
        xcb_disconnect(c);
        m_connection = nullptr;
    }
}

X11Probe::~X11Probe() {
    if (m_connection != nullptr) {
        xcb_disconnect(m_connection);
    }
}

QSize X11Probe::screenSize() const {
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(m_connection)).data;
    return {screen->width_in_pixels, screen->height_in_pixels};
}

uint32_t X11Probe::findWindow(pid_t pid, const QString& title) const {
    return largestViewable([&](uint32_t window) {
        return ownerPid(window) == pid && (title.isEmpty() || this->title(window) == title);
    });
}

uint32_t X11Probe::findWindowTitled(const QString& titlePrefix) const {
    return largestViewable([&](uint32_t window) { return title(window).startsWith(titlePrefix); });
}

uint32_t X11Probe::largestViewable(const std::function<bool(uint32_t)>& accepts) const {
    uint32_t best = XCB_WINDOW_NONE;
    int bestArea = 0;
    for (const uint32_t window : descendants(m_root)) {
        if (!accepts(window) || !isViewable(window)) {
            continue;
        }
        const QRect rect = rootGeometry(window);
        if (rect.width() * rect.height() > bestArea) {
            bestArea = rect.width() * rect.height();
            best = window;
        }
    }
    return best;
}

uint32_t X11Probe::atom(const char* name) const {
    const Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(
        m_connection,
        xcb_intern_atom(m_connection, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr));
    return reply ? reply->atom : uint32_t{XCB_ATOM_NONE};
}

QByteArray X11Probe::property(uint32_t window, uint32_t name, uint32_t type) const {
    const Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
        m_connection, xcb_get_property(m_connection, 0, window, name, type, 0, 4096), nullptr));
    if (!reply || reply->type == XCB_ATOM_NONE) {
        return {};
    }
    return QByteArray(static_cast<const char*>(xcb_get_property_value(reply.get())),
                      xcb_get_property_value_length(reply.get()));
}

QList<uint32_t> X11Probe::descendants(uint32_t window) const {
    QList<uint32_t> result;
    const Reply<xcb_query_tree_reply_t> tree(
        xcb_query_tree_reply(m_connection, xcb_query_tree(m_connection, window), nullptr));
    if (!tree) {
        return result;
    }
    const xcb_window_t* children = xcb_query_tree_children(tree.get());
    for (int i = 0; i < xcb_query_tree_children_length(tree.get()); ++i) {
        result.append(children[i]);
        result.append(descendants(children[i]));
    }
    return result;
}

QList<uint32_t> X11Probe::managedClients() const {
    const QByteArray ids = property(m_root, atom("_NET_CLIENT_LIST"), XCB_ATOM_WINDOW);
    QList<uint32_t> result;
    for (qsizetype offset = 0; offset + 4 <= ids.size(); offset += 4) {
        uint32_t id = 0;
        std::memcpy(&id, ids.constData() + offset, sizeof id);
        result.append(id);
    }
    return result;
}

bool X11Probe::isViewable(uint32_t window) const {
    const Reply<xcb_get_window_attributes_reply_t> reply(xcb_get_window_attributes_reply(
        m_connection, xcb_get_window_attributes(m_connection, window), nullptr));
    return reply && reply->map_state == XCB_MAP_STATE_VIEWABLE;
}

bool X11Probe::isOverrideRedirect(uint32_t window) const {
    const Reply<xcb_get_window_attributes_reply_t> reply(xcb_get_window_attributes_reply(
        m_connection, xcb_get_window_attributes(m_connection, window), nullptr));
    return reply && reply->override_redirect;
}

uint32_t X11Probe::activeWindow() const {
    const QByteArray value = property(m_root, atom("_NET_ACTIVE_WINDOW"), XCB_ATOM_WINDOW);
    uint32_t window = 0;
    if (value.size() >= 4) {
        std::memcpy(&window, value.constData(), sizeof window);
    }
    return window;
}

pid_t X11Probe::ownerPid(uint32_t window) const {
    const QByteArray value = property(window, atom("_NET_WM_PID"), XCB_ATOM_CARDINAL);
    uint32_t pid = 0;
    if (value.size() >= 4) {
        std::memcpy(&pid, value.constData(), sizeof pid);
    }
    return static_cast<pid_t>(pid);
}

QString X11Probe::title(uint32_t window) const {
    const QByteArray name = property(window, atom("_NET_WM_NAME"), atom("UTF8_STRING"));
    if (!name.isEmpty()) {
        return QString::fromUtf8(name);
    }
    return QString::fromLatin1(property(window, XCB_ATOM_WM_NAME, XCB_ATOM_STRING));
}

QStringList X11Probe::classNames(uint32_t window) const {
    QStringList result;
    const QByteArray value = property(window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING);
    for (const QByteArray& part : value.split('\0')) {
        if (!part.isEmpty()) {
            result.append(QString::fromLatin1(part));
        }
    }
    return result;
}

QRect X11Probe::rootGeometry(uint32_t window) const {
    const Reply<xcb_get_geometry_reply_t> geometry(
        xcb_get_geometry_reply(m_connection, xcb_get_geometry(m_connection, window), nullptr));
    const Reply<xcb_translate_coordinates_reply_t> origin(xcb_translate_coordinates_reply(
        m_connection, xcb_translate_coordinates(m_connection, window, m_root, 0, 0), nullptr));
    if (!geometry || !origin) {
        return {};
    }
    return {origin->dst_x, origin->dst_y, geometry->width, geometry->height};
}

void X11Probe::sync() {
    std::free(xcb_get_input_focus_reply(m_connection, xcb_get_input_focus(m_connection), nullptr));
}

void X11Probe::movePointer(QPoint rootPosition) {
    xcb_test_fake_input(m_connection, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, m_root,
                        static_cast<int16_t>(rootPosition.x()),
                        static_cast<int16_t>(rootPosition.y()), 0);
    sync();
}

void X11Probe::warpPointer(QPoint rootPosition) {
    xcb_warp_pointer(m_connection, XCB_WINDOW_NONE, m_root, 0, 0, 0, 0,
                     static_cast<int16_t>(rootPosition.x()),
                     static_cast<int16_t>(rootPosition.y()));
    sync();
}

void X11Probe::setButton(int button, bool pressed) {
    xcb_test_fake_input(m_connection, pressed ? XCB_BUTTON_PRESS : XCB_BUTTON_RELEASE,
                        static_cast<uint8_t>(button), XCB_CURRENT_TIME, XCB_WINDOW_NONE, 0, 0, 0);
    sync();
}

void X11Probe::clickButton(int button) {
    const auto detail = static_cast<uint8_t>(button);
    xcb_test_fake_input(m_connection, XCB_BUTTON_PRESS, detail, XCB_CURRENT_TIME, XCB_WINDOW_NONE,
                        0, 0, 0);
    xcb_test_fake_input(m_connection, XCB_BUTTON_RELEASE, detail, XCB_CURRENT_TIME, XCB_WINDOW_NONE,
                        0, 0, 0);
    xcb_flush(m_connection);
}

void X11Probe::fakeInput(uint8_t type, uint8_t detail, QPoint rootPosition) {
    xcb_test_fake_input(m_connection, type, detail, XCB_CURRENT_TIME, m_root,
                        static_cast<int16_t>(rootPosition.x()),
                        static_cast<int16_t>(rootPosition.y()), 0);
    xcb_flush(m_connection);
    std::this_thread::sleep_for(inputSpacing);
}

void X11Probe::iconify(uint32_t window) {
    constexpr uint32_t iconicState = 3;
    xcb_client_message_event_t event{};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = window;
    event.type = atom("WM_CHANGE_STATE");
    event.data.data32[0] = iconicState;
    xcb_send_event(m_connection, 0, m_root,
                   XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&event));
    sync();
}

void X11Probe::click(QPoint rootPosition) {
    fakeInput(XCB_MOTION_NOTIFY, 0, rootPosition);
    fakeInput(XCB_BUTTON_PRESS, 1);
    fakeInput(XCB_BUTTON_RELEASE, 1);
}

uint8_t X11Probe::keycodeOf(uint32_t keysym) const {
    const xcb_setup_t* setup = xcb_get_setup(m_connection);
    const int count = setup->max_keycode - setup->min_keycode + 1;
    const Reply<xcb_get_keyboard_mapping_reply_t> mapping(xcb_get_keyboard_mapping_reply(
        m_connection,
        xcb_get_keyboard_mapping(m_connection, setup->min_keycode, static_cast<uint8_t>(count)),
        nullptr));
    if (!mapping) {
        return 0;
    }
    const xcb_keysym_t* symbols = xcb_get_keyboard_mapping_keysyms(mapping.get());
    const int perCode = mapping->keysyms_per_keycode;
    for (int code = 0; code < count; ++code) {
        for (int level = 0; level < perCode; ++level) {
            if (symbols[code * perCode + level] == keysym) {
                return static_cast<uint8_t>(setup->min_keycode + code);
            }
        }
    }
    return 0;
}

bool X11Probe::pressKeys(const QList<uint32_t>& keysyms) {
    QList<uint8_t> codes;
    for (const uint32_t keysym : keysyms) {
        const uint8_t code = keycodeOf(keysym);
        if (code == 0) {
            return false;
        }
        codes.append(code);
    }
    for (const uint8_t code : codes) {
        fakeInput(XCB_KEY_PRESS, code);
    }
    for (auto code = codes.crbegin(); code != codes.crend(); ++code) {
        fakeInput(XCB_KEY_RELEASE, *code);
    }
    return true;
}

QPoint X11Probe::pointerPosition() const {
    const Reply<xcb_query_pointer_reply_t> reply(
        xcb_query_pointer_reply(m_connection, xcb_query_pointer(m_connection, m_root), nullptr));
    return reply ? QPoint(reply->root_x, reply->root_y) : QPoint();
}

QImage X11Probe::grab(const QRect& rootRect) const {
    const QRect rect = rootRect.intersected(QRect(QPoint(0, 0), screenSize()));
    if (rect.isEmpty()) {
        return {};
    }
    const Reply<xcb_get_image_reply_t> reply(xcb_get_image_reply(
        m_connection,
        xcb_get_image(m_connection, XCB_IMAGE_FORMAT_Z_PIXMAP, m_root,
                      static_cast<int16_t>(rect.x()), static_cast<int16_t>(rect.y()),
                      static_cast<uint16_t>(rect.width()), static_cast<uint16_t>(rect.height()),
                      ~0u),
        nullptr));
    // 24-bit depth is stored as 32 bits per pixel, B G R X in memory on the
    // little-endian servers this is used with: QImage's RGB32 layout.
    if (!reply || reply->depth != 24 ||
        xcb_get_image_data_length(reply.get()) < rect.width() * rect.height() * 4) {
        return {};
    }
    QImage image(rect.size(), QImage::Format_RGB32);
    const uint8_t* data = xcb_get_image_data(reply.get());
    const auto rowBytes = static_cast<size_t>(rect.width()) * 4;
    for (int y = 0; y < rect.height(); ++y) {
        std::memcpy(image.scanLine(y), data + y * rowBytes, rowBytes);
    }
    return image;
}

bool X11Probe::watchRepaints(uint32_t window) {
    const xcb_query_extension_reply_t* extension =
        xcb_get_extension_data(m_connection, &xcb_damage_id);
    if (extension == nullptr || extension->present == 0) {
        return false;
    }
    const Reply<xcb_damage_query_version_reply_t> version(xcb_damage_query_version_reply(
        m_connection, xcb_damage_query_version(m_connection, 1, 1), nullptr));
    if (!version) {
        return false;
    }
    if (m_damage != 0) {
        xcb_damage_destroy(m_connection, m_damage);
    }
    m_damageEventBase = extension->first_event;
    m_damage = xcb_generate_id(m_connection);
    xcb_damage_create(m_connection, m_damage, window, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
    xcb_flush(m_connection);
    m_repaints = 0;
    return true;
}

bool X11Probe::handlePendingEvents() {
    bool repainted = false;
    while (xcb_generic_event_t* event = xcb_poll_for_event(m_connection)) {
        if ((event->response_type & 0x7f) == m_damageEventBase + XCB_DAMAGE_NOTIFY) {
            // One notification per repaint: clearing the damage re-arms it.
            xcb_damage_subtract(m_connection, m_damage, XCB_NONE, XCB_NONE);
            ++m_repaints;
            repainted = true;
        }
        std::free(event);
    }
    xcb_flush(m_connection);
    return repainted;
}

bool X11Probe::waitForRepaint(int timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (handlePendingEvents()) {
            return true;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0 || xcb_connection_has_error(m_connection) != 0) {
            return false;
        }
        pollfd pfd{xcb_get_file_descriptor(m_connection), POLLIN, 0};
        poll(&pfd, 1, static_cast<int>(left.count()));
    }
}

int X11Probe::takeRepaintCount() {
    handlePendingEvents();
    const int count = m_repaints;
    m_repaints = 0;
    return count;
}

} // namespace oculo::probe
