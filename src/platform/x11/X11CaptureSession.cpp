#include "platform/x11/X11CaptureSession.h"

#include "common/Geometry.h"
#include "platform/x11/FrameScaler.h"
#include "platform/x11/PointerBeacon.h"
#include "platform/x11/X11Monitors.h"
#include "platform/x11/X11ScreenGrabber.h"
#include "platform/x11/XcbSupport.h"

#include <xcb/damage.h>
#include <xcb/randr.h>
#include <xcb/shm.h>
#include <xcb/xfixes.h>
#include <xcb/xinput.h>
#include <xcb/xproto.h>

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <mutex>
#include <utility>
#include <vector>

namespace oculo::x11 {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int maximumOutputSide = 16384;
constexpr std::size_t imagePoolSize = 8;

// xcb closes the connection for more than a lost server; say which it was.
QString connectionLostText(xcb_connection_t* connection) {
    switch (xcb_connection_has_error(connection)) {
    case XCB_CONN_CLOSED_EXT_NOTSUPPORTED:
        return QStringLiteral("The X server does not support an extension that capture used.");
    case XCB_CONN_CLOSED_MEM_INSUFFICIENT:
        return QStringLiteral("There was not enough memory to talk to the X server.");
    case XCB_CONN_CLOSED_REQ_LEN_EXCEED:
        return QStringLiteral("A capture request was too large for the X server.");
    default:
        return QStringLiteral("The connection to the X server was lost.");
    }
}

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

// A server-side resource of this connection, freed with `destroy` unless the
// connection is already gone (the server then frees it anyway).
template <auto destroy>
class ServerResource {
public:
    explicit ServerResource(xcb_connection_t* connection)
        : m_connection(connection)
        , m_id(xcb_generate_id(connection)) {}
    ~ServerResource() {
        if (xcb_connection_has_error(m_connection) == 0) {
            destroy(m_connection, m_id);
        }
    }
    ServerResource(const ServerResource&) = delete;
    ServerResource& operator=(const ServerResource&) = delete;

    quint32 id() const { return m_id; }

private:
    xcb_connection_t* m_connection;
    quint32 m_id;
};

using DamageObject = ServerResource<xcb_damage_destroy>;
using RegionObject = ServerResource<xcb_xfixes_destroy_region>;

// Only 32-bit little-endian xRGB is converted; it is what every current X
// server uses for depth 24 and 32 screens.
bool screenFormatSupported(const xcb_setup_t* setup, const xcb_screen_t& screen) {
    if (setup->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST) {
        return false;
    }
    bool thirtyTwoBits = false;
    for (auto it = xcb_setup_pixmap_formats_iterator(setup); it.rem > 0; xcb_format_next(&it)) {
        if (it.data->depth == screen.root_depth) {
            thirtyTwoBits = it.data->bits_per_pixel == 32 && it.data->scanline_pad == 32;
        }
    }
    if (!thirtyTwoBits) {
        return false;
    }
    for (auto depth = xcb_screen_allowed_depths_iterator(&screen); depth.rem > 0;
         xcb_depth_next(&depth)) {
        for (auto visual = xcb_depth_visuals_iterator(depth.data); visual.rem > 0;
             xcb_visualtype_next(&visual)) {
            if (visual.data->visual_id == screen.root_visual) {
                return visual.data->red_mask == 0xff0000u && visual.data->green_mask == 0xff00u &&
                       visual.data->blue_mask == 0xffu;
            }
        }
    }
    return false;
}

QRect cursorRectOf(const xcb_xfixes_get_cursor_image_reply_t& cursor) {
    return QRect(cursor.x - cursor.xhot, cursor.y - cursor.yhot, cursor.width, cursor.height);
}

} // namespace

class X11CaptureSession::Private {
public:
    bool setUp(const CaptureConfiguration& configuration, QString* error);
    void run(CaptureSink& sink);
    bool produce(QImage* frame, QString* error);

