#pragma once

#include "platform/x11/XcbSupport.h"

#include <QByteArray>
#include <QPoint>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

namespace oculo::x11 {

// Watches a resting pointer for warps, which send no event: a thread of its
// own asks the server where the pointer is every `interval`, over a connection
// of its own, and reports the first change. Its wake-ups cost a fraction of
// the GUI thread's, which sleeps until there is news.
class X11WarpWatch {
public:
    X11WarpWatch(const QByteArray& displayName, std::chrono::milliseconds interval);
    ~X11WarpWatch();

    X11WarpWatch(const X11WarpWatch&) = delete;
    X11WarpWatch& operator=(const X11WarpWatch&) = delete;

    // Any time: the connection itself belongs to the thread while it watches.
    bool isUsable() const { return m_usable && !m_broken.load(); }

    // Calls `moved` on the watch thread, once, when the pointer is no longer
    // at `from` (root pixels) or the connection broke.
    void start(QPoint from, std::function<void()> moved);
    void stop();

private:
    void run(QPoint from, const std::function<void()>& moved);

    std::chrono::milliseconds m_interval;
    int m_wake;
    XcbConnection m_connection;
    xcb_window_t m_root = XCB_WINDOW_NONE;
    bool m_usable = false;
    std::atomic<bool> m_broken{false}; // a query failed: the connection is gone
    std::thread m_thread;
};

} // namespace oculo::x11
