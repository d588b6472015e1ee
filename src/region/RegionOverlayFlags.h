#pragma once

#include <QList>
#include <QObject>
#include <QPointer>

#include <array>
#include <chrono>

namespace oculo {

class MagnifierState;
class Reaction;

enum class RegionOverlayKind { selection, adjustment };

// When the region overlays open and close, without the overlays themselves.
// A menu row or control raises a magnifier state's isSelectingRegion or
// isAdjustingRegion; the rise asks for overlays of that kind for that state,
// the fall of the flag closes every overlay of the kind, and once none is open
// or waiting to open, what was hidden for them may come back.
//
// The flags are read once the event that changed them has been handled, as a
// Reaction does: a flag raised and lowered within one event opens nothing,
// and no overlay opens from inside the click that asked for it.
class RegionOverlayFlags final : public QObject {
    Q_OBJECT

public:
    explicit RegionOverlayFlags(QObject* parent = nullptr);

    // Follows the two flags of `state`, which may go at any time; every
    // window's state must be watched.
    void watch(MagnifierState& state);
    // Follows the flags from now on, starting with those already raised.
    void start();
    // Follows them no more and closes every overlay; for quitting.
    void stop();

    // What a rise or a fall does, for callers without a flag.
    void show(RegionOverlayKind kind, MagnifierState& state);
    void hide(RegionOverlayKind kind);

    // Only from a handler of opening(): the overlays wait `settle` for the
    // screen, and do not open at all if their kind is closed meanwhile.
    void delayOpening(std::chrono::milliseconds settle);

    // The state whose overlays opened last; none once all are closed.
    MagnifierState* activeState() const;

Q_SIGNALS:
    // Overlays are about to open: what must not appear on them hides now.
    void opening();
    void openRequested(oculo::RegionOverlayKind kind, oculo::MagnifierState* state);
    // Every overlay of `kind` closes.
    void closeRequested(oculo::RegionOverlayKind kind);
    // No overlay is open or waiting to open any more.
    void finished();

private:
    struct Watched {
        QPointer<MagnifierState> state;
        bool selecting = false;
        bool adjusting = false;
    };

    void followFlags();
    void open(RegionOverlayKind kind, const QPointer<MagnifierState>& state);
    void finishIfDone();
    static std::size_t slot(RegionOverlayKind kind) { return static_cast<std::size_t>(kind); }

    Reaction* m_reaction;
    QList<Watched> m_watched;
    // The states each kind's open overlays belong to; a kind whose states are
    // all gone is closed, as no one is left to lower its flag.
    std::array<QList<QPointer<MagnifierState>>, 2> m_open;
    // Bumped by each hide, so an opening still waiting for the screen is
    // dropped when its kind closed meanwhile.
    std::array<int, 2> m_generations{};
    int m_pendingOpens = 0;
    std::chrono::milliseconds m_openingDelay{0};
    QPointer<MagnifierState> m_activeState;
    bool m_following = false;
};

} // namespace oculo
