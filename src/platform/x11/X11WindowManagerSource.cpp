#include "platform/x11/X11WindowManagerSource.h"

#include "platform/x11/XcbSupport.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QMetaObject>
#include <QScreen>
#include <QSocketNotifier>

#include <xcb/xcb_ewmh.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace oculo {

namespace {

// Device pixels to Qt's logical ones, as Qt converts the pointer position.
qreal devicePixelRatio() {
    const QScreen* primary = QGuiApplication::primaryScreen();
    return primary != nullptr ? primary->devicePixelRatio() : 1.0;
}

// The connection Qt created Oculo's own windows on, or null when Qt does not
// speak X11 (then window ids are not X windows and must not be touched).
xcb_connection_t* qtConnection() {
    auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    const auto* x11 =
        app != nullptr ? app->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 != nullptr ? x11->connection() : nullptr;
}

// Everything asked about one client window, sent before any reply is read so
// that a whole list costs one round trip.
struct WindowRequests {
    xcb_window_t window = XCB_WINDOW_NONE;
    xcb_get_geometry_cookie_t geometry{};
    xcb_translate_coordinates_cookie_t origin{};
    xcb_get_window_attributes_cookie_t attributes{};
    xcb_get_property_cookie_t pid{};
    xcb_get_property_cookie_t type{};
    xcb_get_property_cookie_t extents{};
};

} // namespace

class X11WindowManagerSource::Private {
public:
    explicit Private(X11WindowManagerSource& owner, const QByteArray& displayName)
        : q(owner) {
        int screenNumber = 0;
        connection.reset(
            xcb_connect(displayName.isEmpty() ? nullptr : displayName.constData(), &screenNumber));
        if (xcb_connection_has_error(connection.get()) != 0) {
            connection.reset();
            return;
        }
        xcb_connection_t* c = connection.get();
        x11::XcbError error;
        xcb_generic_error_t* rawError = nullptr;
        xcb_intern_atom_cookie_t* cookies = xcb_ewmh_init_atoms(c, &ewmh);
        if (xcb_ewmh_init_atoms_replies(&ewmh, cookies, &rawError) == 0) {
            error.reset(rawError);
            connection.reset();
            return;
        }
        hasAtoms = true;
        screen = screenNumber;
        root = ewmh.screens[screenNumber]->root;
        const uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
        xcb_change_window_attributes(c, root, XCB_CW_EVENT_MASK, &mask);
        xcb_flush(c);
        socketWatch =
            std::make_unique<QSocketNotifier>(xcb_get_file_descriptor(c), QSocketNotifier::Read);
        QObject::connect(socketWatch.get(), &QSocketNotifier::activated, &q,
                         [this] { drainEvents(xcb_poll_for_event); });
    }

    ~Private() {
        socketWatch.reset();
        if (hasAtoms) {
            xcb_ewmh_connection_wipe(&ewmh);
        }
    }

    // Replies may have carried events along; those never wake the socket watch.
    void drainEvents(xcb_generic_event_t* (*next)(xcb_connection_t*)) {
        xcb_connection_t* c = connection.get();
        if (c == nullptr) {
            return;
        }
        bool desktopChanged = false;
        bool workAreaChanged = false;
        while (xcb_generic_event_t* raw = next(c)) {
            const x11::XcbReply<xcb_generic_event_t> event(raw);
            if ((event->response_type & 0x7f) != XCB_PROPERTY_NOTIFY) {
                continue;
            }
            const auto* change = reinterpret_cast<xcb_property_notify_event_t*>(event.get());
            desktopChanged = desktopChanged || change->atom == ewmh._NET_CURRENT_DESKTOP;
            workAreaChanged = workAreaChanged || change->atom == ewmh._NET_WORKAREA;
        }
        if (xcb_connection_has_error(c) != 0) {
            qWarning("The window manager's connection to the X server broke; docking cannot "
                     "move other windows any more.");
            socketWatch->setEnabled(false);
            retiredWatch = std::move(socketWatch);
            connection.reset();
        }
        // Queued: a query may be running inside someone's reaction.
        if (desktopChanged) {
            QMetaObject::invokeMethod(
                &q, [this] { Q_EMIT q.currentDesktopChanged(); }, Qt::QueuedConnection);
        }
        if (workAreaChanged) {
            QMetaObject::invokeMethod(
                &q, [this] { Q_EMIT q.workAreaChanged(); }, Qt::QueuedConnection);
        }
    }

