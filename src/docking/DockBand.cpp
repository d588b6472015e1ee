#include "docking/DockBand.h"

#include "common/Geometry.h"

namespace oculo {

DockBand::DockBand(DockPosition position, const QRectF& panel, const QRectF& screen)
    : m_position(position)
    , m_panel(panel)
    , m_screen(screen) {}

std::optional<QRectF> DockBand::dockedFrame(DockPosition position, const QRectF& available,
                                            double height) {
    switch (position) {
    case DockPosition::bottom:
        return QRectF(available.left(), available.bottom() - height, available.width(), height);
    case DockPosition::top:
        return QRectF(available.left(), available.top(), available.width(), height);
    case DockPosition::none:
        break;
    }
    return std::nullopt;
}

QRectF DockBand::availableArea(const QRectF& screen, const std::optional<QRectF>& workArea,
                               const QRectF& qtAvailable) {
    if (workArea) {
        const QRectF free = workArea->intersected(screen);
        if (!free.isEmpty()) {
            return free;
        }
    }
    return qtAvailable;
}

double DockBand::limit() const {
    return m_position == DockPosition::top ? m_panel.bottom() + margin : m_panel.top() - margin;
}

std::optional<double> DockBand::pushedY(const WindowManagerSource::ClientWindow& window,
                                        qint64 ownProcessId) const {
    const QRectF& frame = window.frame;
    if (m_position == DockPosition::none || !window.processId ||
        *window.processId == ownProcessId || !window.isNormal || !window.isVisible ||
        frame.isEmpty() || !geometry::containsHalfOpen(m_screen, frame.center()) ||
        frame.left() >= m_panel.right() || frame.right() <= m_panel.left()) {
        return std::nullopt;
    }
    const double edge = limit();
    if (m_position == DockPosition::bottom) {
        if (frame.bottom() <= edge) {
            return std::nullopt;
        }
        const double y = edge - frame.height();
        // Higher up, its title bar would leave the screen and it could not be
        // dragged back.
        return y >= m_screen.top() ? std::optional<double>(y) : std::nullopt;
    }
    return frame.top() < edge ? std::optional<double>(edge) : std::nullopt;
}

QList<DockBand::Move> DockBand::moves(const QList<WindowManagerSource::ClientWindow>& windows,
                                      qint64 ownProcessId) const {
    QList<Move> result;
    for (const WindowManagerSource::ClientWindow& window : windows) {
        if (const auto y = pushedY(window, ownProcessId)) {
            result.append({window, *y});
        }
    }
    return result;
}

} // namespace oculo
