#include "platform/wayland/WaylandCaptureStream.h"

#include "common/Geometry.h"
#include "picture/FrameScaler.h"
#include "picture/PictureBlend.h"
#include "picture/PictureEffects.h"
#include "picture/PointerArrow.h"
#include "platform/wayland/PipeWireScreen.h"
#include "platform/wayland/WaylandScreenCast.h"

#include <QMetaObject>
#include <QPointer>

#include <atomic>
#include <cstring>
#include <mutex>
#include <vector>

namespace oculo::wayland {
namespace {

constexpr int maximumOutputSide = 16384;
// Stands in for the image serial of the built-in arrow in a frame's key.
constexpr quint64 arrowImage = ~quint64(0);

// Everything besides the pixels that decides what a frame looks like.
struct FrameKey {
    QRectF source;
    QSize output;
    PictureOptions picture;
    QRect cursor;
    quint64 cursorImage = 0;

    friend bool operator==(const FrameKey&, const FrameKey&) = default;
};

// What the scaler's tables are built from.
struct ScalerInputs {
    QRectF source;
    QSize picture;
    QSize output;
    Scaling scaling = Scaling::pixels;

    friend bool operator==(const ScalerInputs&, const ScalerInputs&) = default;
};

} // namespace

// Called on PipeWire's thread, or on the GUI thread under the loop's lock
// (replays): never two at once.
class ScreenCropper final : public ScreenConsumer {
public:
    ScreenCropper(WaylandCaptureStream* stream, quint64 generation, DisplayInfo display,
                  const CaptureConfiguration& configuration)
        : m_stream(stream)
        , m_generation(generation)
        , m_display(std::move(display))
        , m_configuration(configuration)
        , m_queueDepth(std::max(1, configuration.queueDepth)) {}

    void setConfiguration(const CaptureConfiguration& configuration) {
        const std::lock_guard lock(m_mutex);
        m_configuration = configuration;
        m_queueDepth = std::max(1, configuration.queueDepth);
    }

    // GUI thread: a frame was taken; true when one was held back meanwhile.
    bool frameTaken() {
        m_inFlight.fetch_sub(1);
        return m_missed.exchange(false);
    }

    void consume(const ScreenPicture* picture, const ScreenCursor& cursor) override;
    void screenLost(const QString& description) override {
        QMetaObject::invokeMethod(
            m_stream,
            [stream = m_stream, generation = m_generation, description] {
                if (generation != stream->m_generation || !stream->m_running ||
                    stream->m_failureReported) {
                    return;
                }
                stream->m_failureReported = true;
                stream->m_running = false;
                stream->m_cast.noteScreenLost();
                Q_EMIT stream->failed(description);
            },
            Qt::QueuedConnection);
    }

    std::atomic<quint64> produced{0};
    std::atomic<quint64> skipped{0};

private:
    bool sameAsLast(const ScreenPicture& picture, const QRect& grab) const;
    QImage& nextImage(const QSize& size);
    const PointerArrow& arrow(qreal scale);

    WaylandCaptureStream* m_stream;
    quint64 m_generation;
    DisplayInfo m_display;

    std::mutex m_mutex;
    CaptureConfiguration m_configuration;
    int m_queueDepth;
    std::atomic<int> m_inFlight{0};
    std::atomic<bool> m_missed{false};

