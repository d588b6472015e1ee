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
    enum class Type { Created, Started, StartFailed, Reconfigured, Stopped, Destroyed };
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
    int pointerMoves = 0;
    std::optional<CaptureError> startError;
    std::chrono::milliseconds startDelay{0};
    std::chrono::milliseconds stopDelay{0};
};

// A stream that produces frames only when the test emits them, in any state,
// so frames that arrive after a stop can be simulated. Its start and stop may
// be made to suspend for a while, as a real server round trip does.
class FakeCaptureStream final : public CaptureStream {
    Q_OBJECT

public:
    FakeCaptureStream(std::shared_ptr<FakeCaptureLog> log, const DisplayInfo& display,
                      const CaptureConfiguration& configuration)
        : m_log(std::move(log))
        , m_number(++m_log->created)
        , m_display(display)
        , m_configuration(configuration) {
        ++m_log->live;
        record(CaptureEvent::Type::Created);
    }

    ~FakeCaptureStream() override {
        m_log->destroyedWhileRunning += m_running ? 1 : 0;
        setRunning(false);
        --m_log->live;
        record(CaptureEvent::Type::Destroyed);
    }

    QCoro::Task<std::optional<CaptureError>> start() override {
        // The stream may be deleted while suspended; touch nothing of it then.
        QPointer<FakeCaptureStream> self(this);
        const std::optional<CaptureError> error = m_log->startError;
        if (m_log->startDelay.count() > 0) {
            co_await QCoro::sleepFor(m_log->startDelay);
        }
        if (!self) {
            co_return CaptureError{QStringLiteral("stream deleted while starting")};
        }
        record(error ? CaptureEvent::Type::StartFailed : CaptureEvent::Type::Started);
        setRunning(!error);
        co_return error;
    }

    QCoro::Task<> stop() override {
        QPointer<FakeCaptureStream> self(this);
        if (m_log->stopDelay.count() > 0) {
            co_await QCoro::sleepFor(m_log->stopDelay);
        }
        if (self) {
            setRunning(false);
            record(CaptureEvent::Type::Stopped);
        }
    }

    QCoro::Task<> updateConfiguration(const CaptureConfiguration& configuration) override {
        m_configuration = configuration;
        record(CaptureEvent::Type::Reconfigured);
        co_return;
    }

    void pointerMoved() override { ++m_log->pointerMoves; }

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

    const DisplayInfo& display() const { return m_display; }
    const CaptureConfiguration& configuration() const { return m_configuration; }

private:
    void record(CaptureEvent::Type type) {
        m_log->events.append({type, m_number, m_display, m_configuration});
    }
    void setRunning(bool running) {
        m_log->running += int(running) - int(m_running);
        m_running = running;
    }

    std::shared_ptr<FakeCaptureLog> m_log;
    int m_number;
    DisplayInfo m_display;
    CaptureConfiguration m_configuration;
    bool m_running = false;
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

    QImage lastDisplayFrame(const DisplayInfo&) override { return displayFrame; }
    QImage displayFrame; // what lastDisplayFrame() answers for every display

    // Streams created from now on fail to start with `description`, or start with nullopt.
    void setStartError(const std::optional<QString>& description) {
        m_log->startError =
            description ? std::optional<CaptureError>(CaptureError{*description}) : std::nullopt;
    }
    void setStartDelay(std::chrono::milliseconds delay) { m_log->startDelay = delay; }
    void setStopDelay(std::chrono::milliseconds delay) { m_log->stopDelay = delay; }

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
    int pointerMoveCount() const { return m_log->pointerMoves; }
    int liveStreamCount() const { return m_log->live; }
    int runningStreamCount() const { return m_log->running; }
    // Streams deleted without being stopped first: always a fault of the owner.
    int destroyedWhileRunningCount() const { return m_log->destroyedWhileRunning; }
    // Null once the owner has deleted it.
    FakeCaptureStream* lastStream() const {
        return m_streams.isEmpty() ? nullptr : m_streams.last().data();
    }

private:
    std::shared_ptr<FakeCaptureLog> m_log = std::make_shared<FakeCaptureLog>();
    QList<QPointer<FakeCaptureStream>> m_streams;
};

} // namespace oculo::test
