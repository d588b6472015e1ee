#include "region/RegionOverlayFlags.h"

#include "common/Reaction.h"
#include "state/MagnifierState.h"

#include <QTimer>

#include <algorithm>
#include <utility>

namespace oculo {

RegionOverlayFlags::RegionOverlayFlags(QObject* parent)
    : QObject(parent)
    , m_reaction(new Reaction(this, [this]() -> QCoro::Task<> {
        followFlags();
        co_return;
    })) {}

void RegionOverlayFlags::watch(MagnifierState& state) {
    m_watched.append({&state});
    m_reaction->on(&state, &MagnifierState::isSelectingRegionChanged)
        .on(&state, &MagnifierState::isAdjustingRegionChanged)
        .on(&state, &QObject::destroyed);
}

void RegionOverlayFlags::start() {
    m_following = true;
    m_reaction->notifyChange();
}

void RegionOverlayFlags::stop() {
    m_following = false;
    hide(RegionOverlayKind::selection);
    hide(RegionOverlayKind::adjustment);
}

void RegionOverlayFlags::followFlags() {
    if (!m_following) {
        return;
    }
    m_watched.removeIf([](const Watched& watched) { return watched.state.isNull(); });
    // By index: a handler of a signal below may watch one more state.
    for (qsizetype i = 0; i < m_watched.size(); ++i) {
        const QPointer<MagnifierState> state = m_watched[i].state;
        if (state.isNull()) {
            continue;
        }
        const bool selecting = state->isSelectingRegion();
        const bool adjusting = state->isAdjustingRegion();
        // What was read is what counts as seen, even where showing lowers the
        // flag again: that fall comes with the next run.
        const bool wasSelecting = std::exchange(m_watched[i].selecting, selecting);
        const bool wasAdjusting = std::exchange(m_watched[i].adjusting, adjusting);
        if (selecting && !wasSelecting) {
            show(RegionOverlayKind::selection, *state);
        } else if (!selecting && wasSelecting) {
            hide(RegionOverlayKind::selection);
        }
        if (state && adjusting && !wasAdjusting) {
            show(RegionOverlayKind::adjustment, *state);
        } else if (!adjusting && wasAdjusting) {
            hide(RegionOverlayKind::adjustment);
        }
    }
    for (const RegionOverlayKind kind :
         {RegionOverlayKind::selection, RegionOverlayKind::adjustment}) {
        const QList<QPointer<MagnifierState>>& states = m_open[slot(kind)];
        if (!states.isEmpty() &&
            std::ranges::all_of(states, [](const auto& gone) { return gone.isNull(); })) {
            hide(kind);
        }
    }
}

void RegionOverlayFlags::show(RegionOverlayKind kind, MagnifierState& state) {
    if (kind == RegionOverlayKind::adjustment && !state.fixedRegion()) {
        // Nothing to adjust; the flag's fall closes what never opened.
        state.setIsAdjustingRegion(false);
        return;
    }
    m_activeState = &state;
    const QPointer<MagnifierState> target(&state);
    m_openingDelay = {};
    Q_EMIT opening();
    const std::chrono::milliseconds settle = std::exchange(m_openingDelay, {});
    if (settle <= std::chrono::milliseconds::zero()) {
        open(kind, target);
        return;
    }
    const int generation = m_generations[slot(kind)];
    ++m_pendingOpens;
    QTimer::singleShot(settle, this, [this, kind, target, generation] {
        --m_pendingOpens;
        if (generation == m_generations[slot(kind)] && target) {
            open(kind, target);
        } else {
            finishIfDone();
        }
    });
}

void RegionOverlayFlags::open(RegionOverlayKind kind, const QPointer<MagnifierState>& state) {
    if (state.isNull()) {
        return;
    }
    m_open[slot(kind)].append(state);
    Q_EMIT openRequested(kind, state.data());
}

void RegionOverlayFlags::hide(RegionOverlayKind kind) {
    ++m_generations[slot(kind)];
    m_open[slot(kind)].clear();
    Q_EMIT closeRequested(kind);
    finishIfDone();
}

void RegionOverlayFlags::delayOpening(std::chrono::milliseconds settle) {
    m_openingDelay = std::max(m_openingDelay, settle);
}

MagnifierState* RegionOverlayFlags::activeState() const {
    return m_activeState.data();
}

void RegionOverlayFlags::finishIfDone() {
    const bool open =
        std::ranges::any_of(m_open, [](const auto& states) { return !states.isEmpty(); });
    if (open || m_pendingOpens > 0) {
        return;
    }
    Q_EMIT finished();
    m_activeState = nullptr;
}

} // namespace oculo
