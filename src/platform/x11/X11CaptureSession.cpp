#include "platform/x11/X11CaptureSession.h"

#include "common/Geometry.h"
#include "picture/FrameScaler.h"
#include "picture/PictureEffects.h"
#include "platform/x11/X11CaptureConnection.h"
#include "platform/x11/X11DamageTracker.h"
#include "platform/x11/X11ImagePool.h"
#include "platform/x11/X11Monitors.h"
#include "platform/x11/X11PointerFollower.h"
#include "platform/x11/X11ScreenGrabber.h"
#include "platform/x11/X11WindowPresenter.h"
#include "platform/x11/XcbSupport.h"

#include <xcb/damage.h>
#include <xcb/randr.h>
#include <xcb/shm.h>
#include <xcb/xfixes.h>
#include <xcb/xproto.h>

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <utility>

namespace oculo::x11 {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int maximumOutputSide = 16384;

// Wakes the capture thread from poll() for a new configuration or a stop.
class WakeSignal {
public:
    WakeSignal()
        : m_fd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~WakeSignal() {
        if (m_fd >= 0) {
            close(m_fd);
        }
    }
    WakeSignal(const WakeSignal&) = delete;
    WakeSignal& operator=(const WakeSignal&) = delete;

    bool isValid() const { return m_fd >= 0; }
    int fd() const { return m_fd; }
    void raise() const {
        const quint64 one = 1;
        [[maybe_unused]] const ssize_t n = write(m_fd, &one, sizeof one);
    }
    void clear() const {
        quint64 value = 0;
        [[maybe_unused]] const ssize_t n = read(m_fd, &value, sizeof value);
    }

private:
    int m_fd;
};

} // namespace

class X11CaptureSession::Private {
public:
    bool setUp(const CaptureConfiguration& configuration, QString* error);
    void run(CaptureSink& sink);
    bool produce(QImage* frame, QString* error);

    void applyConfiguration(const CaptureConfiguration& configuration);
    void placeSource(const QRectF& device);
    // The scaler of what is on screen: the window's while one is drawn into.
    const FrameScaler& shownScaler() const {
        return presenter.isDrawing() ? presenter.scaler() : scaler;
    }
    bool drainEvents();
    bool refreshMonitor();
    bool checkDamage();
    bool checkPointer(CaptureSink& sink);
    bool takeRequests(); // false when a stop was requested
    void applyTarget(quint32 window, const QSize& size);
    void stopPresenting();
    std::chrono::microseconds frameInterval() const {
        return std::max(config.minimumFrameInterval, std::chrono::microseconds(1000));
    }

    Options options;
    DisplayInfo display;

    // Declared first, destroyed last: everything below may still talk to it.
    X11CaptureConnection connection;
    xcb_connection_t* c = nullptr;
    MonitorGeometry monitor;
    QSize rootSize;

    std::unique_ptr<X11DamageTracker> damage;
    std::unique_ptr<X11PointerFollower> pointer;
    std::unique_ptr<X11ScreenGrabber> grabber;
    X11WindowPresenter presenter{connection};
    X11ImagePool images;

    CaptureConfiguration config;
    FrameScaler scaler;  // of published images; kept up to date only while they are
    QRectF deviceSource; // the configured rectangle in root-window pixels
    QSize outputSize;    // of published images; empty: none
    QRect visibleArea;

    bool dirty = true; // the next frame slot must grab
    bool geometryChanged = false;
    std::optional<QString> failure;

    WakeSignal wake;
    std::mutex requestMutex;
    std::optional<CaptureConfiguration> requestedConfig;
    bool stopRequested = false;
    std::optional<std::pair<quint32, QSize>> requestedTarget;
    std::optional<std::pair<QImage, QPoint>> requestedOverlay;
    std::atomic<bool> stopping{false};
};

