#include "platform/x11/X11ScreenGrabber.h"

#include <sys/ipc.h>
#include <sys/shm.h>

namespace oculo::x11 {
namespace {

constexpr std::size_t bytesPerPixel = 4;

bool serverHasSharedMemory(xcb_connection_t* connection) {
    if (presentExtension(connection, &xcb_shm_id) == nullptr) {
        return false;
    }
    const XcbReply<xcb_shm_query_version_reply_t> version(
        xcb_shm_query_version_reply(connection, xcb_shm_query_version(connection), nullptr));
    return version != nullptr;
}

} // namespace

std::unique_ptr<SharedMemorySegment> SharedMemorySegment::attach(xcb_connection_t* connection,
                                                                 std::size_t size, QString* why) {
    const int shmId = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
    if (shmId < 0) {
        *why = QStringLiteral("shmget failed");
        return nullptr;
    }
    void* address = shmat(shmId, nullptr, 0);
    if (address == reinterpret_cast<void*>(-1)) {
        shmctl(shmId, IPC_RMID, nullptr);
        *why = QStringLiteral("shmat failed");
        return nullptr;
    }
    std::unique_ptr<SharedMemorySegment> segment(new SharedMemorySegment);
    segment->m_data = static_cast<uchar*>(address);
    segment->m_size = size;
    segment->m_id = xcb_generate_id(connection);
    const XcbError error(
        xcb_request_check(connection, xcb_shm_attach_checked(connection, segment->m_id,
                                                             static_cast<quint32>(shmId), 0)));
    // Both sides are attached (or the server refused): from here the segment
    // lives only as long as the attachments.
    shmctl(shmId, IPC_RMID, nullptr);
    if (error || xcb_connection_has_error(connection) != 0) {
        *why = error ? describeXError(*error) : QStringLiteral("connection lost");
        return nullptr; // the destructor detaches our side only
    }
    segment->m_connection = connection;
    return segment;
}

SharedMemorySegment::~SharedMemorySegment() {
    if (m_connection != nullptr && xcb_connection_has_error(m_connection) == 0) {
        xcb_shm_detach(m_connection, m_id);
        xcb_flush(m_connection);
    }
    if (m_data != nullptr) {
        shmdt(m_data);
    }
}

X11ScreenGrabber::X11ScreenGrabber(xcb_connection_t* connection, xcb_window_t root,
                                   bool trySharedMemory)
    : m_connection(connection)
    , m_root(root)
    , m_useSharedMemory(trySharedMemory && serverHasSharedMemory(connection)) {}

bool X11ScreenGrabber::ensureSegment(std::size_t size) {
    if (m_segment && m_segment->size() >= size) {
        return true;
    }
    m_segment.reset();
    // Some headroom, so a growing rectangle does not reallocate on every frame.
    QString why;
    m_segment = SharedMemorySegment::attach(m_connection, size + size / 4, &why);
    return m_segment != nullptr;
}

X11ScreenGrabber::Pending X11ScreenGrabber::request(const QRect& rect) {
    Pending pending;
    pending.rect = rect;
    const std::size_t size = std::size_t(rect.width()) * std::size_t(rect.height()) * bytesPerPixel;
    if (m_useSharedMemory && !ensureSegment(size)) {
        m_useSharedMemory = false; // e.g. a server on another machine: keep going without
    }
    const auto x = static_cast<int16_t>(rect.x());
    const auto y = static_cast<int16_t>(rect.y());
    const auto width = static_cast<uint16_t>(rect.width());
    const auto height = static_cast<uint16_t>(rect.height());
    if (m_useSharedMemory) {
        pending.sharedMemory = true;
        pending.sequence = xcb_shm_get_image(m_connection, m_root, x, y, width, height, ~0u,
                                             XCB_IMAGE_FORMAT_Z_PIXMAP, m_segment->id(), 0)
                               .sequence;
    } else {
        pending.sequence =
            xcb_get_image(m_connection, XCB_IMAGE_FORMAT_Z_PIXMAP, m_root, x, y, width, height, ~0u)
                .sequence;
    }
    return pending;
}

std::optional<X11ScreenGrabber::Pixels> X11ScreenGrabber::finish(const Pending& pending,
                                                                 QString* error) {
    const qsizetype stride = qsizetype(pending.rect.width()) * qsizetype(bytesPerPixel);
    const std::size_t needed = std::size_t(stride) * std::size_t(pending.rect.height());
    xcb_generic_error_t* rawError = nullptr;
    if (pending.sharedMemory) {
        const XcbReply<xcb_shm_get_image_reply_t> reply(xcb_shm_get_image_reply(
            m_connection, xcb_shm_get_image_cookie_t{pending.sequence}, &rawError));
        const XcbError xError(rawError);
        if (!reply || reply->size < needed) {
            *error = xError ? describeXError(*xError)
                            : QStringLiteral("The connection to the X server was lost.");
            return std::nullopt;
        }
        return Pixels{m_segment->data(), stride};
    }
    m_lastImage.reset(
        xcb_get_image_reply(m_connection, xcb_get_image_cookie_t{pending.sequence}, &rawError));
    const XcbError xError(rawError);
    if (!m_lastImage || std::size_t(xcb_get_image_data_length(m_lastImage.get())) < needed) {
        *error = xError ? describeXError(*xError)
                        : QStringLiteral("The connection to the X server was lost.");
        return std::nullopt;
    }
    return Pixels{xcb_get_image_data(m_lastImage.get()), stride};
}

} // namespace oculo::x11
