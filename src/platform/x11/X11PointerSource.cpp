#include "platform/x11/X11PointerSource.h"

#include "platform/x11/PointerBeacon.h"
#include "platform/x11/X11WarpRecord.h"
#include "platform/x11/X11WarpWatch.h"
#include "platform/x11/XcbSupport.h"

#include <QCursor>
#include <QGuiApplication>
#include <QScreen>
#include <QSocketNotifier>

#include <xcb/xinput.h>

namespace oculo {

namespace {

QPointF qtCursorPosition() {
    return QPointF(QCursor::pos());
}

// Device pixels to Qt's logical ones through the screen that holds the point,
// as QCursor::pos() maps them: a screen keeps its top-left corner and divides
// the distance from it by its own ratio.
QPointF toLogical(QPoint native) {
    const QScreen* holder = QGuiApplication::primaryScreen();
    for (const QScreen* screen : QGuiApplication::screens()) {
        const QRect logical = screen->geometry();
        const QSizeF size = QSizeF(logical.size()) * screen->devicePixelRatio();
        if (QRectF(logical.topLeft(), size).contains(native)) {
            holder = screen;
            break;
        }
    }
    if (holder == nullptr) {
        return QPointF(native);
    }
    const QPointF origin = holder->geometry().topLeft();
    return origin + (QPointF(native) - origin) / holder->devicePixelRatio();
}

} // namespace

class X11PointerSource::Private {
public:
    // A little over one frame at 30 frames a second.
    static constexpr std::chrono::milliseconds beaconMaxAge{40};

    ~Private() {
        // Before the notifier its reports are posted to.
        warpWatch.reset();
    }

    Private(X11PointerSource* owner, const QByteArray& displayName)
        : q(owner) {
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
        inputOpcode = input->major_opcode;
        connection = std::move(connected.connection);
        socketWatch =
            std::make_unique<QSocketNotifier>(xcb_get_file_descriptor(c), QSocketNotifier::Read);
        // Only watched while someone listens: a moving pointer sends hundreds of
        // events a second, which the polling reads in one go.
        socketWatch->setEnabled(false);
        QObject::connect(socketWatch.get(), &QSocketNotifier::activated, socketWatch.get(),
                         [this] { onSocketReadable(); });
        warpRecord = x11::X11WarpRecord::open(c, displayName, inputOpcode);
        if (warpRecord) {
            recordWatch =
                std::make_unique<QSocketNotifier>(warpRecord->fd(), QSocketNotifier::Read);
            QObject::connect(recordWatch.get(), &QSocketNotifier::activated, recordWatch.get(),
                             [this] { onRecordReadable(); });
        } else {
            // Without RECORD, a thread polls for warps while someone listens.
            warpWatch = std::make_unique<x11::X11WarpWatch>(displayName, warpCheckInterval);
        }
    }

    void onRecordReadable() {
        if (warpRecord->takeWarps()) {
            if (!warpRecord->isWorking()) {
                recordWatch->setEnabled(false);
            }
            notifyMotion();
        }
    }

    bool reportsWarps() const {
        return warpRecord ? warpRecord->isWorking() : warpWatch && warpWatch->isUsable();
    }

