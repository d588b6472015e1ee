#include "platform/x11/X11DisplaySource.h"

#include "platform/x11/X11Monitors.h"
#include "platform/x11/XcbSupport.h"

#include <QGuiApplication>
#include <QScreen>

#include <cmath>

namespace oculo {
namespace {

bool qtShowsDisplay(const QByteArray& displayName) {
    if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()) == nullptr ||
        QGuiApplication::platformName() != QLatin1String("xcb")) {
        return false;
    }
    return displayName.isEmpty() || displayName == qgetenv("DISPLAY");
}

// Qt names its xcb screens after the RandR monitor; the geometry check covers
// servers where the names differ (Qt keeps a screen's native top-left corner
// and divides only its size by the ratio).
QScreen* matchingScreen(const x11::MonitorGeometry& monitor) {
    const QList<QScreen*> screens = QGuiApplication::screens();
    for (QScreen* screen : screens) {
        if (screen->name() == monitor.name) {
            return screen;
        }
    }
    for (QScreen* screen : screens) {
        const QRect logical = screen->geometry();
        const qreal ratio = screen->devicePixelRatio();
        const QSize deviceSize(qRound(logical.width() * ratio), qRound(logical.height() * ratio));
        const bool sameOrigin = logical.topLeft() == monitor.device.topLeft() ||
                                QPoint(qRound(logical.x() * ratio), qRound(logical.y() * ratio)) ==
                                    monitor.device.topLeft();
        if (sameOrigin && deviceSize == monitor.device.size()) {
            return screen;
        }
    }
    return nullptr;
}

DisplayInfo displayInfoFor(const x11::MonitorGeometry& monitor, bool matchQtScreens) {
    DisplayInfo info;
    info.id = monitor.id;
    info.name = monitor.name;
    info.frame = QRectF(monitor.device);
    if (QScreen* screen = matchQtScreens ? matchingScreen(monitor) : nullptr) {
        info.frame = QRectF(screen->geometry());
        info.devicePixelRatio = screen->devicePixelRatio();
    }
    return info;
}

} // namespace

X11DisplaySource::X11DisplaySource(QByteArray displayName)
    : m_displayName(std::move(displayName)) {}

QCoro::Task<DisplayQueryResult> X11DisplaySource::queryDisplays() {
    co_return queryDisplaysNow();
}

DisplayQueryResult X11DisplaySource::queryDisplaysNow() const {
    DisplayQueryResult result;
    const x11::ConnectedScreen connected = x11::connectToDisplay(m_displayName);
    if (connected.screen == nullptr) {
        result.error = DisplayQueryError{
            DisplayQueryError::Kind::CaptureRefused,
            QStringLiteral("Oculo cannot reach an X11 display, so the screen cannot be captured.")};
        return result;
    }
    const x11::MonitorList monitors =
        x11::queryMonitors(connected.connection.get(), *connected.screen);
    if (monitors.error) {
        result.error = DisplayQueryError{DisplayQueryError::Kind::Other, *monitors.error};
        return result;
    }
    const bool matchQtScreens = qtShowsDisplay(m_displayName);
    for (const x11::MonitorGeometry& monitor : monitors.monitors) {
        result.displays.append(displayInfoFor(monitor, matchQtScreens));
    }
    return result;
}

} // namespace oculo
