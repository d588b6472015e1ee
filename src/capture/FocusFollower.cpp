#include "capture/FocusFollower.h"

#include "capture/MouseTracker.h"

namespace oculo {

FocusFollower::FocusFollower(FocusSource* source, MouseTracker& tracker, QObject* parent,
                             Clock clock)
    : QObject(parent)
    , m_source(source)
    , m_clock(clock ? std::move(clock) : [] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now().time_since_epoch());
    }) {
    m_lastPointerMove = m_clock();
    // Made before the windows, so this runs before their own reactions to the
    // pointer and they already see the pointer leading.
    connect(&tracker, &MouseTracker::mouseLocationChanged, this, &FocusFollower::onPointerMoved);
    if (m_source != nullptr) {
        connect(m_source, &FocusSource::focusMoved, this, &FocusFollower::onFocusMoved);
    }
}

FocusFollower::~FocusFollower() {
    if (m_source != nullptr && isWatching()) {
        m_source->setWatched(false);
    }
}

void FocusFollower::setWanted(const QObject* wanter, bool wanted) {
    const bool watching = isWatching();
    if (wanted) {
        m_wanters.insert(wanter);
    } else {
        m_wanters.remove(wanter);
    }
    if (watching == isWatching()) {
        return;
    }
    if (m_source != nullptr) {
        m_source->setWatched(isWatching());
    }
    if (!isWatching() && m_location) {
        m_location.reset();
        Q_EMIT focusLocationChanged();
    }
}

void FocusFollower::onFocusMoved(QRectF rect) {
    if (!isWatching() || m_clock() - m_lastPointerMove < pointerRest) {
        return;
    }
    const QPointF centre = rect.center();
    if (m_location == centre) {
        return;
    }
    m_location = centre;
    Q_EMIT focusLocationChanged();
}

void FocusFollower::onPointerMoved() {
    m_lastPointerMove = m_clock();
    if (m_location) {
        m_location.reset();
        Q_EMIT focusLocationChanged();
    }
}

} // namespace oculo
