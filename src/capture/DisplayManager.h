#pragma once

#include "platform/DisplaySource.h"

#include <QList>
#include <QObject>
#include <qcoro/qcorotask.h>

#include <optional>

namespace oculo {

// The displays that can be captured, primary first, as of the last refresh,
// and which of them holds a point. One instance for the whole program.
// Main thread only.
class DisplayManager : public QObject {
    Q_OBJECT

public:
    // `source` must outlive the manager.
    explicit DisplayManager(DisplaySource& source, QObject* parent = nullptr);

    const QList<DisplayInfo>& displays() const { return m_displays; }
    std::optional<DisplayInfo> primaryDisplay() const;

    // Replaces the list with the platform's; a failure prints
    // "Failed to get displays: <reason>" and empties it.
    QCoro::Task<> refreshDisplays();

    // The first display whose frame holds `point` (half-open), else the primary
    // display, else nothing. `point` is in Qt's global logical space.
    std::optional<DisplayInfo> displayContaining(QPointF point) const;

Q_SIGNALS:
    void displaysChanged();
    void primaryDisplayChanged();

private:
    void setDisplays(const QList<DisplayInfo>& displays);

    DisplaySource& m_source;
    QList<DisplayInfo> m_displays;
};

} // namespace oculo
