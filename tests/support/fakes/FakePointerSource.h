#pragma once

#include "platform/PointerSource.h"

namespace oculo::test {

// A pointer that sits wherever the test puts it. Made with `notifying`, it
// also reports motion the way a source watching the X server does.
class FakePointerSource final : public PointerSource {
public:
    explicit FakePointerSource(bool notifying = false)
        : m_notifying(notifying) {}

    QPointF position() const override {
        ++m_queries;
        return m_position;
    }
    std::optional<std::chrono::milliseconds> stillFor() const override { return m_stillFor; }
    bool notifiesMotion() const override { return m_notifying; }
    void setMotionWatched(bool watched) override { m_watched = watched; }

    void setPosition(QPointF position) { m_position = position; }
    // As a capture thread following the pointer would report it.
    void setStillFor(std::optional<std::chrono::milliseconds> age) { m_stillFor = age; }
    void moveBy(qreal dx, qreal dy) { m_position += QPointF(dx, dy); }
    // Moves the pointer and, when notifying, tells whoever listens.
    void moveAndNotify(qreal dx, qreal dy) {
        moveBy(dx, dy);
        if (m_notifying && m_watched) {
            Q_EMIT pointerMoved();
        }
    }
    int queryCount() const { return m_queries; }
    bool isMotionWatched() const { return m_watched; }

private:
    QPointF m_position;
    std::optional<std::chrono::milliseconds> m_stillFor;
    mutable int m_queries = 0;
    bool m_notifying = false;
    bool m_watched = false;
};

} // namespace oculo::test
