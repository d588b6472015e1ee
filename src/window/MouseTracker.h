#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QPointF>
#include <QTimer>

namespace oculo {

class PointerSource;

// Samples the pointer every 30 ms and publishes its position and a debounced
// "is moving" flag. One tracker serves every magnifier window. Positions are
// in Qt's global logical space. Main thread only.
// With a source that reports motion, a resting pointer is sampled only every
// half second (which still catches warps) until the source reports motion.
class MouseTracker : public QObject {
    Q_OBJECT
    Q_PROPERTY(QPointF mouseLocation READ mouseLocation NOTIFY mouseLocationChanged FINAL)
    Q_PROPERTY(bool isMoving READ isMoving NOTIFY isMovingChanged FINAL)
    Q_PROPERTY(bool isTracking READ isTracking NOTIFY isTrackingChanged FINAL)

public:
    static constexpr double movementThreshold = 1.0; // logical pixels
    static constexpr int stoppedDelayMs = 300;
    static constexpr int sampleIntervalMs = 30;
    static constexpr int restingIntervalMs = 500;

    // `pointer` must outlive the tracker.
    explicit MouseTracker(PointerSource& pointer, QObject* parent = nullptr);
    ~MouseTracker() override;

    QPointF mouseLocation() const { return m_mouseLocation; }
    bool isMoving() const { return m_isMoving; }
    bool isTracking() const { return m_isTracking; }

    void startTracking(); // does nothing while tracking
    void stopTracking();

    // One sample, as the timer takes it; public so tests can drive time themselves.
    void pollMousePosition();

Q_SIGNALS:
    void mouseLocationChanged(QPointF location);
    void isMovingChanged(bool moving);
    void isTrackingChanged(bool tracking);

private:
    void setResting(bool resting);
    void onPointerMoved();
    void setMouseLocation(QPointF location);
    void setMoving(bool moving);
    void setTracking(bool tracking);

    PointerSource& m_pointer;
    QTimer m_sampleTimer;
    QElapsedTimer m_sinceLastMove;
    QPointF m_mouseLocation;
    QPointF m_previousLocation;
    bool m_isMoving = false;
    bool m_isTracking = false;
    bool m_isResting = false;
};

} // namespace oculo