    void afterReplies() { drainEvents(xcb_poll_for_queued_event); }

    std::optional<quint32> cardinal(xcb_get_property_cookie_t cookie) {
        uint32_t value = 0;
        xcb_generic_error_t* rawError = nullptr;
        const bool ok = xcb_ewmh_get_cardinal_reply(&ewmh, cookie, &value, &rawError) != 0;
        const x11::XcbError error(rawError);
        return ok ? std::optional<quint32>(value) : std::nullopt;
    }

    std::vector<xcb_window_t> stackingFrontToBack() {
        xcb_ewmh_get_windows_reply_t list{};
        xcb_generic_error_t* rawError = nullptr;
        const bool ok =
            xcb_ewmh_get_client_list_stacking_reply(
                &ewmh, xcb_ewmh_get_client_list_stacking(&ewmh, screen), &list, &rawError) != 0;
        const x11::XcbError error(rawError);
        if (!ok) {
            return {};
        }
        // The window manager lists them bottom to top.
        std::vector<xcb_window_t> windows(list.windows, list.windows + list.windows_len);
        xcb_ewmh_get_windows_reply_wipe(&list);
        std::reverse(windows.begin(), windows.end());
        return windows;
    }

    std::optional<ClientWindow> readWindow(const WindowRequests& request, qreal ratio) {
        xcb_connection_t* c = connection.get();
        xcb_generic_error_t* rawError = nullptr;
        const x11::XcbReply<xcb_get_geometry_reply_t> geometry(
            xcb_get_geometry_reply(c, request.geometry, &rawError));
        x11::XcbError geometryError(rawError);
        const x11::XcbReply<xcb_translate_coordinates_reply_t> origin(
            xcb_translate_coordinates_reply(c, request.origin, &rawError));
        x11::XcbError originError(rawError);
        const x11::XcbReply<xcb_get_window_attributes_reply_t> attributes(
            xcb_get_window_attributes_reply(c, request.attributes, &rawError));
        x11::XcbError attributesError(rawError);
        const auto pid = cardinal(request.pid);
        xcb_ewmh_get_atoms_reply_t types{};
        bool normal = true;
        if (xcb_ewmh_get_wm_window_type_reply(&ewmh, request.type, &types, &rawError) != 0) {
            // The first type is the one the client prefers.
            normal = types.atoms_len == 0 || types.atoms[0] == ewmh._NET_WM_WINDOW_TYPE_NORMAL;
            xcb_ewmh_get_atoms_reply_wipe(&types);
        }
        x11::XcbError typeError(rawError);
        xcb_ewmh_get_extents_reply_t extents{};
        if (xcb_ewmh_get_frame_extents_reply(&ewmh, request.extents, &extents, &rawError) == 0) {
            extents = {};
        }
        x11::XcbError extentsError(rawError);
        // A window that went away meanwhile is not listed.
        if (!geometry || !origin || !attributes) {
            return std::nullopt;
        }
        const double border = geometry->border_width;
        const QRectF device(origin->dst_x - border - extents.left,
                            origin->dst_y - border - extents.top,
                            geometry->width + 2 * border + extents.left + extents.right,
                            geometry->height + 2 * border + extents.top + extents.bottom);
        ClientWindow window;
        window.id = request.window;
        if (pid) {
            window.processId = *pid;
        }
        window.isNormal = normal;
        window.isVisible = attributes->map_state == XCB_MAP_STATE_VIEWABLE;
        window.frame = QRectF(device.topLeft() / ratio, device.size() / ratio);
        return window;
    }

    X11WindowManagerSource& q;
    x11::XcbConnection connection;
    xcb_ewmh_connection_t ewmh{};
    bool hasAtoms = false;
    int screen = 0;
    xcb_window_t root = XCB_WINDOW_NONE;
    xcb_atom_t wmState = XCB_ATOM_NONE; // ICCCM's, interned when first needed
    std::unique_ptr<QSocketNotifier> socketWatch;
    std::unique_ptr<QSocketNotifier> retiredWatch;
};

X11WindowManagerSource::X11WindowManagerSource(const QByteArray& displayName, QObject* parent)
    : WindowManagerSource(parent)
    , d(std::make_unique<Private>(*this, displayName)) {}

