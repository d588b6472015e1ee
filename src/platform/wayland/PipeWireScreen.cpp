#include "platform/wayland/PipeWireScreen.h"

#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

#include <QCoreApplication>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <unistd.h>

namespace oculo::wayland {
namespace {

// The size PipeWire reserves for the pointer's metadata with an image of
// `side` x `side`. The producer picks from the range offered; mutter insists
// on room for 384 x 384, so the range must reach past it or it sends none.
constexpr int cursorMetaSize(int side) {
    return int(sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap)) + side * side * 4;
}

class LoopLock {
public:
    explicit LoopLock(pw_thread_loop* loop)
        : m_loop(loop) {
        pw_thread_loop_lock(m_loop);
    }
    ~LoopLock() { pw_thread_loop_unlock(m_loop); }
    LoopLock(const LoopLock&) = delete;
    LoopLock& operator=(const LoopLock&) = delete;

private:
    pw_thread_loop* m_loop;
};

QImage cursorImage(const spa_meta_bitmap& bitmap) {
    QImage::Format format = QImage::Format_Invalid;
    switch (bitmap.format) {
    case SPA_VIDEO_FORMAT_BGRA:
        format = QImage::Format_ARGB32; // B, G, R, A in memory on little-endian
        break;
    case SPA_VIDEO_FORMAT_RGBA:
        format = QImage::Format_RGBA8888;
        break;
    default:
        return {};
    }
    const auto* pixels = SPA_PTROFF(&bitmap, bitmap.offset, const uchar);
    return QImage(pixels, int(bitmap.size.width), int(bitmap.size.height), bitmap.stride, format)
        .convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

QString lostText() {
    return QCoreApplication::translate("PipeWireConnection",
                                       "Screen sharing has stopped, so Oculo no longer sees the "
                                       "screen.");
}

} // namespace

struct PipeWireConnection::Core {
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    spa_hook listener{};
    PipeWireConnection* owner = nullptr;
};

class PipeWireConnection::Screen {
public:
    explicit Screen(pw_thread_loop* loop)
        : m_loop(loop) {}

    bool open(pw_core* core, quint32 node);
    void close();
    void fail(const QString& description);
    void deliver(ScreenConsumer* only);

    static void stateChanged(void* data, pw_stream_state old, pw_stream_state state,
                             const char* error);
    static void paramChanged(void* data, uint32_t id, const spa_pod* param);
    static void process(void* data);
    static void removeBuffer(void* data, pw_buffer* buffer);

    void readCursor(spa_buffer* buffer);

    pw_thread_loop* m_loop;
    pw_stream* m_stream = nullptr;
    spa_hook m_listener{};
    spa_video_info_raw m_format{};
    pw_buffer* m_held = nullptr; // the newest buffer with a picture
    quint64 m_serial = 0;
    ScreenCursor m_cursor;
    std::optional<QPoint> m_reportedPointer;
    bool m_pointerReported = false;
    std::vector<ScreenConsumer*> m_consumers;
    PointerCallback m_pointerChanged;
    bool m_streaming = false;
    bool m_failed = false;
};

bool PipeWireConnection::Screen::open(pw_core* core, quint32 node) {
    static const pw_stream_events events = [] {
        pw_stream_events e{};
        e.version = PW_VERSION_STREAM_EVENTS;
        e.state_changed = &Screen::stateChanged;
        e.param_changed = &Screen::paramChanged;
        e.process = &Screen::process;
        e.remove_buffer = &Screen::removeBuffer;
        return e;
    }();
    m_stream = pw_stream_new(core, "oculo",
                             pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY,
                                               "Capture", PW_KEY_MEDIA_ROLE, "Screen", nullptr));
    if (m_stream == nullptr) {
        return false;
    }
    pw_stream_add_listener(m_stream, &m_listener, &events, this);
    uint8_t buffer[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    const spa_rectangle defaultSize{1920, 1080};
    const spa_rectangle smallest{1, 1};
    const spa_rectangle largest{16384, 16384};
    const spa_fraction defaultRate{60, 1};
    const spa_fraction slowest{0, 1};
    const spa_fraction fastest{240, 1};
    // Only the byte order the scaler reads, in shared memory: no GPU needed.
    const spa_pod* params[] = {static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
        SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
        SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
        SPA_POD_CHOICE_ENUM_Id(3, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx,
                               SPA_VIDEO_FORMAT_BGRA),
        SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&defaultSize, &smallest, &largest),
        SPA_FORMAT_VIDEO_framerate,
        SPA_POD_CHOICE_RANGE_Fraction(&defaultRate, &slowest, &fastest)))};
    return pw_stream_connect(m_stream, PW_DIRECTION_INPUT, node,
                             // When the node goes, the session is over: never follow the
                             // session manager to another screen's node.
                             pw_stream_flags(PW_STREAM_FLAG_AUTOCONNECT |
                                             PW_STREAM_FLAG_MAP_BUFFERS |
                                             PW_STREAM_FLAG_DONT_RECONNECT),
                             params, 1) == 0;
}