    void applyConfiguration(const CaptureConfiguration& configuration);
    void placeSource(const QRectF& device);
    // The scaler of what is on screen: the window's while one is drawn into.
    const FrameScaler& shownScaler() const { return targetWindow != 0 ? targetScaler : scaler; }
    void setPointerActive(bool active);
    bool drainEvents();
    bool refreshMonitor();
    bool checkDamage();
    bool checkPointer(CaptureSink& sink);
    bool takeRequests(); // false when a stop was requested
    void applyTarget(quint32 window, const QSize& size);
    void dropTarget();
    void present(const uchar* pixels, qsizetype stride, const QRect& grab);
    QImage& acquireImage(const QSize& size);
    std::chrono::microseconds frameInterval() const {
        return std::max(config.minimumFrameInterval, std::chrono::microseconds(1000));
    }

    Options options;
    DisplayInfo display;

    // Declared first, destroyed last: everything below may still talk to it.
    XcbConnection connection;
    xcb_connection_t* c = nullptr;
    const xcb_screen_t* screen = nullptr;
    MonitorGeometry monitor;
    QSize rootSize;

    const xcb_query_extension_reply_t* damageExtension = nullptr;
    const xcb_query_extension_reply_t* xfixesExtension = nullptr;
    const xcb_query_extension_reply_t* inputExtension = nullptr;
    const xcb_query_extension_reply_t* randrExtension = nullptr;
    std::unique_ptr<DamageObject> damage;
    std::unique_ptr<RegionObject> damagedParts;
    std::unique_ptr<X11ScreenGrabber> grabber;

    CaptureConfiguration config;
    FrameScaler scaler;
    QRectF deviceSource; // the configured rectangle in root-window pixels
    QSize outputSize;    // of published images; empty: none
    QRect visibleArea;

    // The window frames are drawn into besides being published; errors about
    // it (a window already destroyed) end the drawing, not the capture.
    quint32 targetWindow = 0;
    QSize targetSize;
    quint8 targetDepth = 0;
    quint32 targetGc = 0;
    FrameScaler targetScaler;
    std::unique_ptr<SharedMemorySegment> targetSegment;
    const xcb_query_extension_reply_t* shmExtension = nullptr;
    std::vector<QImage> imagePool;
    std::size_t nextPoolVictim = 0;

    XcbReply<xcb_xfixes_get_cursor_image_reply_t> freshCursor; // fetched this tick, not yet drawn
    QRect lastCursorRect;
    quint32 lastCursorSerial = 0;

    bool dirty = true;          // the next frame slot must grab
    bool damagePending = false; // the server reported damage not yet subtracted
    bool pointerCheck = false;  // the pointer may have moved or changed shape
    // Root pixel of the pointer at the last look, while the rectangle follows it.
    std::optional<QPoint> pointerPosition;
    // The pointer moved at the last look: every frame slot looks again, without
    // waiting for (or waking on) the server's motion events.
    bool pointerActive = false;
    bool pointerOutside = false; // of the display, when last looked at while following
    bool geometryChanged = false;
    std::optional<QString> failure;

    WakeSignal wake;
    std::mutex requestMutex;
    std::optional<CaptureConfiguration> requestedConfig;
    bool stopRequested = false;
    // Raised by requestPointerCheck(); the wake-up is skipped while the capture
    // thread looks at the pointer every frame slot anyway.
    std::atomic<unsigned> pointerRequests{0};
    std::atomic<bool> watchingPointer{false};
    unsigned seenPointerRequests = 0;
    std::optional<std::pair<quint32, QSize>> requestedTarget;
    std::atomic<bool> stopping{false};
};

