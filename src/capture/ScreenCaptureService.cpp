#include "capture/ScreenCaptureService.h"

#include "common/FireAndForget.h"
#include "common/FrameFitting.h"
#include "common/Geometry.h"
#include "common/PrintLine.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <utility>

namespace oculo {

namespace {

// Larger outputs would need gigabytes per frame; no real window asks for them.
constexpr qreal maximumOutputSide = 16384.0;

} // namespace

ScreenCaptureService::ScreenCaptureService(CaptureBackend& backend, QObject* parent)
    : QObject(parent)
    , m_backend(backend) {
    m_regionUpdateTimer.setSingleShot(true);
    m_regionUpdateTimer.setInterval(regionCoalescingMs);
    connect(&m_regionUpdateTimer, &QTimer::timeout, this,
            &ScreenCaptureService::applyPendingRegionUpdate);
}

ScreenCaptureService::~ScreenCaptureService() {
    // Coroutines still suspended hold only a QPointer to this service and
    // their own reference to the stream; they end without touching it.
    ++m_generation;
    m_regionUpdateTimer.stop();
    if (m_stream) {
        disconnect(m_stream.get(), nullptr, this, nullptr);
        fireAndForget(stopDetached(std::move(m_stream)));
    }
}

CaptureConfiguration ScreenCaptureService::configurationFor(const QRectF& sourceRect) {
    CaptureConfiguration configuration;
    configuration.sourceRect = sourceRect;
    if (geometry::isFinite(sourceRect) && sourceRect.width() > 0 && sourceRect.height() > 0) {
        // The output is twice the logical size whatever the display's own scale.
        const QRectF bounded(sourceRect.topLeft(),
                             QSizeF(std::min(sourceRect.width(), maximumOutputSide / 2),
                                    std::min(sourceRect.height(), maximumOutputSide / 2)));
        configuration.outputSize = geometry::doubledPixelSize(bounded);
    }
    configuration.minimumFrameInterval = std::chrono::microseconds(1'000'000 / targetFrameRate);
    configuration.showsCursor = true;
    configuration.queueDepth = 3;
    return configuration;
}

QCoro::Task<std::optional<CaptureError>>
ScreenCaptureService::startCapture(const DisplayInfo& display, const QRectF& sourceRect) {
    // Copies: the caller's objects may be gone once this coroutine resumes.
    const DisplayInfo target = display;
    CaptureConfiguration configuration = configurationFor(sourceRect);
    configuration.followsPointer = m_followsPointer;
    configuration.outputSize =
        geometry::boundedOutputSize(configuration.outputSize, m_maximumOutputSize);
    QPointer<ScreenCaptureService> self(this);

    auto stopping = stopCapture();
    const quint64 generation = m_generation;
    co_await std::move(stopping);
    if (!self) {
        co_return CaptureError{QStringLiteral("The capture was closed")};
    }
    if (m_generation != generation) {
        // Another stop or start came in while the old stream was stopping.
        co_return CaptureError{QStringLiteral("The capture was stopped before it started")};
    }
    if (configuration.outputSize.isEmpty()) {
        co_return CaptureError{QStringLiteral("The capture rectangle is empty or not a number")};
    }

    m_startFailed = false;
    m_currentDisplay = target;
    configuration.picture = m_pictureOptions; // may have changed while the old stream stopped
    m_currentConfig = configuration;
    // Coroutines resume from inside a stream's own signals, so the last owner
    // must never delete it there: deletion waits for the event loop.
    std::shared_ptr<CaptureStream> stream(m_backend.createStream(target, configuration).release(),
                                          [](CaptureStream* doomed) {
                                              if (doomed) {
                                                  doomed->deleteLater();
                                              }
                                          });
    if (!stream) {
        m_startFailed = true;
        co_return CaptureError{QStringLiteral("No capture stream could be created")};
    }
    m_stream = stream;
    // The overlay first, so that the first frame drawn already carries it.
    if (!m_overlay.isNull()) {
        stream->setPresentationOverlay(m_overlay, m_overlayPosition);
    }
    if (m_targetWindow != 0) {
        stream->setPresentationTarget(m_targetWindow, m_targetSize);
    }
    // The generation check also drops frames that were already queued when a
    // stop disconnected the stream.
    connect(stream.get(), &CaptureStream::frameCaptured, this,
            [this, generation](const QImage& frame) {
                if (generation == m_generation && !frame.isNull()) {
                    setCurrentFrame(frame);
                }
            });
    connect(stream.get(), &CaptureStream::pointerLeftDisplay, this, [this, generation] {
        if (generation == m_generation) {
            Q_EMIT pointerLeftDisplay();
        }
    });
    // Queued: stopping the stream from within its own failure signal would
    // pull it down under the code that emitted it.
    connect(
        stream.get(), &CaptureStream::failed, this,
        [this, generation](const QString& description) {
            if (generation == m_generation) {
                handleStreamFailure(description);
            }
        },
        Qt::QueuedConnection);

    std::optional<CaptureError> error = co_await stream->start();
    if (!self || m_generation != generation) {
        // Stopped (or destroyed) while starting: the stop may have reached the
        // stream before its start did, so make sure it is not left running.
        if (!error) {
            co_await stream->stop();
        }
        co_return CaptureError{QStringLiteral("The capture was stopped before it started")};
    }
    if (error) {
        m_startFailed = true;
        disconnect(stream.get(), nullptr, this, nullptr);
        setCurrentFrame(QImage());
        co_return error;
    }
    setCapturing(true);
    co_return std::nullopt;
}

QCoro::Task<> ScreenCaptureService::stopCapture() {
    ++m_generation;
    m_regionUpdateTimer.stop();
    m_pendingRegionUpdate.reset();
    std::shared_ptr<CaptureStream> stream = std::exchange(m_stream, nullptr);
    if (stream) {
        // Frames still in flight must not refill currentFrame after the clear.
        disconnect(stream.get(), nullptr, this, nullptr);
    }
    m_startFailed = false;
    m_currentDisplay.reset();
    m_currentConfig.reset();
    setCapturing(false);
    setCurrentFrame(QImage());
    if (stream) {
        // Nothing of the service is touched after this point.
        co_await stream->stop();
    }
}

QCoro::Task<> ScreenCaptureService::updateCaptureRegion(const QRectF& rect) {
    m_pendingRegionUpdate = rect;
    // The first request of a burst opens the window; later ones only replace the rectangle.
    if (!m_regionUpdateTimer.isActive()) {
        m_regionUpdateTimer.start();
    }
    co_return;
}

void ScreenCaptureService::applyPendingRegionUpdate() {
    const std::optional<QRectF> rect = std::exchange(m_pendingRegionUpdate, std::nullopt);
    // A stream whose start failed never ran; reconfiguring it would do nothing.
    if (!rect || !m_stream || !m_currentDisplay || m_startFailed) {
        return;
    }
    CaptureConfiguration configuration = configurationFor(*rect);
    configuration.followsPointer = m_followsPointer;
    configuration.picture = m_pictureOptions;
    configuration.outputSize =
        geometry::boundedOutputSize(configuration.outputSize, m_maximumOutputSize);
    if (configuration.outputSize.isEmpty()) {
        return; // keep the previous rectangle
    }
    m_currentConfig = configuration;
    // Not awaited: the stream finishes its own reconfiguration, and one that
    // fails keeps its previous rectangle.
    fireAndForget(m_stream->updateConfiguration(configuration));
}

void ScreenCaptureService::setPictureOptions(const PictureOptions& options) {
    m_pictureOptions = options;
    if (!m_stream || !m_currentConfig || m_startFailed || m_currentConfig->picture == options) {
        return;
    }
    // Not through the rectangle's coalescing: that runs only when something
    // moves, and a pointer at rest would leave the old picture on screen. The
    // current rectangle goes along; a pending one still follows.
    m_currentConfig->picture = options;
    fireAndForget(m_stream->updateConfiguration(*m_currentConfig));
}

void ScreenCaptureService::pointerMoved() {
    if (m_stream && m_isCapturing) {
        m_stream->pointerMoved();
    }
}

bool ScreenCaptureService::followsPointerItself() const {
    return m_stream && m_isCapturing && m_currentConfig && m_currentConfig->followsPointer &&
           m_stream->followsPointerItself();
}

void ScreenCaptureService::setPresentationTarget(quintptr window, const QSize& size) {
    m_targetWindow = window;
    m_targetSize = size;
    if (m_stream) {
        m_stream->setPresentationTarget(window, size);
    }
}

void ScreenCaptureService::setPresentationOverlay(const QImage& overlay, const QPoint& position) {
    m_overlay = overlay;
    m_overlayPosition = position;
    if (m_stream) {
        m_stream->setPresentationOverlay(overlay, position);
    }
}

QCoro::Task<> ScreenCaptureService::stopDetached(std::shared_ptr<CaptureStream> stream) {
    co_await stream->stop();
}

void ScreenCaptureService::handleStreamFailure(const QString& description) {
    printLine(QStringLiteral("Capture stopped: ") + description);
    fireAndForget(stopCapture());
    Q_EMIT captureFailed();
}

void ScreenCaptureService::setCurrentFrame(const QImage& frame) {
    // The same image (shared data) is no change; comparing pixels would cost a frame's worth.
    if (frame.cacheKey() == m_currentFrame.cacheKey()) {
        return;
    }
    m_currentFrame = frame;
    Q_EMIT currentFrameChanged();
}

void ScreenCaptureService::setCapturing(bool capturing) {
    if (capturing == m_isCapturing) {
        return;
    }
    m_isCapturing = capturing;
    Q_EMIT isCapturingChanged(capturing);
}

} // namespace oculo
