#include "platform/x11/X11CaptureStream.h"

#include "platform/x11/X11CaptureSession.h"

#include <QMetaObject>
#include <QPointer>

#include <algorithm>
#include <chrono>
#include <pthread.h>

namespace oculo {
namespace {

// How long stop() waits for the capture thread before it breaks the X
// connection under it (a server that stopped answering would block forever).
constexpr std::chrono::milliseconds orderlyStopTimeout{500};

} // namespace

// Runs on the capture thread; reaches the stream only through queued calls,
// which Qt drops if the stream is gone by then.
class X11CaptureStream::Sink final : public x11::CaptureSink {
public:
    Sink(X11CaptureStream* stream, quint64 generation, int queueDepth)
        : m_stream(stream)
        , m_generation(generation)
        , m_queueDepth(std::max(1, queueDepth)) {}

    bool hasRoomForFrame() const override { return m_inFlight.load() < m_queueDepth.load(); }
    void setQueueDepth(int depth) { m_queueDepth.store(std::max(1, depth)); }

    void deliverFrame(const QImage& frame) override {
        m_inFlight.fetch_add(1);
        QMetaObject::invokeMethod(
            m_stream,
            [stream = m_stream, sink = this, generation = m_generation, frame] {
                // The sink lives as long as the stream's current run; a frame of
                // an older run finds another generation and only ends.
                if (generation != stream->m_generation) {
                    return;
                }
                sink->m_inFlight.fetch_sub(1);
                if (stream->m_running) {
                    Q_EMIT stream->frameCaptured(frame);
                }
            },
            Qt::QueuedConnection);
    }

    void reportFailure(const QString& description) override {
        QMetaObject::invokeMethod(
            m_stream,
            [stream = m_stream, generation = m_generation, description] {
                if (generation != stream->m_generation || !stream->m_running ||
                    stream->m_failureReported) {
                    return;
                }
                stream->m_failureReported = true;
                stream->m_running = false;
                Q_EMIT stream->failed(description);
            },
            Qt::QueuedConnection);
    }

    void reportPointerLeftDisplay() override {
        QMetaObject::invokeMethod(
            m_stream,
            [stream = m_stream, generation = m_generation] {
                if (generation == stream->m_generation && stream->m_running) {
                    Q_EMIT stream->pointerLeftDisplay();
                }
            },
            Qt::QueuedConnection);
    }

private:
    X11CaptureStream* m_stream;
    quint64 m_generation;
    std::atomic<int> m_queueDepth;
    std::atomic<int> m_inFlight{0};
};

X11CaptureStream::X11CaptureStream(QByteArray displayName, DisplayInfo display,
                                   CaptureConfiguration configuration, QObject* parent)
    : CaptureStream(parent)
    , m_displayName(std::move(displayName))
    , m_display(std::move(display))
    , m_configuration(std::move(configuration)) {}

X11CaptureStream::~X11CaptureStream() {
    stopNow();
}

QCoro::Task<std::optional<CaptureError>> X11CaptureStream::start() {
    co_return startNow();
}

QCoro::Task<> X11CaptureStream::stop() {
    stopNow();
    co_return;
}

QCoro::Task<> X11CaptureStream::updateConfiguration(const CaptureConfiguration& configuration) {
    m_configuration = configuration;
    if (m_session) {
        m_sink->setQueueDepth(configuration.queueDepth);
        m_session->requestConfiguration(configuration);
    }
    co_return;
}

void X11CaptureStream::pointerMoved() {
    if (m_session && m_running && m_configuration.showsCursor) {
        m_session->requestPointerCheck();
    }
}

void X11CaptureStream::setPresentationTarget(quintptr window, const QSize& size) {
    m_targetWindow = window;
    m_targetSize = size;
    if (m_session) {
        m_session->requestTarget(static_cast<quint32>(window), size);
    }
}

void X11CaptureStream::setPresentationOverlay(const QImage& overlay, const QPoint& position) {
    m_overlay = overlay;
    m_overlayPosition = position;
    if (m_session) {
        m_session->requestOverlay(overlay, position);
    }
}

std::optional<CaptureError> X11CaptureStream::startNow() {
    if (m_running) {
        return std::nullopt;
    }
    stopNow(); // a stream that failed on its own still has a thread to join
    QString error;
    m_session =
        x11::X11CaptureSession::open({m_displayName, true}, m_display, m_configuration, &error);
    if (!m_session) {
        return CaptureError{error};
    }
    if (!m_overlay.isNull()) {
        m_session->requestOverlay(m_overlay, m_overlayPosition);
    }
    if (m_targetWindow != 0) {
        m_session->requestTarget(static_cast<quint32>(m_targetWindow), m_targetSize);
    }
    ++m_generation;
    m_sink = std::make_unique<Sink>(this, m_generation, m_configuration.queueDepth);
    m_running = true;
    m_failureReported = false;
    {
        const std::lock_guard lock(m_threadMutex);
        m_threadRunning = true;
    }
    m_thread = std::thread([this, session = m_session.get(), sink = m_sink.get()] {
        pthread_setname_np(pthread_self(), "oculo-capture");
        session->run(*sink);
        const std::lock_guard lock(m_threadMutex);
        m_threadRunning = false;
        m_threadEnded.notify_all();
    });
    return std::nullopt;
}

void X11CaptureStream::stopNow() {
    m_running = false;
    if (m_thread.joinable()) {
        finishThread();
    }
    m_session.reset();
    m_sink.reset();
    // Frames still queued for the GUI thread belong to the old generation.
    ++m_generation;
}

void X11CaptureStream::finishThread() {
    m_session->requestStop();
    std::unique_lock lock(m_threadMutex);
    if (!m_threadEnded.wait_for(lock, orderlyStopTimeout, [this] { return !m_threadRunning; })) {
        m_session->abortConnection();
    }
    lock.unlock();
    m_thread.join();
}

} // namespace oculo
