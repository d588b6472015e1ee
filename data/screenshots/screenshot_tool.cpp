// Drives a private X server for scripts/screenshots: finds windows, clicks and
// types through XTest, and saves what the screen shows as PNG. A developer
// tool; Oculo itself never runs it.
#include <QImage>
#include <QString>
#include <QStringList>

#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

namespace {

struct FreeDeleter {
    void operator()(void* reply) const { std::free(reply); }
};
template <typename T>
using Reply = std::unique_ptr<T, FreeDeleter>;

struct ConnectionDeleter {
    void operator()(xcb_connection_t* connection) const { xcb_disconnect(connection); }
};

struct Rect {
    int x = 0, y = 0, width = 0, height = 0;
};

class Display {
public:
    Display()
        : m_connection(xcb_connect(nullptr, nullptr)) {
        if (xcb_connection_has_error(m_connection.get())) {
            std::fprintf(stderr, "screenshot_tool: cannot connect to $DISPLAY\n");
            std::exit(1);
        }
        m_screen = xcb_setup_roots_iterator(xcb_get_setup(m_connection.get())).data;
    }

    xcb_connection_t* connection() const { return m_connection.get(); }
    xcb_window_t root() const { return m_screen->root; }

    xcb_atom_t atom(const char* name) const {
        Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(
            connection(),
            xcb_intern_atom(connection(), 0, static_cast<uint16_t>(qstrlen(name)), name), nullptr));
        return reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
    }

    QByteArray property(xcb_window_t window, xcb_atom_t name, xcb_atom_t type) const {
        Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
            connection(), xcb_get_property(connection(), 0, window, name, type, 0, 1024), nullptr));
        if (!reply) {
            return {};
        }
        return QByteArray(static_cast<const char*>(xcb_get_property_value(reply.get())),
                          xcb_get_property_value_length(reply.get()));
    }

    std::vector<xcb_window_t> children(xcb_window_t window) const {
        Reply<xcb_query_tree_reply_t> reply(
            xcb_query_tree_reply(connection(), xcb_query_tree(connection(), window), nullptr));
        if (!reply) {
            return {};
        }
        const xcb_window_t* first = xcb_query_tree_children(reply.get());
        return {first, first + xcb_query_tree_children_length(reply.get())};
    }

    bool isViewable(xcb_window_t window) const {
        Reply<xcb_get_window_attributes_reply_t> reply(xcb_get_window_attributes_reply(
            connection(), xcb_get_window_attributes(connection(), window), nullptr));
        return reply && reply->map_state == XCB_MAP_STATE_VIEWABLE;
    }

    bool isOverrideRedirect(xcb_window_t window) const {
        Reply<xcb_get_window_attributes_reply_t> reply(xcb_get_window_attributes_reply(
            connection(), xcb_get_window_attributes(connection(), window), nullptr));
        return reply && reply->override_redirect;
    }

    std::optional<Rect> geometry(xcb_window_t window) const {
        Reply<xcb_get_geometry_reply_t> size(
            xcb_get_geometry_reply(connection(), xcb_get_geometry(connection(), window), nullptr));
        Reply<xcb_translate_coordinates_reply_t> origin(xcb_translate_coordinates_reply(
            connection(), xcb_translate_coordinates(connection(), window, root(), 0, 0), nullptr));
        if (!size || !origin) {
            return std::nullopt;
        }
        return Rect{origin->dst_x, origin->dst_y, size->width, size->height};
    }

    // WM_NAME, _NET_WM_NAME and both WM_CLASS strings.
    QStringList names(xcb_window_t window) const {
        QStringList result;
        result << QString::fromUtf8(property(window, XCB_ATOM_WM_NAME, XCB_ATOM_STRING));
        result << QString::fromUtf8(property(window, atom("_NET_WM_NAME"), atom("UTF8_STRING")));
        for (const QByteArray& part :
             property(window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING).split('\0')) {
            result << QString::fromUtf8(part);
        }
        return result;
    }

    bool hasWindowType(xcb_window_t window, xcb_atom_t type) const {
        const QByteArray types = property(window, atom("_NET_WM_WINDOW_TYPE"), XCB_ATOM_ATOM);
        for (qsizetype i = 0; i + 4 <= types.size(); i += 4) {
            xcb_atom_t value;
            std::memcpy(&value, types.constData() + i, sizeof value);
            if (value == type) {
                return true;
            }
        }
        return false;
    }

    void flush() const { xcb_flush(connection()); }

