#pragma once

#include <QObject>
#include <QPointF>
#include <QString>
#include <QTimer>

#include <chrono>
#include <functional>

namespace oculo {

class PointerSource;

// Samples the pointer every 30 ms and publishes its position and a debounced
// "is moving" flag. One tracker serves every magnifier window. Positions are
// in Qt's global logical space. Main thread only.
// With a source that reports motion (warps included), a resting pointer is
// not sampled at all until the source reports that it moved. While something
// else watches the moving pointer closely (a capture thread following it, see
// PointerSource::stillFor), samples are sparser, and the stop is still
// reported on time from when the watcher saw the pointer arrive.
class MouseTracker : public QObject {
    Q_OBJECT
    Q_PROPERTY(QPointF mouseLocation READ mouseLocation NOTIFY mouseLocationChanged FINAL)
    Q_PROPERTY(bool isMoving READ isMoving NOTIFY isMovingChanged FINAL)
    Q_PROPERTY(bool isTracking READ isTracking NOTIFY isTrackingChanged FINAL)
    Q_PROPERTY(QString followUnavailableReason READ followUnavailableReason WRITE
                   setFollowUnavailableReason NOTIFY followUnavailableReasonChanged FINAL)

public:
    static constexpr double movementThreshold = 1.0; // logical pixels
    static constexpr int stoppedDelayMs = 300;
    static constexpr int sampleIntervalMs = 30;
    static constexpr int watchedSampleIntervalMs = 100;
    // A pointer that a watcher saw arrive this recently is still moving.
    static constexpr int watchedMotionAgeMs = 50;

    // Monotonic time; tests hand in one they move themselves.
    using Clock = std::function<std::chrono::milliseconds()>;

    // `pointer` must outlive the tracker. Without a clock the steady clock is used.
    explicit MouseTracker(PointerSource& pointer, QObject* parent = nullptr, Clock clock = {});
    ~MouseTracker() override;

    QPointF mouseLocation() const { return m_mouseLocation; }
    bool isMoving() const { return m_isMoving; }
    bool isTracking() const { return m_isTracking; }

    // Set by a backend that cannot tell where the pointer is (a screen cast
    // that draws the cursor into the picture only): one sentence saying why
    // no window can follow it; empty while they can.
    QString followUnavailableReason() const { return m_followUnavailableReason; }
    void setFollowUnavailableReason(const QString& reason);

    void startTracking(); // does nothing while tracking
    void stopTracking();

    // One sample, as the timer takes it; public for news that cannot wait for
    // the next one (the pointer left a followed display) and for tests.
    void pollMousePosition();
    // False at rest, while the source watches the pointer instead.
    bool isSampling() const { return m_sampleTimer.isActive(); }
    std::chrono::milliseconds nextSampleDelay() const {
        return std::chrono::milliseconds(m_sampleTimer.interval());
    }

Q_SIGNALS:
    void mouseLocationChanged(QPointF location);
    void isMovingChanged(bool moving);
    void isTrackingChanged(bool tracking);
    void followUnavailableReasonChanged(const QString& reason);

private:
    void setResting(bool resting);
    void scheduleNextSample(std::chrono::milliseconds now, bool movingUnderWatch);
    void onPointerMoved();
    void setMouseLocation(QPointF location);
    void setMoving(bool moving);
    void setTracking(bool tracking);

    PointerSource& m_pointer;
    Clock m_clock;
    QTimer m_sampleTimer;
    std::chrono::milliseconds m_lastMoveTime{0};
    std::chrono::milliseconds m_lastSampleTime{0};
    QString m_followUnavailableReason;
    QPointF m_mouseLocation;
    QPointF m_previousLocation;
    bool m_isMoving = false;
    bool m_isTracking = false;
    bool m_isResting = false;
};

} // namespace oculo
