#include "platform/wayland/WaylandCaptureBackend.h"
#include "platform/wayland/WaylandCaptureStream.h"
#include "platform/wayland/WaylandScreenCast.h"

#include <QGuiApplication>
#include <QMetaObject>
#include <QPointer>
#include <QScreen>

namespace oculo {

std::unique_ptr<CaptureStream>
WaylandCaptureBackend::createStream(const DisplayInfo& display,
                                    const CaptureConfiguration& configuration) {
    return std::make_unique<WaylandCaptureStream>(m_cast, display, configuration);
}

WaylandCaptureBackend::WaylandCaptureBackend(wayland::WaylandScreenCast& cast)
    : m_cast(cast) {}

WaylandDisplaySource::WaylandDisplaySource(wayland::WaylandScreenCast& cast)
    : m_cast(cast) {}

QCoro::Task<DisplayQueryResult> WaylandDisplaySource::queryDisplays() {
    DisplayQueryResult result;
    if (const auto error =
            co_await m_cast.ensureSession(wayland::WaylandScreenCast::Asker::displayQuery)) {
        result.error = error;
        co_return result;
    }
    const QScreen* primary = QGuiApplication::primaryScreen();
    const auto screens = QGuiApplication::screens();
    for (const QScreen* screen : screens) {
        // Only what was shared can be shown; the user may share some monitors only.
        if (!m_cast.screenShowing(screen->geometry())) {
            continue;
        }
        DisplayInfo display{.id = quint32(qHash(screen->name()) & 0x7fffffffU),
                            .name = screen->name(),
                            .frame = screen->geometry(),
                            .devicePixelRatio = screen->devicePixelRatio()};
        if (screen == primary) {
            result.displays.prepend(display);
        } else {
            result.displays.append(display);
        }
    }
    co_return result;
}

WaylandPointerSource::WaylandPointerSource(wayland::WaylandScreenCast& cast, QObject* parent)
    : PointerSource(parent)
    , m_cast(cast) {
    connect(&m_cast, &wayland::WaylandScreenCast::pointerMoved, this, [this] {
        if (m_watched) {
            Q_EMIT pointerMoved();
        }
    });
}

QPointF WaylandPointerSource::position() const {
    m_stillFor.reset();
    if (const auto pointer = m_cast.pointer()) {
        m_lastPosition = pointer->position;
        // The metadata reports every move as it happens, so its arrival times a stop.
        if (notifiesMotion()) {
            m_stillFor = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now() - pointer->arrived);
        }
        return pointer->position;
    }
    // Before any metadata: the middle of the primary screen, where a
    // magnifier has something sensible to show.
    if (const QScreen* primary = QGuiApplication::primaryScreen()) {
        return QRectF(primary->geometry()).center();
    }
    return {};
}

void WaylandPointerSource::setMotionWatched(bool watched) {
    m_watched = watched;
    m_cast.setPointerWatched(watched);
    // A move between the last look and now was not posted: it is news all the same.
    const auto pointer = m_cast.pointer();
    if (watched && pointer && pointer->position != m_lastPosition) {
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (m_watched) {
                    Q_EMIT pointerMoved();
                }
            },
            Qt::QueuedConnection);
    }
}

bool WaylandPointerSource::notifiesMotion() const {
    return m_cast.isLive() && m_cast.hasPointerMetadata();
}

} // namespace oculo
