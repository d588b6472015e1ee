#include "platform/x11/X11PointerSource.h"

#include "platform/x11/XcbSupport.h"

#include <QCursor>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QScreen>
#include <QSocketNotifier>

#include <xcb/xinput.h>

namespace oculo {

namespace {

QPointF qtCursorPosition() {
    return QPointF(QCursor::pos());
}

} // namespace

class X11PointerSource::Private {
public:
    Private(const QByteArray& displayName, std::chrono::milliseconds refresh)
        : refreshInterval(refresh) {
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
        socketWatch =
            std::make_unique<QSocketNotifier>(xcb_get_file_descriptor(c), QSocketNotifier::Read);
        // Only watched while someone listens: a moving pointer sends hundreds of
        // events a second, which the polling reads in one go.
        socketWatch->setEnabled(false);
        QObject::connect(socketWatch.get(), &QSocketNotifier::activated, socketWatch.get(),
                         [this] { onSocketReadable(); });
    }

    void setMotionHandler(std::function<void()> handler) {
        motionHandler = std::move(handler);
        if (!socketWatch) {
            return;
        }
        socketWatch->setEnabled(motionHandler != nullptr);
        if (motionHandler && moved) {
            // Motion read along with a reply is in no socket any more; report it
            // from the event loop, outside the caller.
            QMetaObject::invokeMethod(
                socketWatch.get(), [this] { notifyMotion(); }, Qt::QueuedConnection);
        }
    }

    void onSocketReadable() {
        if (!connection) {
            return;
        }
        const bool sawMotion = drainEvents();
        // A broken connection is news too: the listener must go back to polling.
        if (sawMotion || !connection) {
            notifyMotion();
        }
    }

    void notifyMotion() {
        if (motionHandler) {
            // A copy, because the handler may replace itself.
            const std::function<void()> handler = motionHandler;
            handler();
        }
    }

    QPointF position() {
        if (!connection) {
            return qtCursorPosition();
        }
        drainEvents();
        if (moved || !lastQuery.isValid() || lastQuery.elapsed() >= refreshInterval.count()) {
            query();
        }
        if (!connection) {
            return qtCursorPosition();
        }
        return cached;
    }

    // Returns whether raw motion was among the events.
    bool drainEvents(xcb_generic_event_t* (*next)(xcb_connection_t*) = xcb_poll_for_event) {
        xcb_connection_t* c = connection.get();
        bool sawMotion = false;
        while (xcb_generic_event_t* raw = next(c)) {
            const x11::XcbReply<xcb_generic_event_t> event(raw);
            if ((event->response_type & 0x7f) == XCB_GE_GENERIC &&
                reinterpret_cast<xcb_ge_generic_event_t*>(event.get())->extension == inputOpcode) {
                sawMotion = true;
            }
        }
        moved = moved || sawMotion;
        if (xcb_connection_has_error(c) != 0) {
            fallBack(QStringLiteral("the X connection broke"));
        }
        return sawMotion;
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
        // Events read while waiting for the reply sit in xcb's queue, where the
        // socket watch never sees them.
        if (drainEvents(xcb_poll_for_queued_event) && connection && motionHandler) {
            QMetaObject::invokeMethod(
                socketWatch.get(), [this] { notifyMotion(); }, Qt::QueuedConnection);
        }
    }

    void fallBack(const QString& reason) {
        qWarning().noquote() << QStringLiteral("Following the pointer through Qt: %1.").arg(reason);
        // The watch stops before its socket closes; it is kept until the end,
        // as this may run inside its own activation.
        if (socketWatch) {
            socketWatch->setEnabled(false);
            retiredWatch = std::move(socketWatch);
        }
        connection.reset();
    }

    x11::XcbConnection connection;
    std::unique_ptr<QSocketNotifier> socketWatch;
    std::unique_ptr<QSocketNotifier> retiredWatch;
    std::function<void()> motionHandler;
    xcb_window_t root = XCB_WINDOW_NONE;
    uint8_t inputOpcode = 0;
    bool moved = true;
    QElapsedTimer lastQuery;
    std::chrono::milliseconds refreshInterval;
    QPointF cached;
    int queries = 0;
};

X11PointerSource::X11PointerSource(const QByteArray& displayName,
                                   std::chrono::milliseconds refreshInterval)
    : d(std::make_unique<Private>(displayName, refreshInterval)) {}

X11PointerSource::~X11PointerSource() = default;

QPointF X11PointerSource::position() const {
    return d->position();
}

bool X11PointerSource::notifiesMotion() const {
    return d->socketWatch != nullptr;
}

void X11PointerSource::setMotionHandler(std::function<void()> handler) {
    d->setMotionHandler(std::move(handler));
}

bool X11PointerSource::usesRawMotion() const {
    return d->connection != nullptr;
}

int X11PointerSource::queryCount() const {
    return d->queries;
}

} // namespace oculo
