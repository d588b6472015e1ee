#pragma once

#include <QObject>
#include <QPointer>
#include <qcoro/qcorotask.h>

#include <functional>

namespace oculo {

// Observe-react-re-arm loop. The reaction is armed on a set of change signals;
// the first change schedules one queued run on the event loop (never inline),
// further changes before that run are folded into it, and the run reads the
// current values itself. A run may co_await; the loop re-arms when it ends.
//
// Changes that arrive while a run is suspended are not lost: they schedule one
// more run after the current one, so the last value always gets a reaction.
//
// The reaction is a child of its owner and ends quietly with it. The body is a
// coroutine that must re-check any QPointer it holds after every co_await.
class Reaction : public QObject {
    Q_OBJECT

public:
    using Body = std::function<QCoro::Task<>()>;

    Reaction(QObject* owner, Body body);

    // A reaction that hands `owner` to `body` and skips the run once the owner
    // is deleted or closed (`isClosed()`). The body must not touch the owner
    // after its own co_await: that await has to guard itself.
    template <typename Owner>
    static Reaction& ofOwner(Owner* owner, std::function<QCoro::Task<>(Owner&)> body) {
        QPointer<Owner> self(owner);
        return *new Reaction(owner, [self, body = std::move(body)]() -> QCoro::Task<> {
            Owner* current = self.data();
            if (current != nullptr && !current->isClosed()) {
                co_await body(*current);
            }
        });
    }

    template <typename Sender, typename Signal>
    Reaction& on(const Sender* sender, Signal signal) {
        connect(sender, signal, this, &Reaction::notifyChange);
        return *this;
    }

    // Number of runs that have completed; lets tests observe folding.
    int completedRuns() const { return m_completedRuns; }
    bool isRunning() const { return m_running; }

public Q_SLOTS:
    void notifyChange();

private:
    void scheduleRun();
    void runScheduled();
    void runFinished();
    static QCoro::Task<> runDetached(QPointer<Reaction> self, Body body);

    Body m_body;
    bool m_scheduled = false;
    bool m_running = false;
    bool m_changedWhileRunning = false;
    int m_completedRuns = 0;
};

} // namespace oculo