bool X11CaptureSession::Private::setUp(const CaptureConfiguration& configuration, QString* error) {
    if (!connection.open(options.displayName, error)) {
        return false;
    }
    c = connection.get();
    if (!wake.isValid()) {
        *error = QStringLiteral("Could not create the capture thread's wake-up signal.");
        return false;
    }
    const xcb_screen_t& screen = connection.screen();
    rootSize = QSize(screen.width_in_pixels, screen.height_in_pixels);
    if (!refreshMonitor()) {
        *error = *failure;
        return false;
    }
    damage = std::make_unique<X11DamageTracker>(connection);
    pointer = std::make_unique<X11PointerFollower>(connection);
    // One round trip, so that an error in the requests above shows up now.
    const XcbReply<xcb_get_input_focus_reply_t> sync(
        xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    if (!sync || !drainEvents()) {
        *error = failure.value_or(connection.lostText());
        return false;
    }
    grabber = std::make_unique<X11ScreenGrabber>(c, connection.root(), options.useSharedMemory);
    presenter.allowSharedMemory(grabber->usesSharedMemory() &&
                                presentExtension(c, &xcb_shm_id) != nullptr);
    applyConfiguration(configuration);
    return true;
}

void X11CaptureSession::Private::applyConfiguration(const CaptureConfiguration& configuration) {
    config = configuration;
    const qreal ratio = display.devicePixelRatio > 0 ? display.devicePixelRatio : 1.0;
    const QRectF& logical = config.sourceRect;
    QSize output = config.outputSize;
    if (!geometry::isFinite(logical) || output.width() > maximumOutputSide ||
        output.height() > maximumOutputSide) {
        output = QSize(); // nothing sensible to capture: produce no frames
    }
    QRectF device(monitor.device.x() + logical.x() * ratio,
                  monitor.device.y() + logical.y() * ratio, logical.width() * ratio,
                  logical.height() * ratio);
    if (const auto centre = pointer->configure(config.showsCursor, config.followsPointer)) {
        device.moveCenter(QPointF(*centre));
    }
    visibleArea = monitor.device.intersected(QRect(QPoint(0, 0), rootSize));
    outputSize = output;
    presenter.setPicture(config.picture);
    placeSource(device); // also marks the frame dirty: new options show on a still screen
}

void X11CaptureSession::Private::placeSource(const QRectF& device) {
    deviceSource = device;
    // Only the scaler in use is built: following, this runs every frame.
    if (presenter.isDrawing()) {
        presenter.setSource(device, visibleArea, outputSize);
        if (!presenter.isDrawing()) {
            stopPresenting();
        }
    } else {
        scaler.configure(device, visibleArea, outputSize, config.picture.scaling);
    }
    dirty = true;
}

void X11CaptureSession::Private::stopPresenting() {
    presenter.stop();
    // Images are published again.
    scaler.configure(deviceSource, visibleArea, outputSize, config.picture.scaling);
}

void X11CaptureSession::Private::applyTarget(quint32 window, const QSize& size) {
    presenter.setTarget(window, size, deviceSource, visibleArea, outputSize);
    if (!presenter.isDrawing()) {
        stopPresenting();
    }
    dirty = true;
}

bool X11CaptureSession::Private::drainEvents() {
    const xcb_query_extension_reply_t* damageExtension = connection.damage();
    const xcb_query_extension_reply_t* xfixesExtension = connection.xfixes();
    const xcb_query_extension_reply_t* inputExtension = connection.input();
    const xcb_query_extension_reply_t* randrExtension = connection.randr();
    while (xcb_generic_event_t* raw = xcb_poll_for_event(c)) {
        const XcbReply<xcb_generic_event_t> event(raw);
        const uint8_t type = event->response_type & 0x7f;
        if (type == 0) {
            const auto* error = reinterpret_cast<xcb_generic_error_t*>(event.get());
            if (presenter.owns(error->resource_id)) {
                stopPresenting(); // the window went away under us: stop drawing into it
                continue;
            }
            failure = describeXError(*error);
            return false;
        }
        if (damageExtension != nullptr &&
            type == damageExtension->first_event + XCB_DAMAGE_NOTIFY) {
            damage->notePending();
        } else if (xfixesExtension != nullptr &&
                   type == xfixesExtension->first_event + XCB_XFIXES_CURSOR_NOTIFY) {
            pointer->noteMotion();
        } else if (type == XCB_GE_GENERIC && inputExtension != nullptr &&
                   reinterpret_cast<xcb_ge_generic_event_t*>(event.get())->extension ==
                       inputExtension->major_opcode) {
            pointer->noteMotion();
        } else if (randrExtension != nullptr &&
                   (type == randrExtension->first_event + XCB_RANDR_SCREEN_CHANGE_NOTIFY ||
                    type == randrExtension->first_event + XCB_RANDR_NOTIFY)) {
            geometryChanged = true;
        } else if (type == XCB_CONFIGURE_NOTIFY) {
            const auto* configure = reinterpret_cast<xcb_configure_notify_event_t*>(event.get());
            if (configure->window == connection.root()) {
                rootSize = QSize(configure->width, configure->height);
                geometryChanged = true;
            }
        }
    }
    if (xcb_connection_has_error(c) != 0) {
        failure = connection.lostText();
        return false;
    }
    if (geometryChanged) {
        geometryChanged = false;
        if (!refreshMonitor()) {
            return false;
        }
        applyConfiguration(config);
    }
    return true;
}

bool X11CaptureSession::Private::refreshMonitor() {
    const MonitorList list = queryMonitors(c, connection.screen());
    if (list.error) {
        failure = *list.error;
        return false;
    }
    for (const MonitorGeometry& candidate : list.monitors) {
        if (candidate.id == display.id) {
            monitor = candidate;
            return true;
        }
    }
    failure = QStringLiteral("The display %1 is no longer connected.").arg(display.name);
    return false;
}

bool X11CaptureSession::Private::checkDamage() {
    QString error;
    switch (damage->take(dirty, shownScaler().grabRect(), &error)) {
    case X11DamageTracker::Change::None:
        return true;
    case X11DamageTracker::Change::Inside:
        dirty = true;
        return true;
    case X11DamageTracker::Change::Failed:
        break;
    }
    failure = error;
    return false;
}

bool X11CaptureSession::Private::checkPointer(CaptureSink& sink) {
    X11PointerFollower::Look look;
    QString error;
    if (!pointer->look(monitor.device, &look, &error)) {
        failure = error;
        return false;
    }
    if (!look.looked) {
        return true;
    }
    // Where the picture goes next is the owner's choice; it samples the
    // pointer more sparsely than this thread looks, so it is told at once.
    if (look.leftDisplay) {
        sink.reportPointerLeftDisplay();
    }
    if (look.followedTo) {
        QRectF device = deviceSource;
        device.moveCenter(QPointF(*look.followedTo));
        placeSource(device);
    }
    if (pointer->settle(shownScaler().grabRect(), look.followedTo.has_value())) {
        dirty = true;
    }
    return true;
}

bool X11CaptureSession::Private::produce(QImage* frame, QString* error) {
    *frame = QImage();
    // While frames go straight to a window nobody waits for images of them.
    QImage* image = nullptr;
    if (!presenter.isDrawing()) {
        const QSize output = scaler.outputSize();
        if (output.isEmpty()) {
            return true;
        }
        image = &images.acquire(output);
        if (image->isNull()) {
            return true; // out of memory: skip this frame
        }
    }
    const QRect grab = shownScaler().grabRect();
    if (grab.isEmpty()) {
        presenter.present(nullptr, 0, grab); // all black
        if (image != nullptr) {
            image->fill(Qt::black);
            finishPicture(config.picture, scaler, *image);
            *frame = *image;
        }
        return true;
    }

    const X11ScreenGrabber::Pending pending = grabber->request(grab);
    // Shares the grab's round trip.
    const auto cursorCookie = pointer->askCursorImage();
    const std::optional<X11ScreenGrabber::Pixels> pixels = grabber->finish(pending, error);
    if (cursorCookie) {
        pointer->receiveCursorImage(*cursorCookie);
    }
    if (!pixels) {
        return false;
    }
    pointer->drawCursor(pixels->data, pixels->stride, grab);
    // On the grab, the fewest pixels, wherever scaling leaves the result the same.
    if (filtersBeforeScaling(config.picture, shownScaler())) {
        applyColorFilter(config.picture.colorFilter, pixels->data, pixels->stride, grab.width(),
                         grab.height());
    }
    presenter.present(pixels->data, pixels->stride, grab);
    if (image != nullptr) {
        scalePicture(config.picture, scaler, pixels->data, pixels->stride, *image);
        *frame = *image;
    }
    return true;
}

bool X11CaptureSession::Private::takeRequests() {
    wake.clear();
    std::optional<CaptureConfiguration> requested;
    std::optional<std::pair<quint32, QSize>> target;
    std::optional<std::pair<QImage, QPoint>> overlay;
    {
        const std::lock_guard lock(requestMutex);
        if (stopRequested) {
            return false;
        }
        requested.swap(requestedConfig);
        target.swap(requestedTarget);
        overlay.swap(requestedOverlay);
        pointer->takeRequests();
    }
    if (requested) {
        applyConfiguration(*requested);
    }
    if (target) {
        applyTarget(target->first, target->second);
    }
    if (overlay) {
        presenter.setOverlay(overlay->first, overlay->second);
        // A frame due anyway carries it; a still one is drawn again.
        if (!dirty) {
            presenter.redrawOverlay();
        }
    }
    return true;
}

void X11CaptureSession::Private::run(CaptureSink& sink) {
    pollfd fds[2] = {{wake.fd(), POLLIN, 0}, {xcb_get_file_descriptor(c), POLLIN, 0}};
    Clock::time_point nextDue = Clock::now();
    dirty = true;
    pointer->lookFirst();
    while (!stopping.load(std::memory_order_relaxed)) {
        if (!drainEvents()) {
            break;
        }
        if (!damage->isTracking()) {
            dirty = true; // no damage reports: every frame slot grabs
        }
        const bool work = dirty || damage->isPending() || pointer->isDue();
        const Clock::time_point now = Clock::now();
        if (work && now >= nextDue) {
            // The pointer first: a moved rectangle grabs anyway, and then the damage
            // needs no round trip to tell where it was.
            if (!checkPointer(sink) || !checkDamage()) {
                break;
            }
            if (dirty && sink.hasRoomForFrame()) {
                QImage frame;
                QString error;
                if (!produce(&frame, &error)) {
                    failure = error;
                    break;
                }
                dirty = false;
                if (!frame.isNull()) {
                    sink.deliverFrame(frame);
                }
            }
            // Not drawn now, it would be stale by the next frame: a warp moves
            // the pointer without any event that would fetch it again.
            pointer->dropCursorImage();
            // A frame slot was used: keep the cadence, or restart it after a pause.
            const auto interval = frameInterval();
            nextDue = now - nextDue < interval ? nextDue + interval : now + interval;
            continue;
        }
        int timeoutMs = -1;
        if (work) {
            timeoutMs = static_cast<int>(
                std::chrono::ceil<std::chrono::milliseconds>(nextDue - now).count());
        }
        xcb_flush(c);
        // Until the next frame slot, X events can wait in the socket: only a
        // stop or a new configuration needs an immediate wake-up.
        const nfds_t count = work ? 1 : 2;
        fds[0].revents = 0;
        fds[1].revents = 0;
        if (poll(fds, count, timeoutMs) < 0 && errno != EINTR) {
            failure = QStringLiteral("The capture thread could not wait for events.");
            break;
        }
        if ((fds[0].revents & POLLIN) != 0 && !takeRequests()) {
            return;
        }
    }
    if (failure && !stopping.load()) {
        sink.reportFailure(*failure);
    }
}

X11CaptureSession::X11CaptureSession(std::unique_ptr<Private> dd)
    : d(std::move(dd)) {}

X11CaptureSession::~X11CaptureSession() = default;

std::unique_ptr<X11CaptureSession>
X11CaptureSession::open(const Options& options, const DisplayInfo& display,
                        const CaptureConfiguration& configuration, QString* error) {
    auto d = std::make_unique<Private>();
    d->options = options;
    d->display = display;
    if (!d->setUp(configuration, error)) {
        return nullptr;
    }
    return std::unique_ptr<X11CaptureSession>(new X11CaptureSession(std::move(d)));
}

void X11CaptureSession::run(CaptureSink& sink) {
    d->run(sink);
}

void X11CaptureSession::requestConfiguration(const CaptureConfiguration& configuration) {
    {
        const std::lock_guard lock(d->requestMutex);
        d->requestedConfig = configuration;
    }
    d->wake.raise();
}

void X11CaptureSession::requestPointerCheck() {
    if (d->pointer->requestLook()) {
        d->wake.raise();
    }
}

void X11CaptureSession::requestTarget(quint32 window, const QSize& size) {
    {
        const std::lock_guard lock(d->requestMutex);
        d->requestedTarget = std::make_pair(window, size);
    }
    d->wake.raise();
}

void X11CaptureSession::requestOverlay(const QImage& overlay, const QPoint& position) {
    {
        const std::lock_guard lock(d->requestMutex);
        d->requestedOverlay = std::make_pair(overlay, position);
    }
    d->wake.raise();
}

void X11CaptureSession::requestStop() {
    {
        const std::lock_guard lock(d->requestMutex);
        d->stopRequested = true;
    }
    d->stopping.store(true);
    d->wake.raise();
}

void X11CaptureSession::abortConnection() {
    d->stopping.store(true);
    shutdown(xcb_get_file_descriptor(d->c), SHUT_RDWR);
}

std::optional<QImage> X11CaptureSession::captureFrame(QString* error) {
    if (!d->drainEvents()) {
        *error = d->failure.value_or(d->connection.lostText());
        return std::nullopt;
    }
    QImage frame;
    if (!d->produce(&frame, error)) {
        return std::nullopt;
    }
    return frame;
}

bool X11CaptureSession::usesSharedMemory() const {
    return d->grabber->usesSharedMemory();
}

} // namespace oculo::x11
