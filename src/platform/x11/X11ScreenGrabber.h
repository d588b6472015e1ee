#pragma once

#include "platform/x11/XcbSupport.h"

#include <QRect>
#include <QString>

#include <xcb/shm.h>

#include <cstddef>
#include <memory>
#include <optional>

namespace oculo::x11 {

// A System V shared-memory segment attached by this process and the X server.
// It is marked for removal as soon as both sides hold it, so it disappears
// with the last detach even after a crash, and nobody else can attach it.
class SharedMemorySegment {
public:
    // Null (with `why` filled) when the server cannot attach it, e.g. a remote server.
    static std::unique_ptr<SharedMemorySegment> attach(xcb_connection_t* connection,
                                                       std::size_t size, QString* why);
    ~SharedMemorySegment();

    SharedMemorySegment(const SharedMemorySegment&) = delete;
    SharedMemorySegment& operator=(const SharedMemorySegment&) = delete;

    uchar* data() const { return m_data; }
    std::size_t size() const { return m_size; }
    xcb_shm_seg_t id() const { return m_id; }

private:
    SharedMemorySegment() = default;

    xcb_connection_t* m_connection = nullptr;
    uchar* m_data = nullptr;
    std::size_t m_size = 0;
    xcb_shm_seg_t m_id = 0;
};

// Grabs root-window areas in 32-bit ZPixmap form: through MIT-SHM when the
// server can attach our segment, else with plain GetImage. A grab is split in
// two halves so that other requests (the cursor image) can share its round trip.
class X11ScreenGrabber {
public:
    X11ScreenGrabber(xcb_connection_t* connection, xcb_window_t root, bool trySharedMemory);

    bool usesSharedMemory() const { return m_useSharedMemory; }

    struct Pending {
        QRect rect;
        bool sharedMemory = false;
        unsigned int sequence = 0;
    };
    struct Pixels {
        uchar* data = nullptr; // valid until the next grab; writable
        qsizetype stride = 0;
    };

    Pending request(const QRect& rect);
    std::optional<Pixels> finish(const Pending& pending, QString* error);

private:
    bool ensureSegment(std::size_t size);

    xcb_connection_t* m_connection;
    xcb_window_t m_root;
    bool m_useSharedMemory = false;
    std::unique_ptr<SharedMemorySegment> m_segment;
    XcbReply<xcb_get_image_reply_t> m_lastImage; // holds the GetImage pixels
};

} // namespace oculo::x11