    void setMotionWatched(bool listening) {
        const bool wasListening = watched;
        watched = listening;
        if (connection && listening != wasListening) {
            // Motion is asked for only while someone listens: a moving pointer
            // sends hundreds of events a second, to be delivered and read.
            x11::selectRawMotion(connection.get(), root, listening);
            xcb_flush(connection.get());
            if (listening) {
                // A move before the selection took effect sent nothing: the
                // position tells (the query also waits for the selection).
                const QPoint before = lastRootPosition;
                query();
                moved = moved || lastRootPosition != before;
            }
        }
        if (!socketWatch) {
            return;
        }
        socketWatch->setEnabled(listening);
        // RECORD reports warps as they happen; the fallback polls only while
        // someone listens.
        if (warpWatch && watched) {
            QSocketNotifier* receiver = socketWatch.get();
            warpWatch->start(lastRootPosition, [this, receiver] {
                QMetaObject::invokeMethod(
                    receiver, [this] { notifyMotion(); }, Qt::QueuedConnection);
            });
        } else if (warpWatch) {
            warpWatch->stop();
        }
        if (watched && moved) {
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
        if (watched) {
            Q_EMIT q->pointerMoved();
        }
    }

    QPointF position() {
        stillFor.reset();
        if (!connection) {
            return qtCursorPosition();
        }
        drainEvents();
        if (!connection) {
            return qtCursorPosition(); // it broke just now
        }
        // A capture thread that looks at the moving pointer before each frame
        // saw it less than a frame ago: no round trip of our own then.
        const auto sighting = x11::PointerBeacon::shared().last();
        if (sighting && sighting->age <= beaconMaxAge) {
            lastRootPosition = sighting->position;
            cached = toLogical(sighting->position);
        } else {
            query();
            if (!connection) {
                return qtCursorPosition();
            }
        }
        if (sighting && sighting->position == lastRootPosition) {
            stillFor = sighting->stillFor;
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
        ++queries;
        const x11::XcbReply<xcb_query_pointer_reply_t> reply(
            xcb_query_pointer_reply(c, xcb_query_pointer(c, root), nullptr));
        if (!reply) {
            fallBack(QStringLiteral("the pointer query failed"));
            return;
        }
        lastRootPosition = QPoint(reply->root_x, reply->root_y);
        cached = toLogical(lastRootPosition);
        // Events read while waiting for the reply sit in xcb's queue, where the
        // socket watch never sees them.
        if (drainEvents(xcb_poll_for_queued_event) && connection && watched) {
            QMetaObject::invokeMethod(
                socketWatch.get(), [this] { notifyMotion(); }, Qt::QueuedConnection);
        }
    }

    void fallBack(const QString& reason) {
        qWarning().noquote() << QStringLiteral("Following the pointer through Qt: %1.").arg(reason);
        // The watch stops before its socket closes; it is kept until the end,
        // as this may run inside its own activation.
        if (warpWatch) {
            warpWatch->stop();
        }
        if (recordWatch) {
            recordWatch->setEnabled(false);
        }
        if (socketWatch) {
            socketWatch->setEnabled(false);
            retiredWatch = std::move(socketWatch);
        }
        connection.reset();
    }

    X11PointerSource* q;
    x11::XcbConnection connection;
    std::unique_ptr<QSocketNotifier> socketWatch;
    std::unique_ptr<QSocketNotifier> retiredWatch;
    bool watched = false;
    xcb_window_t root = XCB_WINDOW_NONE;
    uint8_t inputOpcode = 0;
    bool moved = true;
    QPoint lastRootPosition;
    QPointF cached;
    std::optional<std::chrono::milliseconds> stillFor; // of the last position()
    int queries = 0;
    std::unique_ptr<x11::X11WarpRecord> warpRecord;
    std::unique_ptr<QSocketNotifier> recordWatch; // ends before the record's connection
    // Declared last: its thread ends before anything it reports to.
    std::unique_ptr<x11::X11WarpWatch> warpWatch;
};

X11PointerSource::X11PointerSource(const QByteArray& displayName, QObject* parent)
    : PointerSource(parent)
    , d(std::make_unique<Private>(this, displayName)) {}

X11PointerSource::~X11PointerSource() = default;

QPointF X11PointerSource::position() const {
    return d->position();
}

std::optional<std::chrono::milliseconds> X11PointerSource::stillFor() const {
    return d->stillFor;
}

bool X11PointerSource::notifiesMotion() const {
    return d->socketWatch != nullptr && d->reportsWarps();
}

void X11PointerSource::setMotionWatched(bool watched) {
    d->setMotionWatched(watched);
}

bool X11PointerSource::usesRawMotion() const {
    return d->connection != nullptr;
}

int X11PointerSource::queryCount() const {
    return d->queries;
}

} // namespace oculo