X11WindowManagerSource::~X11WindowManagerSource() = default;

QList<WindowManagerSource::ClientWindow> X11WindowManagerSource::clientWindows() {
    xcb_connection_t* c = d->connection.get();
    if (c == nullptr) {
        return {};
    }
    const std::vector<xcb_window_t> stacking = d->stackingFrontToBack();
    std::vector<WindowRequests> requests;
    requests.reserve(stacking.size());
    for (const xcb_window_t window : stacking) {
        WindowRequests& request = requests.emplace_back();
        request.window = window;
        request.geometry = xcb_get_geometry(c, window);
        request.origin = xcb_translate_coordinates(c, window, d->root, 0, 0);
        request.attributes = xcb_get_window_attributes(c, window);
        request.pid = xcb_ewmh_get_wm_pid(&d->ewmh, window);
        request.type = xcb_ewmh_get_wm_window_type(&d->ewmh, window);
        request.extents = xcb_ewmh_get_frame_extents(&d->ewmh, window);
    }
    const qreal ratio = devicePixelRatio();
    QList<ClientWindow> windows;
    for (const WindowRequests& request : requests) {
        if (const auto window = d->readWindow(request, ratio)) {
            windows.append(*window);
        }
    }
    d->afterReplies();
    return windows;
}

void X11WindowManagerSource::moveWindow(const ClientWindow& window, double frameY) {
    xcb_connection_t* c = d->connection.get();
    if (c == nullptr) {
        return;
    }
    // North-west gravity places the outer frame; x is sent unchanged because a
    // missing x would be taken from the client area and shift the window.
    const qreal ratio = devicePixelRatio();
    const auto x = static_cast<int32_t>(std::lround(window.frame.x() * ratio));
    const auto y = static_cast<int32_t>(std::lround(frameY * ratio));
    xcb_ewmh_request_moveresize_window(
        &d->ewmh, d->screen, static_cast<xcb_window_t>(window.id), XCB_GRAVITY_NORTH_WEST,
        XCB_EWMH_CLIENT_SOURCE_TYPE_OTHER,
        static_cast<xcb_ewmh_moveresize_window_opt_flags_t>(XCB_EWMH_MOVERESIZE_WINDOW_X |
                                                            XCB_EWMH_MOVERESIZE_WINDOW_Y),
        static_cast<uint32_t>(x), static_cast<uint32_t>(y), 0, 0);
    xcb_flush(c);
}

std::optional<quint32> X11WindowManagerSource::currentDesktop() {
    if (d->connection == nullptr) {
        return std::nullopt;
    }
    const auto desktop = d->cardinal(xcb_ewmh_get_current_desktop(&d->ewmh, d->screen));
    d->afterReplies();
    return desktop;
}

std::optional<quint32> X11WindowManagerSource::windowDesktop(WindowId window) {
    if (d->connection == nullptr || qtConnection() == nullptr) {
        return std::nullopt;
    }
    const auto desktop =
        d->cardinal(xcb_ewmh_get_wm_desktop(&d->ewmh, static_cast<xcb_window_t>(window)));
    d->afterReplies();
    return desktop;
}

