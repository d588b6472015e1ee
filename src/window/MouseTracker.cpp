#include "window/MouseTracker.h"

#include "platform/PointerSource.h"

#include <cmath>

namespace oculo {

MouseTracker::MouseTracker(PointerSource& pointer, QObject* parent)
    : QObject(parent)
    , m_pointer(pointer) {
    // A coarse timer may drift by several milliseconds per tick, which would
    // make the stop detection visibly late.
    m_sampleTimer.setTimerType(Qt::PreciseTimer);
    m_sampleTimer.setInterval(sampleIntervalMs);
    connect(&m_sampleTimer, &QTimer::timeout, this, &MouseTracker::pollMousePosition);
    // The pointer counts as having last moved when the tracker was made.
    m_sinceLastMove.start();
}

void MouseTracker::startTracking() {
    if (m_isTracking) {
        return;
    }
    m_previousLocation = m_pointer.position();
    setMouseLocation(m_previousLocation);
    m_sampleTimer.start();
    setTracking(true);
}

void MouseTracker::stopTracking() {
    m_sampleTimer.stop();
    setTracking(false);
}

void MouseTracker::pollMousePosition() {
    const QPointF location = m_pointer.position();
    const QPointF delta = location - m_previousLocation;
    const double distance = std::hypot(delta.x(), delta.y());
    setMouseLocation(location);

    if (distance < movementThreshold) {
        // Only counted movements move the reference point, so a slow drift
        // accumulates until it crosses the threshold.
        if (m_isMoving && m_sinceLastMove.elapsed() >= stoppedDelayMs) {
            setMoving(false);
        }
        return;
    }
    m_previousLocation = location;
    m_sinceLastMove.restart();
    setMoving(true);
}

void MouseTracker::setMouseLocation(QPointF location) {
    if (location == m_mouseLocation) {
        return;
    }
    m_mouseLocation = location;
    Q_EMIT mouseLocationChanged(location);
}

void MouseTracker::setMoving(bool moving) {
    if (moving == m_isMoving) {
        return;
    }
    m_isMoving = moving;
    Q_EMIT isMovingChanged(moving);
}

void MouseTracker::setTracking(bool tracking) {
    if (tracking == m_isTracking) {
        return;
    }
    m_isTracking = tracking;
    Q_EMIT isTrackingChanged(tracking);
}

} // namespace oculo