private:
    std::unique_ptr<xcb_connection_t, ConnectionDeleter> m_connection;
    xcb_screen_t* m_screen = nullptr;
};

struct Query {
    QString name;
    QString inside;                  // only below a window with this name
    xcb_atom_t type = XCB_ATOM_NONE; // only windows of this _NET_WM_WINDOW_TYPE
    bool popup = false;              // only override-redirect windows (menus, popups)
};

// Depth-first, topmost root children first. Returns the match and the root
// child holding it (the window manager's frame, if any).
std::optional<std::pair<xcb_window_t, xcb_window_t>> findWindow(const Display& display,
                                                                xcb_window_t window,
                                                                xcb_window_t topLevel,
                                                                const Query& query, bool inside) {
    if (!display.isViewable(window)) {
        return std::nullopt;
    }
    const QStringList names = display.names(window);
    const bool nowInside = inside || query.inside.isEmpty() || names.contains(query.inside);
    if (nowInside && names.contains(query.name) &&
        (query.type == XCB_ATOM_NONE || display.hasWindowType(window, query.type)) &&
        (!query.popup || display.isOverrideRedirect(window))) {
        return std::make_pair(window, topLevel);
    }
    const std::vector<xcb_window_t> children = display.children(window);
    for (auto child = children.rbegin(); child != children.rend(); ++child) {
        if (auto found =
                findWindow(display, *child, topLevel ? topLevel : *child, query, nowInside)) {
            return found;
        }
    }
    return std::nullopt;
}

int find(const Display& display, const QStringList& args) {
    Query query;
    bool frame = false;
    for (qsizetype i = 0; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--inside") && i + 1 < args.size()) {
            query.inside = args[++i];
        } else if (args[i] == QLatin1String("--type") && i + 1 < args.size()) {
            query.type = display.atom(args[++i].toLatin1().constData());
        } else if (args[i] == QLatin1String("--popup")) {
            query.popup = true;
        } else if (args[i] == QLatin1String("--frame")) {
            frame = true;
        } else {
            query.name = args[i];
        }
    }
    const xcb_window_t root = display.root();
    std::optional<std::pair<xcb_window_t, xcb_window_t>> found;
    const std::vector<xcb_window_t> topLevels = display.children(root);
    for (auto child = topLevels.rbegin(); child != topLevels.rend() && !found; ++child) {
        found = findWindow(display, *child, *child, query, false);
    }
    if (!found) {
        return 1;
    }
    const auto rect = display.geometry(frame ? found->second : found->first);
    if (!rect) {
        return 1;
    }
    std::printf("%d %d %d %d\n", rect->x, rect->y, rect->width, rect->height);
    return 0;
}

void fakeInput(const Display& display, uint8_t type, uint8_t detail, int x = 0, int y = 0) {
    xcb_test_fake_input(display.connection(), type, detail, XCB_CURRENT_TIME, display.root(),
                        static_cast<int16_t>(x), static_cast<int16_t>(y), 0);
    display.flush();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
}

xcb_keycode_t keycodeOf(const Display& display, xcb_keysym_t keysym) {
    const xcb_setup_t* setup = xcb_get_setup(display.connection());
    const int count = setup->max_keycode - setup->min_keycode + 1;
    Reply<xcb_get_keyboard_mapping_reply_t> mapping(xcb_get_keyboard_mapping_reply(
        display.connection(),
        xcb_get_keyboard_mapping(display.connection(), setup->min_keycode,
                                 static_cast<uint8_t>(count)),
        nullptr));
    if (!mapping) {
        return 0;
    }
    const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(mapping.get());
    const int perCode = mapping->keysyms_per_keycode;
    for (int code = 0; code < count; ++code) {
        for (int level = 0; level < perCode; ++level) {
            if (syms[code * perCode + level] == keysym) {
                return static_cast<xcb_keycode_t>(setup->min_keycode + code);
            }
        }
    }
    return 0;
}

