#pragma once

#include "platform/CaptureBackend.h"

#include <QColor>
#include <QList>
#include <QPointer>
#include <qcoro/qcorotimer.h>

#include <chrono>
#include <memory>
#include <optional>

namespace oculo::test {

// One thing that happened to a fake stream, in the order it happened.
struct CaptureEvent {
    enum class Type {
        Created,      // backend made the stream (with `display` and `configuration`)
        Started,      // start() succeeded
        StartFailed,  // start() reported an error
        Reconfigured, // updateConfiguration() was called with `configuration`
        Stopped,      // stop() completed
        Destroyed,    // the stream object was deleted
    };
    Type type = Type::Created;
    int stream = 0; // 1-based creation number
    DisplayInfo display;
    CaptureConfiguration configuration;
};

// Shared by the backend and its streams, so a stream that outlives its backend
// still records safely.
struct FakeCaptureLog {
    QList<CaptureEvent> events;
    int created = 0;
    int live = 0;
    int running = 0;
    int destroyedWhileRunning = 0;
    std::optional<CaptureError> startError;
    std::chrono::milliseconds startDelay{0};
    std::chrono::milliseconds stopDelay{0};
    std::chrono::milliseconds updateDelay{0};
};

// A stream that produces frames only when the test emits them. emitFrame()
// works in every state, so frames that arrive after a stop can be simulated.
class FakeCaptureStream final : public CaptureStream {
    Q_OBJECT

public:
    FakeCaptureStream(std::shared_ptr<FakeCaptureLog> log, const DisplayInfo& display,
                      const CaptureConfiguration& configuration)
        : m_log(std::move(log))
        , m_number(++m_log->created)
        , m_display(display)
        , m_configuration(configuration)
        , m_startError(m_log->startError) {
        ++m_log->live;
        record(CaptureEvent::Type::Created);
    }

    ~FakeCaptureStream() override {
        if (m_running) {
            --m_log->running;
            ++m_log->destroyedWhileRunning;
        }
        --m_log->live;
        record(CaptureEvent::Type::Destroyed);
    }

    QCoro::Task<std::optional<CaptureError>> start() override {
        ++m_startCalls;
        // The stream may be deleted while suspended; touch nothing of it then.
        QPointer<FakeCaptureStream> self(this);
        const auto log = m_log;
        if (log->startDelay.count() > 0) {
            co_await QCoro::sleepFor(log->startDelay);
        }
        if (!self) {
            co_return CaptureError{QStringLiteral("stream deleted while starting")};
        }
        if (m_startError) {
            record(CaptureEvent::Type::StartFailed);
            // A copy: QCoro's co_return moves from a non-const lvalue.
            co_return std::optional<CaptureError>(m_startError);
        }
        if (!m_running) {
            m_running = true;
            ++m_log->running;
        }
        record(CaptureEvent::Type::Started);
        co_return std::nullopt;
    }

    QCoro::Task<> stop() override {
        ++m_stopCalls;
        QPointer<FakeCaptureStream> self(this);
        const auto log = m_log;
        if (log->stopDelay.count() > 0) {
            co_await QCoro::sleepFor(log->stopDelay);
        }
        if (!self) {
            co_return;
        }
        if (m_running) {
            m_running = false;
            --m_log->running;
        }
        record(CaptureEvent::Type::Stopped);
    }

    QCoro::Task<> updateConfiguration(const CaptureConfiguration& configuration) override {
        m_configuration = configuration;
        record(CaptureEvent::Type::Reconfigured);
        const auto log = m_log;
        if (log->updateDelay.count() > 0) {
            co_await QCoro::sleepFor(log->updateDelay);
        }
    }

    // Delivers a frame as the capture thread would, on the GUI thread.
    void emitFrame(const QImage& frame) { Q_EMIT frameCaptured(frame); }
    // A frame of the configured output size filled with `color`.
    void emitFrame(QColor color = Qt::red) {
        QImage frame(m_configuration.outputSize.isEmpty() ? QSize(2, 2)
                                                          : m_configuration.outputSize,
                     QImage::Format_ARGB32);
        frame.fill(color);
        emitFrame(frame);
    }
    // The stream ends on its own, as after an X error.
    void emitFailure(const QString& description) { Q_EMIT failed(description); }

    int number() const { return m_number; }
    const DisplayInfo& display() const { return m_display; }
    const CaptureConfiguration& configuration() const { return m_configuration; }
    bool isRunning() const { return m_running; }
    int startCalls() const { return m_startCalls; }
    int stopCalls() const { return m_stopCalls; }

private:
    void record(CaptureEvent::Type type) {
        m_log->events.append({type, m_number, m_display, m_configuration});
    }

    std::shared_ptr<FakeCaptureLog> m_log;
    int m_number;
    DisplayInfo m_display;
    CaptureConfiguration m_configuration;
    std::optional<CaptureError> m_startError;
    bool m_running = false;
    int m_startCalls = 0;
    int m_stopCalls = 0;
};

// Makes fake streams and keeps the log of everything done to them.
class FakeCaptureBackend final : public CaptureBackend {
public:
    std::unique_ptr<CaptureStream>
    createStream(const DisplayInfo& display, const CaptureConfiguration& configuration) override {
        auto stream = std::make_unique<FakeCaptureStream>(m_log, display, configuration);
        m_streams.append(stream.get());
        return stream;
    }

    // Streams created from now on fail to start with `description` (or, with
    // nullopt, start normally).
    void setStartError(const std::optional<QString>& description) {
        m_log->startError =
            description ? std::optional<CaptureError>(CaptureError{*description}) : std::nullopt;
    }
    // Make the stream operations suspend for a while, as a real server round trip does.
    void setStartDelay(std::chrono::milliseconds delay) { m_log->startDelay = delay; }
    void setStopDelay(std::chrono::milliseconds delay) { m_log->stopDelay = delay; }
    void setUpdateDelay(std::chrono::milliseconds delay) { m_log->updateDelay = delay; }

    const QList<CaptureEvent>& events() const { return m_log->events; }
    QList<CaptureEvent> events(CaptureEvent::Type type) const {
        QList<CaptureEvent> matching;
        for (const auto& event : m_log->events) {
            if (event.type == type) {
                matching.append(event);
            }
        }
        return matching;
    }
    QList<CaptureEvent::Type> eventTypes() const {
        QList<CaptureEvent::Type> types;
        for (const auto& event : m_log->events) {
            types.append(event.type);
        }
        return types;
    }
    void clearEvents() { m_log->events.clear(); }

    int createdCount() const { return m_log->created; }
    int liveStreamCount() const { return m_log->live; }
    int runningStreamCount() const { return m_log->running; }
    // Streams deleted without being stopped first: always a fault of the owner.
    int destroyedWhileRunningCount() const { return m_log->destroyedWhileRunning; }

    // Null once the owner has deleted it.
    FakeCaptureStream* stream(int number) const {
        return number >= 1 && number <= m_streams.size() ? m_streams[number - 1].data() : nullptr;
    }
    FakeCaptureStream* lastStream() const {
        return m_streams.isEmpty() ? nullptr : m_streams.last().data();
    }

private:
    std::shared_ptr<FakeCaptureLog> m_log = std::make_shared<FakeCaptureLog>();
    QList<QPointer<FakeCaptureStream>> m_streams;
};

} // namespace oculo::test
