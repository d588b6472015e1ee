#include "TrayTestSupport.h"

#include <QThread>

#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <cstdlib>
#include <cstring>

namespace oculo::test {
namespace {

struct FreeDeleter {
    void operator()(void* reply) const { std::free(reply); }
};
template <typename T>
using Reply = std::unique_ptr<T, FreeDeleter>;

// Lets the server and the driven program see each input event on its own.
constexpr unsigned long inputSpacingMs = 30;

} // namespace

struct TrayTestDisplay::Connection {
    explicit Connection(xcb_connection_t* c)
        : handle(c) {}
    ~Connection() { xcb_disconnect(handle); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    xcb_connection_t* handle;
};

TrayTestDisplay::TrayTestDisplay()
    : m_connection(std::make_unique<Connection>(xcb_connect(nullptr, nullptr))) {
    if (isConnected()) {
        m_root = xcb_setup_roots_iterator(xcb_get_setup(m_connection->handle)).data->root;
    }
}

TrayTestDisplay::~TrayTestDisplay() = default;

bool TrayTestDisplay::isConnected() const {
    return xcb_connection_has_error(m_connection->handle) == 0;
}

uint32_t TrayTestDisplay::atom(const char* name) const {
    xcb_connection_t* c = m_connection->handle;
    Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(
        c, xcb_intern_atom(c, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr));
    return reply ? reply->atom : uint32_t{XCB_ATOM_NONE};
}

QByteArray TrayTestDisplay::property(uint32_t window, uint32_t name, uint32_t type) const {
    xcb_connection_t* c = m_connection->handle;
    Reply<xcb_get_property_reply_t> reply(
        xcb_get_property_reply(c, xcb_get_property(c, 0, window, name, type, 0, 4096), nullptr));
    if (!reply || reply->type == XCB_ATOM_NONE) {
        return {};
    }
    return QByteArray(static_cast<const char*>(xcb_get_property_value(reply.get())),
                      xcb_get_property_value_length(reply.get()));
}

QList<uint32_t> TrayTestDisplay::descendants(uint32_t window) const {
    xcb_connection_t* c = m_connection->handle;
    QList<uint32_t> result;
    Reply<xcb_query_tree_reply_t> reply(
        xcb_query_tree_reply(c, xcb_query_tree(c, window), nullptr));
    if (!reply) {
        return result;
    }
    const xcb_window_t* children = xcb_query_tree_children(reply.get());
    const int count = xcb_query_tree_children_length(reply.get());
    for (int i = 0; i < count; ++i) {
        result.append(children[i]);
        result.append(descendants(children[i]));
    }
    return result;
}

QList<uint32_t> TrayTestDisplay::managedClients() const {
    const QByteArray ids = property(m_root, atom("_NET_CLIENT_LIST"), XCB_ATOM_WINDOW);
    QList<uint32_t> result;
    for (qsizetype offset = 0; offset + 4 <= ids.size(); offset += 4) {
        uint32_t id = 0;
        std::memcpy(&id, ids.constData() + offset, sizeof id);
        result.append(id);
    }
    return result;
}

bool TrayTestDisplay::isViewable(uint32_t window) const {
    xcb_connection_t* c = m_connection->handle;
    Reply<xcb_get_window_attributes_reply_t> reply(
        xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, window), nullptr));
    return reply && reply->map_state == XCB_MAP_STATE_VIEWABLE;
}

bool TrayTestDisplay::isOverrideRedirect(uint32_t window) const {
    xcb_connection_t* c = m_connection->handle;
    Reply<xcb_get_window_attributes_reply_t> reply(
        xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, window), nullptr));
    return reply && reply->override_redirect;
}

QRect TrayTestDisplay::rootGeometry(uint32_t window) const {
    xcb_connection_t* c = m_connection->handle;
    Reply<xcb_get_geometry_reply_t> size(
        xcb_get_geometry_reply(c, xcb_get_geometry(c, window), nullptr));
    Reply<xcb_translate_coordinates_reply_t> origin(xcb_translate_coordinates_reply(
        c, xcb_translate_coordinates(c, window, m_root, 0, 0), nullptr));
    if (!size || !origin) {
        return {};
    }
    return QRect(origin->dst_x, origin->dst_y, size->width, size->height);
}

pid_t TrayTestDisplay::ownerPid(uint32_t window) const {
    const QByteArray value = property(window, atom("_NET_WM_PID"), XCB_ATOM_CARDINAL);
    uint32_t pid = 0;
    if (value.size() >= 4) {
        std::memcpy(&pid, value.constData(), sizeof pid);
    }
    return static_cast<pid_t>(pid);
}

QString TrayTestDisplay::title(uint32_t window) const {
    const QByteArray name = property(window, atom("_NET_WM_NAME"), atom("UTF8_STRING"));
    if (!name.isEmpty()) {
        return QString::fromUtf8(name);
    }
    return QString::fromLatin1(property(window, XCB_ATOM_WM_NAME, XCB_ATOM_STRING));
}

QStringList TrayTestDisplay::classNames(uint32_t window) const {
    QStringList result;
    const QByteArray value = property(window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING);
    for (const QByteArray& part : value.split('\0')) {
        if (!part.isEmpty()) {
            result.append(QString::fromLatin1(part));
        }
    }
    return result;
}

void TrayTestDisplay::fakeInput(uint8_t type, uint8_t detail, QPoint position) {
    xcb_test_fake_input(m_connection->handle, type, detail, XCB_CURRENT_TIME, m_root,
                        static_cast<int16_t>(position.x()), static_cast<int16_t>(position.y()), 0);
    xcb_flush(m_connection->handle);
    QThread::msleep(inputSpacingMs);
}

void TrayTestDisplay::click(QPoint position) {
    fakeInput(XCB_MOTION_NOTIFY, 0, position);
    fakeInput(XCB_BUTTON_PRESS, 1);
    fakeInput(XCB_BUTTON_RELEASE, 1);
}

uint8_t TrayTestDisplay::keycodeOf(uint32_t keysym) const {
    xcb_connection_t* c = m_connection->handle;
    const xcb_setup_t* setup = xcb_get_setup(c);
    const int count = setup->max_keycode - setup->min_keycode + 1;
    Reply<xcb_get_keyboard_mapping_reply_t> mapping(xcb_get_keyboard_mapping_reply(
        c, xcb_get_keyboard_mapping(c, setup->min_keycode, static_cast<uint8_t>(count)), nullptr));
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

bool TrayTestDisplay::pressKeys(const QList<uint32_t>& keysyms) {
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

} // namespace oculo::test
