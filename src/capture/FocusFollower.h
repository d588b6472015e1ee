#pragma once

#include "platform/FocusSource.h"

#include <QObject>
#include <QPointF>
#include <QSet>

#include <chrono>
#include <functional>
#include <optional>

namespace oculo {

class MouseTracker;

// Decides whether the pointer or the keyboard leads the follow-mouse windows.
// A pointer that moves takes over at once; the caret or the focused control
// takes over only from a pointer that has rested for a while, so a user moving
// the mouse is never pulled away. One follower serves every window; the source
// is listened to only while some window wants it. Main thread only.
class FocusFollower : public QObject {
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds pointerRest{1000};

    using Clock = std::function<std::chrono::milliseconds()>;

    // `source` may be null (no way to learn the focus); it and `tracker` must
    // outlive the follower. Without a clock the steady clock is used.
    FocusFollower(FocusSource* source, MouseTracker& tracker, QObject* parent = nullptr,
                  Clock clock = {});
    ~FocusFollower() override;

    // The centre of the caret or focused control while it leads, none while
    // the pointer does.
    std::optional<QPointF> focusLocation() const { return m_location; }
    // The source is watched while at least one wanter wants it.
    void setWanted(const QObject* wanter, bool wanted);
    bool isWatching() const { return !m_wanters.isEmpty(); }

Q_SIGNALS:
    void focusLocationChanged();

private:
    void onFocusMoved(QRectF rect);
    void onPointerMoved();

    FocusSource* m_source;
    Clock m_clock;
    std::chrono::milliseconds m_lastPointerMove{0};
    std::optional<QPointF> m_location;
    QSet<const QObject*> m_wanters;
};

} // namespace oculo
