#pragma once

#include "platform/WindowManagerSource.h"
#include "state/MagnificationMode.h"

#include <QList>
#include <QRectF>

#include <optional>

namespace oculo {

// The strip of screen a docked magnifier keeps clear of other applications'
// windows, and where each of them has to go. Plain geometry in Qt's global
// logical space: no window system involved.
class DockBand {
public:
    // Pushed windows keep this far from the panel's inner edge.
    static constexpr double margin = 50.0;

    struct Move {
        WindowManagerSource::ClientWindow window;
        double frameY = 0.0; // new top edge of its outer frame
    };

    // `panel` is the docked panel's outer frame, `screen` the full geometry
    // of the screen it is on. `position` none makes an empty band.
    DockBand(DockPosition position, const QRectF& panel, const QRectF& screen);

    // The docked frame: the full width of `available` at `height`, on its
    // top or bottom edge. Undocked: none.
    static std::optional<QRectF> dockedFrame(DockPosition position, const QRectF& available,
                                             double height);
    // The screen's free area: the window manager's work area where it meets
    // the screen, else what Qt reports as available.
    static QRectF availableArea(const QRectF& screen, const std::optional<QRectF>& workArea,
                                const QRectF& qtAvailable);

    // The edge pushed windows stop at: above the panel when docked at the
    // bottom, below it when docked at the top.
    double limit() const;

    // Where `window` must move, or none when it stays: windows of Oculo
    // (`ownProcessId`), unknown owners, non-normal or hidden windows, windows
    // centred on another screen or beside the panel, and windows too tall to
    // fit between the screen's top and the limit stay.
    std::optional<double> pushedY(const WindowManagerSource::ClientWindow& window,
                                  qint64 ownProcessId) const;
    // The moves for a whole window list, in its order.
    QList<Move> moves(const QList<WindowManagerSource::ClientWindow>& windows,
                      qint64 ownProcessId) const;

private:
    DockPosition m_position;
    QRectF m_panel;
    QRectF m_screen;
};

} // namespace oculo
