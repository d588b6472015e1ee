#pragma once

#include "platform/DisplaySource.h"

#include <QObject>
#include <qcoro/qcorosignal.h>

namespace oculo::test {

// A display list the test sets, or an error, answered either at once or when
// the test calls release() (to exercise callers that are suspended meanwhile).
class FakeDisplaySource final : public QObject, public DisplaySource {
    Q_OBJECT

public:
    using QObject::QObject;

    // Two side-by-side displays as most tests need them: 1440 x 900 primary at
    // the origin and a 1920 x 1080 display to its right.
    static DisplayInfo primary() {
        return {1, QStringLiteral("eDP-1"), QRectF(0, 0, 1440, 900), 1.0};
    }
    static DisplayInfo secondary() {
        return {2, QStringLiteral("HDMI-1"), QRectF(1440, 0, 1920, 1080), 1.0};
    }

    QCoro::Task<DisplayQueryResult> queryDisplays() override {
        ++m_queryCount;
        if (m_held) {
            co_await qCoro(this, &FakeDisplaySource::released);
        }
        // A copy: QCoro's co_return moves from a non-const lvalue, which
        // would empty the result for the next query.
        co_return DisplayQueryResult(m_result);
    }

    void setDisplays(const QList<DisplayInfo>& displays) { m_result = {displays, std::nullopt}; }
    void setError(DisplayQueryError::Kind kind, const QString& description) {
        m_result = {{}, DisplayQueryError{kind, description}};
    }
    void setResult(const DisplayQueryResult& result) { m_result = result; }

    // While held, queries stay suspended until release(); release answers all
    // waiting queries with the result set at that moment.
    void hold() { m_held = true; }
    void release() {
        m_held = false;
        Q_EMIT released();
    }

    int queryCount() const { return m_queryCount; }

Q_SIGNALS:
    void released();

private:
    DisplayQueryResult m_result;
    int m_queryCount = 0;
    bool m_held = false;
};

} // namespace oculo::test