void X11WindowManagerSource::setWindowDesktop(WindowId window, quint32 desktop) {
    xcb_connection_t* qt = qtConnection();
    if (d->connection == nullptr || qt == nullptr) {
        return;
    }
    // Same atoms, Qt's connection: the window may exist only in its queue yet.
    xcb_ewmh_connection_t onQt = d->ewmh;
    onQt.connection = qt;
    const auto id = static_cast<xcb_window_t>(window);
    const xcb_atom_t sticky = d->ewmh._NET_WM_STATE_STICKY;
    const bool toAll = desktop == allDesktops;

    // The properties are what the window manager reads when it takes the
    // window on; xfwm4 clamps an "all desktops" number to its last desktop
    // and goes by the sticky state alone. Once taken on, the window manager
    // owns them (WM_STATE is set) and only the messages below count.
    if (d->wmState == XCB_ATOM_NONE) {
        static constexpr char name[] = "WM_STATE";
        const x11::XcbReply<xcb_intern_atom_reply_t> atom(
            xcb_intern_atom_reply(qt, xcb_intern_atom(qt, 0, sizeof name - 1, name), nullptr));
        d->wmState = atom ? atom->atom : xcb_atom_t{XCB_ATOM_NONE};
    }
    const xcb_get_property_cookie_t managedCookie =
        xcb_get_property(qt, 0, id, d->wmState, XCB_GET_PROPERTY_TYPE_ANY, 0, 1);
    const xcb_get_property_cookie_t stateCookie = xcb_ewmh_get_wm_state(&onQt, id);
    const x11::XcbReply<xcb_get_property_reply_t> managed(
        xcb_get_property_reply(qt, managedCookie, nullptr));
    // A withdrawn window (state 0) is read afresh when shown again.
    const bool isManaged =
        managed && xcb_get_property_value_length(managed.get()) >= 4 &&
        *static_cast<const uint32_t*>(xcb_get_property_value(managed.get())) != 0;
    std::vector<xcb_atom_t> states;
    xcb_ewmh_get_atoms_reply_t current{};
    if (xcb_ewmh_get_wm_state_reply(&onQt, stateCookie, &current, nullptr) != 0) {
        states.assign(current.atoms, current.atoms + current.atoms_len);
        xcb_ewmh_get_atoms_reply_wipe(&current);
    }
    if (!isManaged) {
        xcb_ewmh_set_wm_desktop(&onQt, id, desktop);
        std::erase(states, sticky);
        if (toAll) {
            states.push_back(sticky);
        }
        xcb_ewmh_set_wm_state(&onQt, id, static_cast<uint32_t>(states.size()), states.data());
    }
    xcb_ewmh_request_change_wm_state(&onQt, d->screen, id,
                                     toAll ? XCB_EWMH_WM_STATE_ADD : XCB_EWMH_WM_STATE_REMOVE,
                                     sticky, XCB_ATOM_NONE, XCB_EWMH_CLIENT_SOURCE_TYPE_NORMAL);
    xcb_ewmh_request_change_wm_desktop(&onQt, d->screen, id, desktop,
                                       XCB_EWMH_CLIENT_SOURCE_TYPE_NORMAL);
    xcb_flush(qt);
}

std::optional<WindowManagerSource::WindowId> X11WindowManagerSource::activeWindow() {
    if (d->connection == nullptr) {
        return std::nullopt;
    }
    xcb_window_t active = XCB_WINDOW_NONE;
    xcb_generic_error_t* rawError = nullptr;
    const bool ok =
        xcb_ewmh_get_active_window_reply(&d->ewmh, xcb_ewmh_get_active_window(&d->ewmh, d->screen),
                                         &active, &rawError) != 0;
    const x11::XcbError error(rawError);
    d->afterReplies();
    return ok && active != XCB_WINDOW_NONE ? std::optional<WindowId>(active) : std::nullopt;
}

void X11WindowManagerSource::activateWindow(WindowId window) {
    xcb_connection_t* c = d->connection.get();
    if (c == nullptr) {
        return;
    }
    xcb_ewmh_request_change_active_window(&d->ewmh, d->screen, static_cast<xcb_window_t>(window),
                                          XCB_EWMH_CLIENT_SOURCE_TYPE_OTHER, XCB_CURRENT_TIME,
                                          XCB_WINDOW_NONE);
    xcb_flush(c);
}

std::optional<QRectF> X11WindowManagerSource::workArea() {
    const auto desktop = currentDesktop();
    // Its reply may have come just before the connection broke and was dropped.
    if (!desktop || d->connection == nullptr) {
        return std::nullopt;
    }
    xcb_ewmh_get_workarea_reply_t areas{};
    xcb_generic_error_t* rawError = nullptr;
    const bool ok =
        xcb_ewmh_get_workarea_reply(&d->ewmh, xcb_ewmh_get_workarea(&d->ewmh, d->screen), &areas,
                                    &rawError) != 0;
    const x11::XcbError error(rawError);
    std::optional<QRectF> area;
    if (ok) {
        if (*desktop < areas.workarea_len) {
            const xcb_ewmh_geometry_t& g = areas.workarea[*desktop];
            const qreal ratio = devicePixelRatio();
            area = QRectF(g.x / ratio, g.y / ratio, g.width / ratio, g.height / ratio);
        }
        xcb_ewmh_get_workarea_reply_wipe(&areas);
    }
    d->afterReplies();
    return area;
}

} // namespace oculo
