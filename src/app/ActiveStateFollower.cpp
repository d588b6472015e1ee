#include "app/ActiveStateFollower.h"

#include "app/WindowRegistry.h"
#include "state/MagnifierState.h"

namespace oculo {

ActiveStateFollower::ActiveStateFollower(WindowRegistry& registry, QObject* parent)
    : QObject(parent)
    , m_registry(registry) {
    connect(&m_registry, &WindowRegistry::windowsChanged, this, &ActiveStateFollower::follow);
    follow();
}

MagnifierState* ActiveStateFollower::state() const {
    return m_state.data();
}

void ActiveStateFollower::follow() {
    MagnifierState* active = m_registry.activeState();
    if (active != m_state) {
        if (m_state) {
            disconnect(m_state, nullptr, this, nullptr);
        }
        m_state = active;
        if (active) {
            connect(active, &MagnifierState::modeChanged, this, &ActiveStateFollower::changed);
            connect(active, &MagnifierState::fixedRegionChanged, this,
                    &ActiveStateFollower::changed);
            connect(active, &MagnifierState::zoomLevelChanged, this, &ActiveStateFollower::changed);
            connect(active, &MagnifierState::windowTransparencyChanged, this,
                    &ActiveStateFollower::changed);
            connect(active, &MagnifierState::keepWindowActiveChanged, this,
                    &ActiveStateFollower::changed);
            connect(active, &MagnifierState::stayInCurrentSpaceChanged, this,
                    &ActiveStateFollower::changed);
            connect(active, &MagnifierState::colorFilterChanged, this,
                    &ActiveStateFollower::changed);
            connect(active, &MagnifierState::smoothingChanged, this, &ActiveStateFollower::changed);
            connect(active, &MagnifierState::crosshairChanged, this, &ActiveStateFollower::changed);
            connect(active, &MagnifierState::followUnavailableReasonChanged, this,
                    &ActiveStateFollower::changed);
            connect(active, &MagnifierState::followFocusChanged, this,
                    &ActiveStateFollower::changed);
            connect(active, &QObject::destroyed, this, &ActiveStateFollower::changed);
        }
    }
    Q_EMIT changed();
}

} // namespace oculo
