#include "common/Reaction.h"

#include "common/FireAndForget.h"

#include <QMetaObject>

namespace oculo {

Reaction::Reaction(QObject* owner, Body body)
    : QObject(owner)
    , m_body(std::move(body)) {}

void Reaction::notifyChange() {
    if (m_running) {
        m_changedWhileRunning = true;
        return;
    }
    scheduleRun();
}

void Reaction::scheduleRun() {
    if (m_scheduled) {
        return;
    }
    m_scheduled = true;
    QMetaObject::invokeMethod(this, &Reaction::runScheduled, Qt::QueuedConnection);
}

void Reaction::runScheduled() {
    m_scheduled = false;
    m_running = true;
    m_changedWhileRunning = false;
    // The body is copied into the detached coroutine's frame so that a
    // reaction destroyed mid-run never leaves the coroutine without its body.
    fireAndForget(runDetached(QPointer<Reaction>(this), m_body));
}

QCoro::Task<> Reaction::runDetached(QPointer<Reaction> self, Body body) {
    co_await body();
    if (self) {
        self->runFinished();
    }
}

void Reaction::runFinished() {
    m_running = false;
    ++m_completedRuns;
    if (m_changedWhileRunning) {
        m_changedWhileRunning = false;
        scheduleRun();
    }
}

} // namespace oculo
