#pragma once

#include "platform/CaptureBackend.h"

#include <QByteArray>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace oculo {

namespace x11 {
class X11CaptureSession;
}

// A capture stream of one X11 display. start(), stop() and
// updateConfiguration() are called on the GUI thread; frames are grabbed on a
// capture thread with its own X connection and handed back through queued
// calls, at most `queueDepth` at a time: further frames wait on the capture
// thread (the screen is grabbed again once the GUI thread catches up).
class X11CaptureStream final : public CaptureStream {
    Q_OBJECT

public:
    X11CaptureStream(QByteArray displayName, DisplayInfo display,
                     CaptureConfiguration configuration, QObject* parent = nullptr);
    ~X11CaptureStream() override;

    QCoro::Task<std::optional<CaptureError>> start() override;
    QCoro::Task<> stop() override;
    QCoro::Task<> updateConfiguration(const CaptureConfiguration& configuration) override;
    void pointerMoved() override;
    // The capture thread looks at the pointer before each frame anyway.
    bool followsPointerItself() const override { return true; }
    void setPresentationTarget(quintptr window, const QSize& size) override;
    void setPresentationOverlay(const QImage& overlay, const QPoint& position) override;

    std::optional<CaptureError> startNow();
    void stopNow();
    bool isRunning() const { return m_running; }

private:
    class Sink;

    void finishThread();

    QByteArray m_displayName;
    DisplayInfo m_display;
    CaptureConfiguration m_configuration;
    quintptr m_targetWindow = 0;
    QSize m_targetSize;
    QImage m_overlay;
    QPoint m_overlayPosition;
    std::unique_ptr<x11::X11CaptureSession> m_session;
    std::unique_ptr<Sink> m_sink;
    std::thread m_thread;

    std::mutex m_threadMutex;
    std::condition_variable m_threadEnded;
    bool m_threadRunning = false;

    // GUI thread only.
    bool m_running = false;
    bool m_failureReported = false;
    quint64 m_generation = 0; // frames of an earlier run are dropped
};

} // namespace oculo