bool X11CaptureSession::Private::setUp(const CaptureConfiguration& configuration, QString* error) {
    ConnectedScreen connected = connectToDisplay(options.displayName);
    if (connected.screen == nullptr) {
        *error = QStringLiteral("Could not connect to the X server.");
        return false;
    }
    connection = std::move(connected.connection);
    c = connection.get();
    screen = connected.screen;
    if (!wake.isValid()) {
        *error = QStringLiteral("Could not create the capture thread's wake-up signal.");
        return false;
    }
    if (!screenFormatSupported(xcb_get_setup(c), *screen)) {
        *error = QStringLiteral("The X screen's pixel format (depth %1) cannot be captured.")
                     .arg(screen->root_depth);
        return false;
    }
    rootSize = QSize(screen->width_in_pixels, screen->height_in_pixels);
    if (!refreshMonitor()) {
        *error = *failure;
        return false;
    }

    // Ask every extension for its version in one round trip.
    damageExtension = presentExtension(c, &xcb_damage_id);
    xfixesExtension = presentExtension(c, &xcb_xfixes_id);
    inputExtension = presentExtension(c, &xcb_input_id);
    // A request of a missing extension makes xcb close the connection, so
    // only present ones are asked; without them capture runs on its timer.
    std::optional<xcb_damage_query_version_cookie_t> damageCookie;
    std::optional<xcb_xfixes_query_version_cookie_t> xfixesCookie;
    std::optional<xcb_input_xi_query_version_cookie_t> inputCookie;
    if (damageExtension != nullptr) {
        damageCookie = xcb_damage_query_version(c, 1, 1);
    }
    if (xfixesExtension != nullptr) {
        xfixesCookie = xcb_xfixes_query_version(c, 5, 0);
    }
    if (inputExtension != nullptr) {
        inputCookie = xcb_input_xi_query_version(c, 2, 2);
    }
    const XcbReply<xcb_damage_query_version_reply_t> damageVersion(
        damageCookie ? xcb_damage_query_version_reply(c, *damageCookie, nullptr) : nullptr);
    const XcbReply<xcb_xfixes_query_version_reply_t> xfixesVersion(
        xfixesCookie ? xcb_xfixes_query_version_reply(c, *xfixesCookie, nullptr) : nullptr);
    const XcbReply<xcb_input_xi_query_version_reply_t> inputVersion(
        inputCookie ? xcb_input_xi_query_version_reply(c, *inputCookie, nullptr) : nullptr);
    if (!damageVersion) {
        damageExtension = nullptr;
    }
    if (!xfixesVersion || xfixesVersion->major_version < 2) {
        xfixesExtension = nullptr;
    }
    if (!inputVersion || inputVersion->major_version < 2) {
        inputExtension = nullptr;
    }

    // A resized root window or a changed output may move or remove the display.
    const xcb_window_t root = screen->root;
    const uint32_t rootEvents = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    xcb_change_window_attributes(c, root, XCB_CW_EVENT_MASK, &rootEvents);
    randrExtension = presentExtension(c, &xcb_randr_id);
    if (randrExtension != nullptr) {
        xcb_randr_select_input(c, root,
                               XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE |
                                   XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE |
                                   XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE);
    }
    if (damageExtension != nullptr) {
        damage = std::make_unique<DamageObject>(c);
        xcb_damage_create(c, damage->id(), root, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
    }
    if (xfixesExtension != nullptr) {
        damagedParts = std::make_unique<RegionObject>(c);
        xcb_xfixes_create_region(c, damagedParts->id(), 0, nullptr);
        xcb_xfixes_select_cursor_input(c, root, XCB_XFIXES_CURSOR_NOTIFY_MASK_DISPLAY_CURSOR);
    }
    if (inputExtension != nullptr) {
        selectRawMotion(c, root);
    }
    // One round trip, so that an error in the requests above shows up now.
    const XcbReply<xcb_get_input_focus_reply_t> sync(
        xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    if (!sync || !drainEvents()) {
        *error = failure.value_or(connectionLostText(c));
        return false;
    }
    grabber = std::make_unique<X11ScreenGrabber>(c, root, options.useSharedMemory);
    if (grabber->usesSharedMemory()) {
        shmExtension = presentExtension(c, &xcb_shm_id);
    }
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
    if (!config.followsPointer) {
        pointerPosition.reset();
    } else {
        if (pointerPosition) {
            device.moveCenter(QPointF(*pointerPosition));
        }
        pointerCheck = true; // where the pointer is now, before the next frame
    }
    visibleArea = monitor.device.intersected(QRect(QPoint(0, 0), rootSize));
    outputSize = output;
    placeSource(device);
}

void X11CaptureSession::Private::placeSource(const QRectF& device) {
    deviceSource = device;
    // Only the scaler in use is built: following, this runs every frame.
    if (targetWindow != 0) {
        applyTarget(targetWindow, targetSize);
    } else {
        scaler = FrameScaler(device, visibleArea, outputSize);
    }
    dirty = true;
}

void X11CaptureSession::Private::dropTarget() {
    if (targetGc != 0 && xcb_connection_has_error(c) == 0) {
        xcb_free_gc(c, targetGc);
    }
    targetGc = 0;
    targetWindow = 0;
    targetScaler = FrameScaler();
    scaler = FrameScaler(deviceSource, visibleArea, outputSize); // images are published again
}

void X11CaptureSession::Private::applyTarget(quint32 window, const QSize& size) {
    const bool sameWindow = window == targetWindow && targetGc != 0;
    if (!sameWindow) {
        dropTarget();
    }
    if (window == 0 || size.isEmpty() || size.width() > maximumOutputSide ||
        size.height() > maximumOutputSide) {
        dropTarget();
        dirty = true; // images are published again from the next frame slot
        return;
    }
    if (!sameWindow) {
        const XcbReply<xcb_get_geometry_reply_t> geometry(
            xcb_get_geometry_reply(c, xcb_get_geometry(c, window), nullptr));
        if (!geometry || (geometry->depth != 24 && geometry->depth != 32)) {
            return; // gone already, or a format the scaler does not write
        }
        targetDepth = geometry->depth;
        targetGc = xcb_generate_id(c);
        xcb_create_gc(c, targetGc, window, 0, nullptr);
        targetWindow = window;
    }
    targetSize = size;
    const std::size_t bytes = std::size_t(size.width()) * std::size_t(size.height()) * 4;
    if (!targetSegment || targetSegment->size() < bytes) {
        QString why;
        targetSegment.reset();
        if (shmExtension != nullptr) {
            targetSegment = SharedMemorySegment::attach(c, bytes, &why);
        }
    }
    // The centre part of the configured rectangle that fills the window.
    const QSize output = outputSize;
    QRectF source = deviceSource;
    if (!output.isEmpty()) {
        const double scale = std::max(double(size.width()) / output.width(),
                                      double(size.height()) / output.height());
        const double keptWidth = size.width() / scale / output.width();
        const double keptHeight = size.height() / scale / output.height();
        source = QRectF(deviceSource.x() + deviceSource.width() * (1 - keptWidth) / 2,
                        deviceSource.y() + deviceSource.height() * (1 - keptHeight) / 2,
                        deviceSource.width() * keptWidth, deviceSource.height() * keptHeight);
    }
    targetScaler = FrameScaler(source, visibleArea, size);
    dirty = true;
}

void X11CaptureSession::Private::present(const uchar* pixels, qsizetype stride, const QRect& grab) {
    if (targetWindow == 0) {
        return;
    }
    const QSize size = targetScaler.outputSize();
    const QRect own = targetScaler.grabRect();
    const uchar* start = pixels;
    if (!own.isEmpty()) {
        if (!grab.contains(own)) {
            return;
        }
        start += (own.y() - grab.y()) * stride + (own.x() - grab.x()) * 4;
    }
    if (targetSegment) {
        QImage image(targetSegment->data(), size.width(), size.height(), size.width() * 4,
                     QImage::Format_RGB32);
        targetScaler.scale(start, stride, image);
        xcb_shm_put_image(c, targetWindow, targetGc, size.width(), size.height(), 0, 0,
                          size.width(), size.height(), 0, 0, targetDepth, XCB_IMAGE_FORMAT_Z_PIXMAP,
                          0, targetSegment->id(), 0);
    } else {
        QImage image(size, QImage::Format_RGB32);
        if (image.isNull()) {
            return;
        }
        targetScaler.scale(start, stride, image);
        xcb_put_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, targetWindow, targetGc, size.width(),
                      size.height(), 0, 0, 0, targetDepth, image.sizeInBytes(), image.constBits());
    }
    xcb_flush(c);
}

bool X11CaptureSession::Private::drainEvents() {
    while (xcb_generic_event_t* raw = xcb_poll_for_event(c)) {
        const XcbReply<xcb_generic_event_t> event(raw);
        const uint8_t type = event->response_type & 0x7f;
        if (type == 0) {
            const auto* error = reinterpret_cast<xcb_generic_error_t*>(event.get());
            if (targetWindow != 0 &&
                (error->resource_id == targetWindow || error->resource_id == targetGc)) {
                dropTarget(); // the window went away under us: stop drawing into it
                continue;
            }
            failure = describeXError(*error);
            return false;
        }
        if (damageExtension != nullptr &&
            type == damageExtension->first_event + XCB_DAMAGE_NOTIFY) {
            damagePending = true;
        } else if (xfixesExtension != nullptr &&
                   type == xfixesExtension->first_event + XCB_XFIXES_CURSOR_NOTIFY) {
            pointerCheck = true;
        } else if (type == XCB_GE_GENERIC && inputExtension != nullptr &&
                   reinterpret_cast<xcb_ge_generic_event_t*>(event.get())->extension ==
                       inputExtension->major_opcode) {
            pointerCheck = true;
        } else if (randrExtension != nullptr &&
                   (type == randrExtension->first_event + XCB_RANDR_SCREEN_CHANGE_NOTIFY ||
                    type == randrExtension->first_event + XCB_RANDR_NOTIFY)) {
            geometryChanged = true;
        } else if (type == XCB_CONFIGURE_NOTIFY) {
            const auto* configure = reinterpret_cast<xcb_configure_notify_event_t*>(event.get());
            if (configure->window == screen->root) {
                rootSize = QSize(configure->width, configure->height);
                geometryChanged = true;
            }
        }
    }
    if (xcb_connection_has_error(c) != 0) {
        failure = connectionLostText(c);
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
    const MonitorList list = queryMonitors(c, *screen);
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
    if (!damagePending) {
        return true;
    }
    damagePending = false;
    if (dirty || !damagedParts) {
        // Grabbing anyway (or unable to tell where): just re-arm the notification.
        xcb_damage_subtract(c, damage->id(), XCB_NONE, XCB_NONE);
        dirty = true;
        return true;
    }
    xcb_damage_subtract(c, damage->id(), XCB_NONE, damagedParts->id());
    xcb_generic_error_t* rawError = nullptr;
    const XcbReply<xcb_xfixes_fetch_region_reply_t> region(xcb_xfixes_fetch_region_reply(
        c, xcb_xfixes_fetch_region(c, damagedParts->id()), &rawError));
    const XcbError error(rawError);
    if (!region) {
        failure = error ? describeXError(*error) : connectionLostText(c);
        return false;
    }
    const QRect grab = shownScaler().grabRect();
    const xcb_rectangle_t* rects = xcb_xfixes_fetch_region_rectangles(region.get());
    const int count = xcb_xfixes_fetch_region_rectangles_length(region.get());
    for (int i = 0; i < count && !dirty; ++i) {
        dirty = QRect(rects[i].x, rects[i].y, rects[i].width, rects[i].height).intersects(grab);
    }
    return true;
}

bool X11CaptureSession::Private::checkPointer(CaptureSink& sink) {
    const unsigned requests = pointerRequests.load();
    if (requests != seenPointerRequests) {
        seenPointerRequests = requests;
        pointerCheck = true;
    }
    if (!pointerCheck && !pointerActive) {
        return true;
    }
    pointerCheck = false;
    const bool drawCursor = config.showsCursor && xfixesExtension != nullptr;
    const bool follow = config.followsPointer;
    if (!drawCursor && !follow) {
        setPointerActive(false);
        return true;
    }
    // The cursor image tells where the pointer is too; one round trip either way.
    xcb_generic_error_t* rawError = nullptr;
    std::optional<QPoint> position;
    if (drawCursor) {
        freshCursor.reset(
            xcb_xfixes_get_cursor_image_reply(c, xcb_xfixes_get_cursor_image(c), &rawError));
        if (freshCursor) {
            position = QPoint(freshCursor->x, freshCursor->y);
        }
    } else {
        const XcbReply<xcb_query_pointer_reply_t> pointer(
            xcb_query_pointer_reply(c, xcb_query_pointer(c, screen->root), &rawError));
        if (pointer) {
            position = QPoint(pointer->root_x, pointer->root_y);
        }
    }
    const XcbError error(rawError);
    if (!position) {
        failure = error ? describeXError(*error) : connectionLostText(c);
        return false;
    }
    PointerBeacon::shared().publish(*position);
    // Where the picture goes next is the owner's choice; it samples the
    // pointer more sparsely than this thread looks, so it is told at once.
    const bool outside = follow && !monitor.device.contains(*position);
    if (outside && !pointerOutside) {
        sink.reportPointerLeftDisplay();
    }
    pointerOutside = outside;
    bool moved = false;
    if (follow && position != pointerPosition) {
        pointerPosition = position;
        QRectF device = deviceSource;
        device.moveCenter(QPointF(*position));
        placeSource(device);
        moved = true;
    }
    if (drawCursor) {
        const QRect rect = cursorRectOf(*freshCursor);
        const QRect grab = shownScaler().grabRect();
        const bool changed =
            rect != lastCursorRect || freshCursor->cursor_serial != lastCursorSerial;
        // Moving inside, entering or leaving the rectangle all change the picture.
        if (changed && (rect.intersects(grab) || lastCursorRect.intersects(grab))) {
            dirty = true;
        }
        moved = moved || rect != lastCursorRect;
        lastCursorRect = rect;
        lastCursorSerial = freshCursor->cursor_serial;
    }
    setPointerActive(moved);
    return true;
}

void X11CaptureSession::Private::setPointerActive(bool active) {
    if (active == pointerActive) {
        return;
    }
    pointerActive = active;
    watchingPointer.store(active);
    if (inputExtension != nullptr) {
        // Every frame slot looks while the pointer moves: its motion events
        // would only be delivered and read. Selected again at rest, a move
        // made before that took effect is seen by one more look.
        selectRawMotion(c, screen->root, !active);
        pointerCheck = pointerCheck || !active;
    }
    // A request made just before the flag fell found it still raised and did
    // not wake this thread: take it now.
    if (!active && pointerRequests.load() != seenPointerRequests) {
        pointerCheck = true;
    }
}

QImage& X11CaptureSession::Private::acquireImage(const QSize& size) {
    // Reuse an image the GUI thread has let go of: no allocation, no page faults.
    for (QImage& image : imagePool) {
        if (image.size() == size && image.isDetached()) {
            std::atomic_thread_fence(std::memory_order_acquire);
            return image;
        }
    }
    QImage fresh(size, QImage::Format_RGB32);
    for (QImage& image : imagePool) {
        if (image.isNull() || image.isDetached()) {
            image = fresh;
            return image;
        }
    }
    if (imagePool.size() < imagePoolSize) {
        imagePool.push_back(fresh);
        return imagePool.back();
    }
    // Every pooled image is still held elsewhere: drop our share of one.
    QImage& victim = imagePool[nextPoolVictim];
    nextPoolVictim = (nextPoolVictim + 1) % imagePool.size();
    victim = fresh;
    return victim;
}

bool X11CaptureSession::Private::produce(QImage* frame, QString* error) {
    *frame = QImage();
    // While frames go straight to a window nobody waits for images of them.
    const bool publishes = targetWindow == 0;
    QImage* image = nullptr;
    if (publishes) {
        const QSize output = scaler.outputSize();
        if (output.isEmpty()) {
            return true;
        }
        image = &acquireImage(output);
        if (image->isNull()) {
            return true; // out of memory: skip this frame
        }
    }
    const QRect grab = shownScaler().grabRect();
    if (grab.isEmpty()) {
        present(nullptr, 0, grab); // all black
        if (image != nullptr) {
            image->fill(Qt::black);
            *frame = *image;
        }
        return true;
    }

    const bool drawCursor = config.showsCursor && xfixesExtension != nullptr;
    const X11ScreenGrabber::Pending pending = grabber->request(grab);
    std::optional<xcb_xfixes_get_cursor_image_cookie_t> cursorCookie;
    if (drawCursor && !freshCursor) {
        cursorCookie = xcb_xfixes_get_cursor_image(c); // shares the grab's round trip
    }
    const std::optional<X11ScreenGrabber::Pixels> pixels = grabber->finish(pending, error);
    if (cursorCookie) {
        freshCursor.reset(xcb_xfixes_get_cursor_image_reply(c, *cursorCookie, nullptr));
    }
    if (!pixels) {
        return false;
    }
    if (drawCursor && freshCursor) {
        const QRect rect = cursorRectOf(*freshCursor);
        const int available = xcb_xfixes_get_cursor_image_cursor_image_length(freshCursor.get());
        if (qsizetype(available) >= qsizetype(rect.width()) * rect.height()) {
            blendPremultiplied(pixels->data, pixels->stride, grab,
                               xcb_xfixes_get_cursor_image_cursor_image(freshCursor.get()), rect);
        }
        lastCursorRect = rect;
        lastCursorSerial = freshCursor->cursor_serial;
    }
    freshCursor.reset();
    present(pixels->data, pixels->stride, grab);
    if (image != nullptr) {
        scaler.scale(pixels->data, pixels->stride, *image);
        *frame = *image;
    }
    return true;
}

bool X11CaptureSession::Private::takeRequests() {
    wake.clear();
    std::optional<CaptureConfiguration> requested;
    std::optional<std::pair<quint32, QSize>> target;
    {
        const std::lock_guard lock(requestMutex);
        if (stopRequested) {
            return false;
        }
        requested.swap(requestedConfig);
        target.swap(requestedTarget);
        const unsigned requests = pointerRequests.load();
        pointerCheck = requests != seenPointerRequests || pointerCheck;
    }
    if (requested) {
        applyConfiguration(*requested);
    }
    if (target) {
        applyTarget(target->first, target->second);
    }
    return true;
}

void X11CaptureSession::Private::run(CaptureSink& sink) {
    pollfd fds[2] = {{wake.fd(), POLLIN, 0}, {xcb_get_file_descriptor(c), POLLIN, 0}};
    Clock::time_point nextDue = Clock::now();
    dirty = true;
    pointerCheck = config.showsCursor || config.followsPointer;
    while (!stopping.load(std::memory_order_relaxed)) {
        if (!drainEvents()) {
            break;
        }
        if (damage == nullptr) {
            dirty = true; // no damage reports: every frame slot grabs
        }
        const bool work = dirty || damagePending || pointerCheck || pointerActive;
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
            freshCursor.reset();
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
    d->pointerRequests.fetch_add(1);
    if (d->watchingPointer.load()) {
        return; // it looks before every frame slot anyway
    }
    d->wake.raise();
}

void X11CaptureSession::requestTarget(quint32 window, const QSize& size) {
    {
        const std::lock_guard lock(d->requestMutex);
        d->requestedTarget = std::make_pair(window, size);
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
        *error = d->failure.value_or(connectionLostText(d->c));
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
