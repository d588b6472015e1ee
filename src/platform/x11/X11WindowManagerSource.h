#pragma once

#include "platform/WindowManagerSource.h"

#include <QByteArray>

#include <memory>

namespace oculo {

// The window manager reached through EWMH: the stacking client list with each
// window's process, type, visibility and outer frame, moves with
// _NET_MOVERESIZE_WINDOW, desktops through _NET_WM_DESKTOP and the sticky
// state, the active window through _NET_ACTIVE_WINDOW, and root property
// changes of the current desktop and the work area as signals. Queries go
// over a connection of its own; Oculo's own windows are set up over Qt's, so
// the requests follow the window's creation. Without an X server or an EWMH
// window manager it answers with nothing and moves nothing.
class X11WindowManagerSource final : public WindowManagerSource {
    Q_OBJECT

public:
    // `displayName` empty: the display named by $DISPLAY (the one Qt uses).
    explicit X11WindowManagerSource(const QByteArray& displayName = {}, QObject* parent = nullptr);
    ~X11WindowManagerSource() override;

    QList<ClientWindow> clientWindows() override;
    void moveWindow(const ClientWindow& window, double frameY) override;
    std::optional<quint32> currentDesktop() override;
    std::optional<quint32> windowDesktop(WindowId window) override;
    void setWindowDesktop(WindowId window, quint32 desktop) override;
    std::optional<WindowId> activeWindow() override;
    void activateWindow(WindowId window) override;
    std::optional<QRectF> workArea() override;

private:
    class Private;
    std::unique_ptr<Private> d;
};

} // namespace oculo