    FrameScaler m_scaler;
    std::optional<ScalerInputs> m_scalerInputs;
    std::optional<FrameKey> m_lastKey;
    QRect m_lastGrab;
    std::vector<uchar> m_pristine; // the last crop as it came, packed rows
    std::vector<uchar> m_work;     // the filtered crop, or the pixels under the pointer
    QImage m_images[2];
    int m_nextImage = 0;
    bool m_pointerWasOnScreen = false;
    PointerArrow m_arrow;
    qreal m_arrowScale = 0;
};

const PointerArrow& ScreenCropper::arrow(qreal scale) {
    if (scale != m_arrowScale) {
        m_arrow = pointerArrow(scale);
        m_arrowScale = scale;
    }
    return m_arrow;
}

bool ScreenCropper::sameAsLast(const ScreenPicture& picture, const QRect& grab) const {
    if (grab != m_lastGrab) {
        return false;
    }
    const qsizetype rowBytes = qsizetype(grab.width()) * 4;
    for (int y = 0; y < grab.height(); ++y) {
        const uchar* row = picture.pixels + (grab.y() + y) * picture.stride + grab.x() * 4;
        if (std::memcmp(row, m_pristine.data() + y * rowBytes, std::size_t(rowBytes)) != 0) {
            return false;
        }
    }
    return true;
}

QImage& ScreenCropper::nextImage(const QSize& size) {
    // An image the GUI no longer holds is written again instead of allocated.
    for (int i = 0; i < 2; ++i) {
        QImage& image = m_images[(m_nextImage + i) % 2];
        if (image.size() == size && image.isDetached()) {
            m_nextImage = (m_nextImage + i + 1) % 2;
            return image;
        }
    }
    QImage& image = m_images[m_nextImage];
    m_nextImage = (m_nextImage + 1) % 2;
    image = QImage(size, QImage::Format_RGB32);
    return image;
}

void ScreenCropper::consume(const ScreenPicture* picture, const ScreenCursor& cursor) {
    CaptureConfiguration config;
    int depth = 1;
    {
        const std::lock_guard lock(m_mutex);
        config = m_configuration;
        depth = m_queueDepth;
    }
    const bool pointerOnScreen = cursor.onScreen;
    if (config.followsPointer && m_pointerWasOnScreen && !pointerOnScreen) {
        QMetaObject::invokeMethod(
            m_stream,
            [stream = m_stream, generation = m_generation] {
                if (generation == stream->m_generation && stream->m_running) {
                    Q_EMIT stream->pointerLeftDisplay();
                }
            },
            Qt::QueuedConnection);
    }
    m_pointerWasOnScreen = pointerOnScreen;
    const QSize output = config.outputSize;
    if (picture == nullptr || output.isEmpty() || output.width() > maximumOutputSide ||
        output.height() > maximumOutputSide || !geometry::isFinite(config.sourceRect)) {
        return;
    }
    const qreal scale = m_display.frame.width() > 0
                            ? picture->size.width() / m_display.frame.width()
                            : m_display.devicePixelRatio;
    const QRectF& logical = config.sourceRect;
    QRectF device(logical.x() * scale, logical.y() * scale, logical.width() * scale,
                  logical.height() * scale);
    if (config.followsPointer && pointerOnScreen) {
        device.moveCenter(QPointF(cursor.position));
    }
    // Damage elsewhere on a still pointer's screen brings the same rectangle again.
    const ScalerInputs inputs{device, picture->size, output, config.picture.scaling};
    if (m_scalerInputs != inputs) {
        m_scaler.configure(device, QRect(QPoint(), picture->size), output, config.picture.scaling);
        m_scalerInputs = inputs;
    }
    const QRect grab = m_scaler.grabRect();
    QRect cursorRect;
    const QImage* cursorImage = &cursor.image;
    quint64 cursorSerial = cursor.imageSerial;
    if (config.showsCursor && pointerOnScreen && !cursor.hidden) {
        QPoint hotspot = cursor.hotspot;
        if (cursor.image.isNull()) {
            const PointerArrow& standIn = arrow(scale);
            cursorImage = &standIn.image;
            hotspot = standIn.hotspot;
            cursorSerial = arrowImage;
        }
        cursorRect = QRect(cursor.position - hotspot, cursorImage->size());
        if (!cursorRect.intersects(grab)) {
            cursorRect = QRect();
        }
    }
    const FrameKey key{device, output, config.picture, cursorRect,
                       cursorRect.isEmpty() ? 0 : cursorSerial};
    if (m_lastKey == key && !m_missed.load() && sameAsLast(*picture, grab)) {
        skipped.fetch_add(1);
        return;
    }
    if (m_inFlight.load() >= depth) {
        // Made again from the newest picture once the GUI takes a frame.
        m_missed.store(true);
        return;
    }
    m_missed.store(false);
    const qsizetype rowBytes = qsizetype(grab.width()) * 4;
    m_pristine.resize(std::size_t(rowBytes * grab.height()));
    for (int y = 0; y < grab.height(); ++y) {
        std::memcpy(m_pristine.data() + y * rowBytes,
                    picture->pixels + (grab.y() + y) * picture->stride + grab.x() * 4,
                    std::size_t(rowBytes));
    }
    m_lastKey = key;
    m_lastGrab = grab;

    QImage& image = nextImage(output);
    if (image.isNull()) {
        return; // out of memory: skip this frame
    }
    if (grab.isEmpty()) {
        image.fill(Qt::black);
        finishPicture(config.picture, m_scaler, image);
    } else {
        const bool filterFirst = filtersBeforeScaling(config.picture, m_scaler) &&
                                 config.picture.colorFilter != ColorFilter::none;
        const auto* overlay = reinterpret_cast<const quint32*>(cursorImage->constBits());
        if (filterFirst) {
            m_work = m_pristine;
            if (!cursorRect.isEmpty()) {
                blendPremultiplied(m_work.data(), rowBytes, grab, overlay, cursorRect);
            }
            applyColorFilter(config.picture.colorFilter, m_work.data(), rowBytes, grab.width(),
                             grab.height());
            scalePicture(config.picture, m_scaler, m_work.data(), rowBytes, image);
        } else if (!cursorRect.isEmpty()) {
            // The pointer is drawn into the kept crop and taken out after scaling:
            // only the pixels it covers are copied, not the whole crop.
            const QRect covered = (cursorRect & grab).translated(-grab.topLeft());
            const qsizetype coveredBytes = qsizetype(covered.width()) * 4;
            uchar* first = m_pristine.data() + covered.y() * rowBytes + covered.x() * 4;
            m_work.resize(std::size_t(coveredBytes * covered.height()));
            for (int y = 0; y < covered.height(); ++y) {
                std::memcpy(m_work.data() + y * coveredBytes, first + y * rowBytes,
                            std::size_t(coveredBytes));
            }
            blendPremultiplied(m_pristine.data(), rowBytes, grab, overlay, cursorRect);
            scalePicture(config.picture, m_scaler, m_pristine.data(), rowBytes, image);
            for (int y = 0; y < covered.height(); ++y) {
                std::memcpy(first + y * rowBytes, m_work.data() + y * coveredBytes,
                            std::size_t(coveredBytes));
            }
        } else {
            scalePicture(config.picture, m_scaler, m_pristine.data(), rowBytes, image);
        }
    }
    produced.fetch_add(1);
    m_inFlight.fetch_add(1);
    QMetaObject::invokeMethod(
        m_stream,
        [stream = m_stream, generation = m_generation, frame = QImage(image)] {
            stream->takeFrame(generation, frame);
        },
        Qt::QueuedConnection);
}

} // namespace oculo::wayland