void PipeWireConnection::Screen::close() {
    if (m_stream == nullptr) {
        return;
    }
    if (m_held != nullptr) {
        pw_stream_queue_buffer(m_stream, m_held);
        m_held = nullptr;
    }
    spa_hook_remove(&m_listener);
    pw_stream_disconnect(m_stream);
    pw_stream_destroy(m_stream);
    m_stream = nullptr;
}

void PipeWireConnection::Screen::fail(const QString& description) {
    if (m_failed) {
        return;
    }
    m_failed = true;
    for (ScreenConsumer* consumer : m_consumers) {
        consumer->screenLost(description);
    }
    if (m_pointerChanged && m_reportedPointer) {
        m_reportedPointer.reset();
        m_pointerChanged(std::nullopt, QSize());
    }
}

void PipeWireConnection::Screen::removeBuffer(void* data, pw_buffer* buffer) {
    auto* screen = static_cast<Screen*>(data);
    if (screen->m_held == buffer) {
        screen->m_held = nullptr;
    }
}

void PipeWireConnection::Screen::stateChanged(void* data, pw_stream_state /*old*/,
                                              pw_stream_state state, const char* error) {
    auto* screen = static_cast<Screen*>(data);
    Q_UNUSED(error);
    if (state == PW_STREAM_STATE_STREAMING) {
        screen->m_streaming = true;
    } else if (state == PW_STREAM_STATE_ERROR ||
               (state == PW_STREAM_STATE_UNCONNECTED && screen->m_streaming)) {
        // The node went away: the session was closed.
        screen->m_held = nullptr; // its buffers went with it
        screen->fail(lostText());
    }
}

void PipeWireConnection::Screen::paramChanged(void* data, uint32_t id, const spa_pod* param) {
    auto* screen = static_cast<Screen*>(data);
    if (param == nullptr || id != SPA_PARAM_Format) {
        return;
    }
    if (spa_format_video_raw_parse(param, &screen->m_format) < 0) {
        return;
    }
    uint8_t buffer[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    const spa_pod* params[] = {
        static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
            SPA_POD_CHOICE_RANGE_Int(4, 3, 8), SPA_PARAM_BUFFERS_dataType,
            SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr)))),
        static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
            SPA_POD_Id(SPA_META_Cursor), SPA_PARAM_META_size,
            SPA_POD_CHOICE_RANGE_Int(cursorMetaSize(64), cursorMetaSize(1), cursorMetaSize(1024)))),
    };
    pw_stream_update_params(screen->m_stream, params, 2);
}

