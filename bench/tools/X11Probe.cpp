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
#include <vector>

namespace oculo::bench {
namespace {

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
template <typename T>
using Reply = std::unique_ptr<T, FreeDeleter>;

xcb_atom_t internAtom(xcb_connection_t* c, const char* name) {
    const Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(
        c, xcb_intern_atom(c, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr));
    return reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
}

std::optional<uint32_t> cardinalProperty(xcb_connection_t* c, xcb_window_t window,
                                         xcb_atom_t property) {
    const Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
        c, xcb_get_property(c, 0, window, property, XCB_ATOM_CARDINAL, 0, 1), nullptr));
    if (!reply || xcb_get_property_value_length(reply.get()) < 4) {
        return std::nullopt;
    }
    return *static_cast<const uint32_t*>(xcb_get_property_value(reply.get()));
}

QString textProperty(xcb_connection_t* c, xcb_window_t window, xcb_atom_t property) {
    const Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
        c, xcb_get_property(c, 0, window, property, XCB_GET_PROPERTY_TYPE_ANY, 0, 256), nullptr));
    if (!reply) {
        return {};
    }
    return QString::fromUtf8(static_cast<const char*>(xcb_get_property_value(reply.get())),
                             xcb_get_property_value_length(reply.get()));
}

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
    const xcb_atom_t pidAtom = internAtom(m_connection, "_NET_WM_PID");
    const xcb_atom_t nameAtom = internAtom(m_connection, "_NET_WM_NAME");
    xcb_window_t best = XCB_WINDOW_NONE;
    int bestArea = 0;

    // Managed windows sit one level below the window manager's frames; walk a
    // few levels so unmanaged (override-redirect) windows are found as well.
    std::vector<std::pair<xcb_window_t, int>> pending{{m_root, 0}};
    while (!pending.empty()) {
        const auto [parent, depth] = pending.back();
        pending.pop_back();
        const Reply<xcb_query_tree_reply_t> tree(
            xcb_query_tree_reply(m_connection, xcb_query_tree(m_connection, parent), nullptr));
        if (!tree) {
            continue;
        }
        const xcb_window_t* children = xcb_query_tree_children(tree.get());
        for (int i = 0; i < xcb_query_tree_children_length(tree.get()); ++i) {
            const xcb_window_t window = children[i];
            if (depth < 3) {
                pending.emplace_back(window, depth + 1);
            }
            if (cardinalProperty(m_connection, window, pidAtom) != static_cast<uint32_t>(pid)) {
                continue;
            }
            const Reply<xcb_get_window_attributes_reply_t> attributes(
                xcb_get_window_attributes_reply(
                    m_connection, xcb_get_window_attributes(m_connection, window), nullptr));
            if (!attributes || attributes->map_state != XCB_MAP_STATE_VIEWABLE) {
                continue;
            }
            if (!title.isEmpty()) {
                QString name = textProperty(m_connection, window, nameAtom);
                if (name.isEmpty()) {
                    name = textProperty(m_connection, window, XCB_ATOM_WM_NAME);
                }
                if (name != title) {
                    continue;
                }
            }
            const QRect rect = rootGeometry(window);
            if (rect.width() * rect.height() > bestArea) {
                bestArea = rect.width() * rect.height();
                best = window;
            }
        }
    }
    return best;
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

void X11Probe::movePointer(QPoint rootPosition) {
    xcb_test_fake_input(m_connection, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, m_root,
                        static_cast<int16_t>(rootPosition.x()),
                        static_cast<int16_t>(rootPosition.y()), 0);
    xcb_flush(m_connection);
}

void X11Probe::clickButton(int button) {
    const auto detail = static_cast<uint8_t>(button);
    xcb_test_fake_input(m_connection, XCB_BUTTON_PRESS, detail, XCB_CURRENT_TIME, XCB_WINDOW_NONE,
                        0, 0, 0);
    xcb_test_fake_input(m_connection, XCB_BUTTON_RELEASE, detail, XCB_CURRENT_TIME, XCB_WINDOW_NONE,
                        0, 0, 0);
    xcb_flush(m_connection);
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

} // namespace oculo::bench
