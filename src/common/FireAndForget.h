#pragma once

#include <qcoro/qcorotask.h>

#include <utility>

namespace oculo {

// Lets a started task run on after its caller returns: nobody awaits it, so it
// must hold what it uses itself and re-check its owner after every co_await.
// Every task Oculo leaves running goes through here, so one search finds them.
template <typename T>
void fireAndForget(QCoro::Task<T>&& task) {
    // Tasks start eagerly; a dropped handle lets the coroutine finish and free itself.
    [[maybe_unused]] const QCoro::Task<T> dropped = std::move(task);
}

} // namespace oculo