void PipeWireConnection::Screen::readCursor(spa_buffer* buffer) {
    const spa_meta* block = spa_buffer_find_meta(buffer, SPA_META_Cursor);
    if (block == nullptr || block->size < sizeof(spa_meta_cursor)) {
        return; // this buffer says nothing about the pointer
    }
    auto* meta = static_cast<spa_meta_cursor*>(block->data);
    if (!spa_meta_cursor_is_valid(meta)) {
        m_cursor.onScreen = false;
        return;
    }
    m_cursor.onScreen = true;
    m_cursor.position = QPoint(meta->position.x, meta->position.y);
    m_cursor.hotspot = QPoint(meta->hotspot.x, meta->hotspot.y);
    if (meta->bitmap_offset < sizeof(spa_meta_cursor)) {
        return; // the image did not change
    }
    if (meta->bitmap_offset + sizeof(spa_meta_bitmap) > block->size) {
        return;
    }
    const auto* bitmap = SPA_PTROFF(meta, meta->bitmap_offset, const spa_meta_bitmap);
    if (bitmap->size.width == 0 || bitmap->size.height == 0) {
        // An empty image hides the pointer, but a desktop that never sent a
        // real one (a headless compositor) sends it too: the stand-in arrow stays then.
        if (!m_cursor.image.isNull()) {
            m_cursor.image = QImage();
            m_cursor.hidden = true;
            ++m_cursor.imageSerial;
        }
    } else if (bitmap->size.width <= 1024 && bitmap->size.height <= 1024 &&
               bitmap->stride >= int(bitmap->size.width) * 4 &&
               meta->bitmap_offset + bitmap->offset +
                       std::size_t(bitmap->stride) * bitmap->size.height <=
                   block->size) {
        QImage image = cursorImage(*bitmap);
        if (!image.isNull()) {
            m_cursor.image = std::move(image);
            m_cursor.hidden = false;
            ++m_cursor.imageSerial;
        }
    }
}

void PipeWireConnection::Screen::process(void* data) {
    auto* screen = static_cast<Screen*>(data);
    pw_buffer* newest = nullptr;
    while (pw_buffer* next = pw_stream_dequeue_buffer(screen->m_stream)) {
        if (newest != nullptr) {
            screen->readCursor(newest->buffer);
            pw_stream_queue_buffer(screen->m_stream, newest);
        }
        newest = next;
    }
    if (newest == nullptr) {
        return;
    }
    screen->readCursor(newest->buffer);
    const spa_data& plane = newest->buffer->datas[0];
    // A pointer-only update carries no picture; the held one still holds.
    const bool hasPicture = plane.data != nullptr && plane.chunk->size > 0 &&
                            (plane.chunk->flags & SPA_CHUNK_FLAG_CORRUPTED) == 0;
    if (hasPicture) {
        if (screen->m_held != nullptr) {
            pw_stream_queue_buffer(screen->m_stream, screen->m_held);
        }
        screen->m_held = newest;
        ++screen->m_serial;
    } else {
        pw_stream_queue_buffer(screen->m_stream, newest);
    }
    const std::optional<QPoint> pointer =
        screen->m_cursor.onScreen ? std::optional(screen->m_cursor.position) : std::nullopt;
    if (screen->m_pointerChanged &&
        (!screen->m_pointerReported || pointer != screen->m_reportedPointer)) {
        screen->m_pointerReported = true;
        screen->m_reportedPointer = pointer;
        screen->m_pointerChanged(
            pointer, QSize(int(screen->m_format.size.width), int(screen->m_format.size.height)));
    }
    screen->deliver(nullptr);
}

void PipeWireConnection::Screen::deliver(ScreenConsumer* only) {
    ScreenPicture picture;
    const ScreenPicture* shown = nullptr;
    if (m_held != nullptr) {
        const spa_data& plane = m_held->buffer->datas[0];
        picture.size = QSize(int(m_format.size.width), int(m_format.size.height));
        picture.stride = plane.chunk->stride > 0 ? plane.chunk->stride : picture.size.width() * 4;
        picture.pixels = static_cast<const uchar*>(plane.data) + plane.chunk->offset;
        picture.serial = m_serial;
        if (qsizetype(plane.chunk->offset) + picture.stride * picture.size.height() <=
            qsizetype(plane.maxsize)) {
            shown = &picture;
        }
    }
    if (only != nullptr) {
        only->consume(shown, m_cursor);
        return;
    }
    for (ScreenConsumer* consumer : m_consumers) {
        consumer->consume(shown, m_cursor);
    }
}

