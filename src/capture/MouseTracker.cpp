#include "capture/MouseTracker.h"

#include "platform/PointerSource.h"

#include <algorithm>
#include <cmath>

namespace oculo {

MouseTracker::MouseTracker(PointerSource& pointer, QObject* parent, Clock clock)
    : QObject(parent)
    , m_pointer(pointer)
    , m_clock(clock ? std::move(clock) : [] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now().time_since_epoch());
    }) {
    // A coarse timer may drift by several milliseconds per tick, which would
    // make the stop detection visibly late.
    m_sampleTimer.setTimerType(Qt::PreciseTimer);
    m_sampleTimer.setSingleShot(true);
    m_sampleTimer.setInterval(sampleIntervalMs);
    connect(&m_sampleTimer, &QTimer::timeout, this, &MouseTracker::pollMousePosition);
    // The source reports on this (the GUI) thread, from its event loop: the
    // report is handled at once, as a sample would be.
    connect(&m_pointer, &PointerSource::pointerMoved, this, &MouseTracker::onPointerMoved,
            Qt::DirectConnection);
    // The pointer counts as having last moved when the tracker was made.
    m_lastMoveTime = m_clock();
    m_lastSampleTime = m_lastMoveTime;
}

MouseTracker::~MouseTracker() {
    if (m_isResting) {
        m_pointer.setMotionWatched(false);
    }
}

void MouseTracker::setFollowUnavailableReason(const QString& reason) {
    if (reason == m_followUnavailableReason) {
        return;
    }
    m_followUnavailableReason = reason;
    Q_EMIT followUnavailableReasonChanged(reason);
}

void MouseTracker::startTracking() {
    if (m_isTracking) {
        return;
    }
    m_previousLocation = m_pointer.position();
    m_lastSampleTime = m_clock();
    setMouseLocation(m_previousLocation);
    m_sampleTimer.start(sampleIntervalMs);
    setTracking(true);
}

void MouseTracker::stopTracking() {
    setResting(false);
    m_sampleTimer.stop();
    setTracking(false);
}

void MouseTracker::pollMousePosition() {
    using std::chrono::milliseconds;
    const milliseconds now = m_clock();
    const QPointF location = m_pointer.position();
    const std::optional<milliseconds> stillFor = m_pointer.stillFor();
    const QPointF delta = location - m_previousLocation;
    const double distance = std::hypot(delta.x(), delta.y());
    const milliseconds sinceLastSample = now - m_lastSampleTime;
    m_lastSampleTime = now;
    setMouseLocation(location);

    if (distance < movementThreshold) {
        // Only counted movements move the reference point, so a slow drift
        // accumulates until it crosses the threshold.
        if (m_isMoving && now - m_lastMoveTime >= milliseconds(stoppedDelayMs)) {
            setMoving(false);
        }
        // Only once the stop was reported, so it is never reported late.
        setResting(m_isTracking && !m_isMoving && m_pointer.notifiesMotion());
    } else {
        m_previousLocation = location;
        // A watcher saw when it got there; the previous sample saw it elsewhere.
        m_lastMoveTime =
            now - std::clamp(stillFor.value_or(milliseconds(0)), milliseconds(0), sinceLastSample);
        setResting(false);
        setMoving(true);
    }
    scheduleNextSample(now, stillFor && *stillFor <= milliseconds(watchedMotionAgeMs));
}

void MouseTracker::scheduleNextSample(std::chrono::milliseconds now, bool movingUnderWatch) {
    if (!m_isTracking || m_isResting) {
        return;
    }
    // Each sample wakes the whole GUI thread; while a capture thread sees the
    // pointer arrive somewhere new every frame, fewer samples lose nothing but
    // the stop time, which is aimed at directly. Once it stops there, samples
    // are frequent again: a warp sends no motion that anyone would see.
    std::chrono::milliseconds delay(sampleIntervalMs);
    if (m_isMoving) {
        if (movingUnderWatch) {
            delay = std::chrono::milliseconds(watchedSampleIntervalMs);
        }
        const auto untilStop = m_lastMoveTime + std::chrono::milliseconds(stoppedDelayMs) - now;
        delay = std::clamp(untilStop, std::chrono::milliseconds(1), delay);
    }
    m_sampleTimer.start(static_cast<int>(delay.count()));
}

void MouseTracker::setResting(bool resting) {
    if (resting == m_isResting) {
        return;
    }
    m_isResting = resting;
    // The source is listened to only at rest, and then instead of sampling:
    // while the pointer moves the samples see everything, and motion reports
    // would only add wake-ups.
    if (resting) {
        m_pointer.setMotionWatched(true);
        m_sampleTimer.stop();
    } else {
        m_pointer.setMotionWatched(false);
        if (m_isTracking && !m_sampleTimer.isActive()) {
            m_sampleTimer.start(sampleIntervalMs);
        }
    }
}

void MouseTracker::onPointerMoved() {
    if (!m_isResting) {
        return;
    }
    setResting(false);
    pollMousePosition();
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