namespace oculo {

WaylandCaptureStream::WaylandCaptureStream(wayland::WaylandScreenCast& cast, DisplayInfo display,
                                           CaptureConfiguration configuration, QObject* parent)
    : CaptureStream(parent)
    , m_cast(cast)
    , m_display(std::move(display))
    , m_configuration(std::move(configuration)) {}

WaylandCaptureStream::~WaylandCaptureStream() {
    stopNow();
}

QCoro::Task<std::optional<CaptureError>> WaylandCaptureStream::start() {
    if (m_running) {
        co_return std::nullopt;
    }
    stopNow();
    QPointer<WaylandCaptureStream> self(this);
    const auto error = co_await m_cast.ensureSession(wayland::WaylandScreenCast::Asker::stream);
    if (!self) {
        co_return CaptureError{};
    }
    if (error) {
        co_return CaptureError{error->description};
    }
    if (m_running) {
        co_return std::nullopt; // started meanwhile by another call
    }
    const std::optional<int> screen = m_cast.screenShowing(m_display.frame);
    if (!screen) {
        co_return CaptureError{tr("The display %1 is not shared.").arg(m_display.name)};
    }
    m_connection = m_cast.connection();
    m_screen = *screen;
    ++m_generation;
    m_cropper =
        std::make_unique<wayland::ScreenCropper>(this, m_generation, m_display, m_configuration);
    m_running = true;
    m_failureReported = false;
    m_connection->attach(m_screen, m_cropper.get());
    m_connection->replay(m_screen, m_cropper.get());
    co_return std::nullopt;
}

QCoro::Task<> WaylandCaptureStream::stop() {
    stopNow();
    co_return;
}

void WaylandCaptureStream::stopNow() {
    m_running = false;
    if (m_connection && m_cropper) {
        m_connection->detach(m_screen, m_cropper.get());
    }
    m_cropper.reset();
    m_connection.reset();
    ++m_generation;
}

QCoro::Task<> WaylandCaptureStream::updateConfiguration(const CaptureConfiguration& configuration) {
    m_configuration = configuration;
    if (m_running && m_cropper) {
        m_cropper->setConfiguration(configuration);
        // A still screen sends nothing: the new rectangle is cut from the last picture.
        m_connection->replay(m_screen, m_cropper.get());
    }
    co_return;
}

bool WaylandCaptureStream::followsPointerItself() const {
    return m_cast.hasPointerMetadata();
}

quint64 WaylandCaptureStream::framesProduced() const {
    return m_cropper ? m_cropper->produced.load() : 0;
}

quint64 WaylandCaptureStream::picturesSkipped() const {
    return m_cropper ? m_cropper->skipped.load() : 0;
}

void WaylandCaptureStream::takeFrame(quint64 generation, const QImage& frame) {
    if (generation != m_generation || !m_cropper) {
        return;
    }
    const bool missed = m_cropper->frameTaken();
    if (m_running) {
        Q_EMIT frameCaptured(frame);
    }
    if (missed && m_running && m_cropper) {
        m_connection->replay(m_screen, m_cropper.get());
    }
}

} // namespace oculo