std::unique_ptr<PipeWireConnection> PipeWireConnection::connect(int fd, QString* error) {
    static std::once_flag initialised;
    std::call_once(initialised, [] { pw_init(nullptr, nullptr); });
    std::unique_ptr<PipeWireConnection> connection(new PipeWireConnection);
    connection->m_loop = pw_thread_loop_new("oculo-pipewire", nullptr);
    connection->m_core = std::make_unique<Core>();
    connection->m_core->owner = connection.get();
    if (connection->m_loop == nullptr) {
        if (fd >= 0) {
            ::close(fd);
        }
        *error = QCoreApplication::translate("PipeWireConnection",
                                             "Oculo could not start its PipeWire thread.");
        return nullptr;
    }
    Core& core = *connection->m_core;
    core.context = pw_context_new(pw_thread_loop_get_loop(connection->m_loop), nullptr, 0);
    if (core.context == nullptr || pw_thread_loop_start(connection->m_loop) != 0) {
        if (fd >= 0) {
            ::close(fd);
        }
        *error = QCoreApplication::translate("PipeWireConnection",
                                             "Oculo could not start its PipeWire thread.");
        return nullptr;
    }
    const LoopLock lock(connection->m_loop);
    core.core = fd >= 0 ? pw_context_connect_fd(core.context, fd, nullptr, 0)
                        : pw_context_connect(core.context, nullptr, 0);
    if (core.core == nullptr) {
        *error = QCoreApplication::translate("PipeWireConnection",
                                             "Oculo could not connect to PipeWire (%1).")
                     .arg(QString::fromLocal8Bit(strerror(errno)));
        return nullptr;
    }
    static const pw_core_events coreEvents = [] {
        pw_core_events e{};
        e.version = PW_VERSION_CORE_EVENTS;
        e.error = [](void* data, uint32_t id, int /*seq*/, int res, const char* /*message*/) {
            auto* owner = static_cast<Core*>(data)->owner;
            // Only a broken connection ends everything; other errors belong to one stream.
            if (id == PW_ID_CORE && res == -EPIPE) {
                for (const auto& screen : owner->m_screens) {
                    screen->fail(lostText());
                }
            }
        };
        return e;
    }();
    pw_core_add_listener(core.core, &core.listener, &coreEvents, &core);
    return connection;
}

PipeWireConnection::~PipeWireConnection() {
    if (m_loop == nullptr) {
        return;
    }
    {
        const LoopLock lock(m_loop);
        for (const auto& screen : m_screens) {
            screen->close();
        }
        if (m_core->core != nullptr) {
            spa_hook_remove(&m_core->listener);
            pw_core_disconnect(m_core->core);
        }
    }
    pw_thread_loop_stop(m_loop);
    m_screens.clear();
    if (m_core->context != nullptr) {
        pw_context_destroy(m_core->context);
    }
    pw_thread_loop_destroy(m_loop);
}

int PipeWireConnection::addScreen(quint32 node, PointerCallback pointerChanged) {
    const LoopLock lock(m_loop);
    auto screen = std::make_unique<Screen>(m_loop);
    screen->m_pointerChanged = std::move(pointerChanged);
    if (!screen->open(m_core->core, node)) {
        screen->m_failed = true;
    }
    m_screens.push_back(std::move(screen));
    return int(m_screens.size()) - 1;
}

void PipeWireConnection::attach(int screen, ScreenConsumer* consumer) {
    const LoopLock lock(m_loop);
    Screen& target = *m_screens.at(std::size_t(screen));
    target.m_consumers.push_back(consumer);
    if (target.m_failed) {
        consumer->screenLost(lostText());
    }
}

void PipeWireConnection::detach(int screen, ScreenConsumer* consumer) {
    const LoopLock lock(m_loop);
    auto& consumers = m_screens.at(std::size_t(screen))->m_consumers;
    consumers.erase(std::remove(consumers.begin(), consumers.end(), consumer), consumers.end());
}

void PipeWireConnection::replay(int screen, ScreenConsumer* consumer) {
    const LoopLock lock(m_loop);
    Screen& target = *m_screens.at(std::size_t(screen));
    if (!target.m_failed) {
        target.deliver(consumer);
    }
}

void PipeWireConnection::failAll(const QString& description) {
    const LoopLock lock(m_loop);
    for (const auto& screen : m_screens) {
        screen->fail(description);
    }
}

bool PipeWireConnection::hasFailed(int screen) const {
    const LoopLock lock(m_loop);
    return m_screens.at(std::size_t(screen))->m_failed;
}

} // namespace oculo::wayland