// "ctrl+comma", "escape", "q": modifiers, then one key.
int key(const Display& display, const QString& combo) {
    std::vector<xcb_keycode_t> codes;
    for (const QString& part : combo.toLower().split(QLatin1Char('+'))) {
        xcb_keysym_t sym = 0;
        if (part == QLatin1String("ctrl")) {
            sym = 0xffe3;
        } else if (part == QLatin1String("shift")) {
            sym = 0xffe1;
        } else if (part == QLatin1String("alt")) {
            sym = 0xffe9;
        } else if (part == QLatin1String("comma")) {
            sym = 0x2c;
        } else if (part == QLatin1String("escape")) {
            sym = 0xff1b;
        } else if (part.size() == 1 && part[0].isLetterOrNumber()) {
            sym = part[0].unicode();
        }
        const xcb_keycode_t code = sym ? keycodeOf(display, sym) : 0;
        if (!code) {
            std::fprintf(stderr, "screenshot_tool: unknown key '%s'\n", qPrintable(part));
            return 2;
        }
        codes.push_back(code);
    }
    for (const xcb_keycode_t code : codes) {
        fakeInput(display, XCB_KEY_PRESS, code);
    }
    for (auto code = codes.rbegin(); code != codes.rend(); ++code) {
        fakeInput(display, XCB_KEY_RELEASE, *code);
    }
    return 0;
}

int grab(const Display& display, const QString& path, std::optional<Rect> area) {
    const Rect rect = area ? *area : *display.geometry(display.root());
    Reply<xcb_get_image_reply_t> image(xcb_get_image_reply(
        display.connection(),
        xcb_get_image(display.connection(), XCB_IMAGE_FORMAT_Z_PIXMAP, display.root(),
                      static_cast<int16_t>(rect.x), static_cast<int16_t>(rect.y),
                      static_cast<uint16_t>(rect.width), static_cast<uint16_t>(rect.height), ~0u),
        nullptr));
    if (!image || image->depth != 24 ||
        xcb_get_image_data_length(image.get()) < rect.width * rect.height * 4) {
        std::fprintf(stderr, "screenshot_tool: cannot read the screen (24-bit visual expected)\n");
        return 1;
    }
    // The reply owns the pixels; copy before it is freed.
    const QImage view(xcb_get_image_data(image.get()), rect.width, rect.height, rect.width * 4,
                      QImage::Format_RGB32);
    if (!view.copy().save(path, "PNG")) {
        std::fprintf(stderr, "screenshot_tool: cannot write %s\n", qPrintable(path));
        return 1;
    }
    return 0;
}

int usage() {
    std::fprintf(stderr, "usage: screenshot_tool find <name> [--inside <name>] [--type <atom>] "
                         "[--popup] [--frame]\n"
                         "       screenshot_tool move|click <x> <y>\n"
                         "       screenshot_tool key <ctrl+comma|escape|...>\n"
                         "       screenshot_tool grab <file.png> [<x> <y> <w> <h>]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    QStringList args;
    for (int i = 1; i < argc; ++i) {
        args << QString::fromLocal8Bit(argv[i]);
    }
    if (args.isEmpty()) {
        return usage();
    }
    const QString command = args.takeFirst();
    const Display display;
    if (command == QLatin1String("find") && !args.isEmpty()) {
        return find(display, args);
    }
    if ((command == QLatin1String("move") || command == QLatin1String("click")) &&
        args.size() == 2) {
        fakeInput(display, XCB_MOTION_NOTIFY, 0, args[0].toInt(), args[1].toInt());
        if (command == QLatin1String("click")) {
            fakeInput(display, XCB_BUTTON_PRESS, 1);
            fakeInput(display, XCB_BUTTON_RELEASE, 1);
        }
        return 0;
    }
    if (command == QLatin1String("key") && args.size() == 1) {
        return key(display, args[0]);
    }
    if (command == QLatin1String("grab") && (args.size() == 1 || args.size() == 5)) {
        std::optional<Rect> area;
        if (args.size() == 5) {
            area = Rect{args[1].toInt(), args[2].toInt(), args[3].toInt(), args[4].toInt()};
        }
        return grab(display, args[0], area);
    }
    return usage();
}
