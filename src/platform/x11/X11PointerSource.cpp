#include "platform/x11/X11PointerSource.h"

#include "platform/x11/XcbSupport.h"

#include <QCursor>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QScreen>

#include <xcb/xinput.h>

namespace oculo {

namespace {

// Warping the pointer moves it without raw motion; this bounds how long a
// warped pointer may go unnoticed.
constexpr qint64 refreshIntervalMs = 250;

QPointF qtCursorPosition() {
    return QPointF(QCursor::pos());
}

} // namespace

class X11PointerSource::Private {
public:
    explicit Private(const QByteArray& displayName) {
        x11::ConnectedScreen connected = x11::connectToDisplay(displayName);
        if (connected.screen == nullptr) {
            fallBack(QStringLiteral("cannot connect to the X display"));
            return;
        }
        xcb_connection_t* c = connected.connection.get();
        const xcb_query_extension_reply_t* input = x11::presentExtension(c, &xcb_input_id);
        if (input == nullptr) {
            fallBack(QStringLiteral("the X server lacks XInput"));
            return;
        }
        const x11::XcbReply<xcb_input_xi_query_version_reply_t> version(
            xcb_input_xi_query_version_reply(c, xcb_input_xi_query_version(c, 2, 2), nullptr));
        if (!version || version->major_version < 2) {
            fallBack(QStringLiteral("the X server lacks XInput 2"));
            return;
        }
        root = connected.screen->root;
        x11::selectRawMotion(c, root);
        xcb_flush(c);
        inputOpcode = input->major_opcode;
        connection = std::move(connected.connection);
    }

    QPointF position() {
        if (!connection) {
            return qtCursorPosition();
        }
        drainEvents();
        if (moved || !lastQuery.isValid() || lastQuery.elapsed() >= refreshIntervalMs) {
            query();
        }
        if (!connection) {
            return qtCursorPosition();
        }
        return cached;
    }

    void drainEvents() {
        xcb_connection_t* c = connection.get();
        while (xcb_generic_event_t* raw = xcb_poll_for_event(c)) {
            const x11::XcbReply<xcb_generic_event_t> event(raw);
            if ((event->response_type & 0x7f) == XCB_GE_GENERIC &&
                reinterpret_cast<xcb_ge_generic_event_t*>(event.get())->extension == inputOpcode) {
                moved = true;
            }
        }
        if (xcb_connection_has_error(c) != 0) {
            fallBack(QStringLiteral("the X connection broke"));
        }
    }

    void query() {
        xcb_connection_t* c = connection.get();
        // Motion arriving while the reply is on its way sets it again.
        moved = false;
        lastQuery.start();
        ++queries;
        const x11::XcbReply<xcb_query_pointer_reply_t> reply(
            xcb_query_pointer_reply(c, xcb_query_pointer(c, root), nullptr));
        if (!reply) {
            fallBack(QStringLiteral("the pointer query failed"));
            return;
        }
        // Device pixels to Qt's logical ones, as QCursor::pos() converts them.
        const QScreen* primary = QGuiApplication::primaryScreen();
        const qreal ratio = primary != nullptr ? primary->devicePixelRatio() : 1.0;
        cached = QPointF(reply->root_x / ratio, reply->root_y / ratio);
    }

    void fallBack(const QString& reason) {
        qWarning().noquote() << QStringLiteral("Following the pointer through Qt: %1.").arg(reason);
        connection.reset();
    }

    x11::XcbConnection connection;
    xcb_window_t root = XCB_WINDOW_NONE;
    uint8_t inputOpcode = 0;
    bool moved = true;
    QElapsedTimer lastQuery;
    QPointF cached;
    int queries = 0;
};

X11PointerSource::X11PointerSource(const QByteArray& displayName)
    : d(std::make_unique<Private>(displayName)) {}

X11PointerSource::~X11PointerSource() = default;

QPointF X11PointerSource::position() const {
    return d->position();
}

bool X11PointerSource::usesRawMotion() const {
    return d->connection != nullptr;
}

int X11PointerSource::queryCount() const {
    return d->queries;
}

} // namespace oculo
