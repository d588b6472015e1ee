#include "platform/x11/X11PointerSource.h"

#include "platform/x11/PointerBeacon.h"
#include "platform/x11/XcbSupport.h"

#include <QCursor>
#include <QGuiApplication>
#include <QScreen>
#include <QSocketNotifier>

#include <xcb/record.h>
#include <xcb/xcbext.h>
#include <xcb/xinput.h>

#include <atomic>
#include <cerrno>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>

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

// Watches a resting pointer for warps, which send no event: a thread of its
// own asks the server where the pointer is every `interval`, over a connection
// of its own, and reports the first change. Its wake-ups cost a fraction of
// the GUI thread's, which sleeps until there is news.
class WarpWatch {
public:
    WarpWatch(const QByteArray& displayName, std::chrono::milliseconds interval)
        : m_interval(interval)
        , m_wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
        x11::ConnectedScreen connected = x11::connectToDisplay(displayName);
        if (connected.screen != nullptr) {
            m_root = connected.screen->root;
            m_connection = std::move(connected.connection);
        }
        m_usable = m_wake >= 0 && m_connection;
    }
    ~WarpWatch() {
        stop();
        if (m_wake >= 0) {
            close(m_wake);
        }
    }
    WarpWatch(const WarpWatch&) = delete;
    WarpWatch& operator=(const WarpWatch&) = delete;

    // Any time: the connection itself belongs to the thread while it watches.
    bool isUsable() const { return m_usable && !m_broken.load(); }

    // Calls `moved` on the watch thread, once, when the pointer is no longer
    // at `from` (root pixels) or the connection broke.
    void start(QPoint from, std::function<void()> moved) {
        stop();
        if (isUsable()) {
            m_thread = std::thread([this, from, moved = std::move(moved)] { run(from, moved); });
        }
    }

    void stop() {
        if (!m_thread.joinable()) {
            return;
        }
        const quint64 one = 1;
        [[maybe_unused]] const ssize_t written = write(m_wake, &one, sizeof one);
        m_thread.join();
        quint64 value = 0;
        [[maybe_unused]] const ssize_t drained = read(m_wake, &value, sizeof value);
    }

private:
    void run(QPoint from, const std::function<void()>& moved) {
        pthread_setname_np(pthread_self(), "oculo-pointer");
        xcb_connection_t* c = m_connection.get();
        for (;;) {
            pollfd wake{m_wake, POLLIN, 0};
            const int woken = poll(&wake, 1, static_cast<int>(m_interval.count()));
            if (woken < 0 && errno == EINTR) {
                continue;
            }
            if (woken != 0) {
                return; // stopped
            }
            const x11::XcbReply<xcb_query_pointer_reply_t> reply(
                xcb_query_pointer_reply(c, xcb_query_pointer(c, m_root), nullptr));
            if (!reply) {
                m_broken.store(true);
            }
            if (!reply || QPoint(reply->root_x, reply->root_y) != from) {
                moved();
                return;
            }
        }
    }

    std::chrono::milliseconds m_interval;
    int m_wake;
    x11::XcbConnection m_connection;
    xcb_window_t m_root = XCB_WINDOW_NONE;
    bool m_usable = false;
    std::atomic<bool> m_broken{false}; // a query failed: the connection is gone
    std::thread m_thread;
};

// Hears of every warp as it happens, from any client, through the RECORD
// extension: a context intercepts the core and XInput 2 warp requests, and
// its stream of replies arrives on a connection of its own, so a resting
// pointer costs no wake-up at all. Null without RECORD.
class WarpRecord {
public:
    static std::unique_ptr<WarpRecord> open(xcb_connection_t* control,
                                            const QByteArray& displayName, uint8_t inputOpcode) {
        if (x11::presentExtension(control, &xcb_record_id) == nullptr) {
            return nullptr;
        }
        const x11::XcbReply<xcb_record_query_version_reply_t> version(
            xcb_record_query_version_reply(control, xcb_record_query_version(control, 1, 13),
                                           nullptr));
        x11::ConnectedScreen data = x11::connectToDisplay(displayName);
        if (!version || data.screen == nullptr) {
            return nullptr;
        }
        const xcb_record_context_t context = xcb_generate_id(control);
        xcb_record_range_t range{};
        range.core_requests = {XCB_WARP_POINTER, XCB_WARP_POINTER};
        range.ext_requests.major = {inputOpcode, inputOpcode};
        range.ext_requests.minor = {XCB_INPUT_XI_WARP_POINTER, XCB_INPUT_XI_WARP_POINTER};
        const xcb_record_client_spec_t everyone = XCB_RECORD_CS_ALL_CLIENTS;
        const x11::XcbError error(
            xcb_request_check(control, xcb_record_create_context_checked(control, context, 0, 1, 1,
                                                                         &everyone, &range)));
        if (error) {
            return nullptr;
        }
        auto record = std::unique_ptr<WarpRecord>(new WarpRecord(std::move(data.connection)));
        record->m_stream = xcb_record_enable_context(record->m_connection.get(), context).sequence;
        xcb_flush(record->m_connection.get());
        return record;
    }

    int fd() const { return xcb_get_file_descriptor(m_connection.get()); }

    // Reads what has arrived; true when it told of a warp or the connection
    // broke (a listener must not wait for reports that will never come).
    bool takeWarps() {
        bool warped = false;
        void* reply = nullptr;
        xcb_generic_error_t* error = nullptr;
        while (xcb_poll_for_reply(m_connection.get(), m_stream, &reply, &error) != 0) {
            const x11::XcbReply<xcb_record_enable_context_reply_t> data(
                static_cast<xcb_record_enable_context_reply_t*>(reply));
            const x11::XcbError failure(error);
            warped = warped || (data && data->category == fromClient) || failure;
            reply = nullptr;
            error = nullptr;
        }
        return warped || !isWorking();
    }

    bool isWorking() const { return xcb_connection_has_error(m_connection.get()) == 0; }

private:
    static constexpr uint8_t fromClient = 1; // an intercepted request; xcb names no categories

    explicit WarpRecord(x11::XcbConnection connection)
        : m_connection(std::move(connection)) {}

    x11::XcbConnection m_connection;
    unsigned int m_stream = 0;
};

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
        warpRecord = WarpRecord::open(c, displayName, inputOpcode);
        if (warpRecord) {
            recordWatch =
                std::make_unique<QSocketNotifier>(warpRecord->fd(), QSocketNotifier::Read);
            QObject::connect(recordWatch.get(), &QSocketNotifier::activated, recordWatch.get(),
                             [this] { onRecordReadable(); });
        } else {
            // Without RECORD, a thread polls for warps while someone listens.
            warpWatch = std::make_unique<WarpWatch>(displayName, warpCheckInterval);
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
    std::unique_ptr<WarpRecord> warpRecord;
    std::unique_ptr<QSocketNotifier> recordWatch; // ends before the record's connection
    // Declared last: its thread ends before anything it reports to.
    std::unique_ptr<WarpWatch> warpWatch;
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
