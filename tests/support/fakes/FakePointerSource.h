#pragma once

#include "platform/PointerSource.h"

namespace oculo::test {

// A pointer that sits wherever the test puts it.
class FakePointerSource final : public PointerSource {
public:
    QPointF position() const override {
        ++m_queries;
        return m_position;
    }

    void setPosition(QPointF position) { m_position = position; }
    void moveBy(qreal dx, qreal dy) { m_position += QPointF(dx, dy); }
    int queryCount() const { return m_queries; }

private:
    QPointF m_position;
    mutable int m_queries = 0;
};

} // namespace oculo::test
