#include "platform/x11/X11WarpWatch.h"

#include <cerrno>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace oculo::x11 {

X11WarpWatch::X11WarpWatch(const QByteArray& displayName, std::chrono::milliseconds interval)
    : m_interval(interval)
    , m_wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    ConnectedScreen connected = connectToDisplay(displayName);
    if (connected.screen != nullptr) {
        m_root = connected.screen->root;
        m_connection = std::move(connected.connection);
    }
    m_usable = m_wake >= 0 && m_connection;
}

X11WarpWatch::~X11WarpWatch() {
    stop();
    if (m_wake >= 0) {
        close(m_wake);
    }
}

void X11WarpWatch::start(QPoint from, std::function<void()> moved) {
    stop();
    if (isUsable()) {
        m_thread = std::thread([this, from, moved = std::move(moved)] { run(from, moved); });
    }
}

void X11WarpWatch::stop() {
    if (!m_thread.joinable()) {
        return;
    }
    const quint64 one = 1;
    [[maybe_unused]] const ssize_t written = write(m_wake, &one, sizeof one);
    m_thread.join();
    quint64 value = 0;
    [[maybe_unused]] const ssize_t drained = read(m_wake, &value, sizeof value);
}

void X11WarpWatch::run(QPoint from, const std::function<void()>& moved) {
    pthread_setname_np(pthread_self(), "oculo-pointer");
    xcb_connection_t* c = m_connection.get();
    for (;;) {
        pollfd wake{m_wake, POLLIN, 0};
        const int woken = poll(&wake, 1, static_cast<int>(m_interval.count()));
        if (woken < 0 && errno == EINTR) {
            continue;
        }
        if (woken != 0) {
            return; // stopped
        }
        const XcbReply<xcb_query_pointer_reply_t> reply(
            xcb_query_pointer_reply(c, xcb_query_pointer(c, m_root), nullptr));
        if (!reply) {
            m_broken.store(true);
        }
        if (!reply || QPoint(reply->root_x, reply->root_y) != from) {
            moved();
            return;
        }
    }
}

} // namespace oculo::x11
