#include "capture/DisplayManager.h"

#include "common/Geometry.h"

#include <QPointer>
#include <QTextStream>

namespace oculo {

DisplayManager::DisplayManager(DisplaySource& source, QObject* parent)
    : QObject(parent)
    , m_source(source) {}

std::optional<DisplayInfo> DisplayManager::primaryDisplay() const {
    if (m_displays.isEmpty()) {
        return std::nullopt;
    }
    return m_displays.first();
}

QCoro::Task<> DisplayManager::refreshDisplays() {
    QPointer<DisplayManager> self(this);
    const DisplayQueryResult result = co_await m_source.queryDisplays();
    if (!self) {
        co_return;
    }
    if (result.error) {
        QTextStream(stdout) << QStringLiteral("Failed to get displays: ")
                            << result.error->description << Qt::endl;
        setDisplays({});
        co_return;
    }
    setDisplays(result.displays);
}

std::optional<DisplayInfo> DisplayManager::displayContaining(QPointF point) const {
    for (const DisplayInfo& display : m_displays) {
        if (geometry::containsHalfOpen(display.frame, point)) {
            return display;
        }
    }
    return primaryDisplay();
}

void DisplayManager::setDisplays(const QList<DisplayInfo>& displays) {
    if (displays == m_displays) {
        return;
    }
    const std::optional<DisplayInfo> previousPrimary = primaryDisplay();
    m_displays = displays;
    Q_EMIT displaysChanged();
    if (primaryDisplay() != previousPrimary) {
        Q_EMIT primaryDisplayChanged();
    }
}

} // namespace oculo
