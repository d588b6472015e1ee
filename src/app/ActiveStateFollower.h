#pragma once

#include <QObject>
#include <QPointer>

namespace oculo {

class MagnifierState;
class WindowRegistry;

// The active window's state for a view that shows it: follows the registry as
// windows come, go or take focus, and says `changed` whenever the windows or
// any shown value of the active state change, so the view redraws from one
// signal. A state destroyed before the registry says so reads as none.
class ActiveStateFollower : public QObject {
    Q_OBJECT

public:
    // `registry` must outlive the follower.
    explicit ActiveStateFollower(WindowRegistry& registry, QObject* parent = nullptr);

    MagnifierState* state() const;

Q_SIGNALS:
    void changed();

private:
    void follow();

    WindowRegistry& m_registry;
    QPointer<MagnifierState> m_state;
};

} // namespace oculo
