#pragma once

#include <QList>
#include <QObject>
#include <QRectF>

#include <optional>

namespace oculo {

// What the window manager knows about every application's windows and the
// virtual desktops, and the requests Oculo makes of it. Rectangles are in Qt's
// global logical space (origin at the top-left of the primary screen, y down).
// Queries answer synchronously; a backend that has lost its window manager or
// server answers with empty lists and no values. GUI thread only.
class WindowManagerSource : public QObject {
    Q_OBJECT

public:
    using WindowId = quint64;

    // The desktop number that puts a window on every desktop.
    static constexpr quint32 allDesktops = 0xFFFFFFFF;

    struct ClientWindow {
        WindowId id = 0;
        std::optional<qint64> processId; // absent when the client does not tell
        // An ordinary application window: not a dock, desktop, menu, dialog,
        // notification or tool window.
        bool isNormal = true;
        // Shown on the current desktop: neither minimised nor on another desktop.
        bool isVisible = true;
        QRectF frame; // outer frame, window manager decoration included
    };

    using QObject::QObject;

    // Managed windows, front to back.
    virtual QList<ClientWindow> clientWindows() = 0;
    // Moves a window vertically so that its outer frame's top edge is at `frameY`.
    virtual void moveWindow(const ClientWindow& window, double frameY) = 0;

    virtual std::optional<quint32> currentDesktop() = 0;
    // `allDesktops` for a window on every desktop; none when it is not known.
    virtual std::optional<quint32> windowDesktop(WindowId window) = 0;
    // Works before the window is first shown, too; `allDesktops` also makes
    // it sticky, which is all some window managers go by.
    virtual void setWindowDesktop(WindowId window, quint32 desktop) = 0;
    // The window that has the keyboard, none when no window has it or the
    // window manager does not tell.
    virtual std::optional<WindowId> activeWindow() = 0;
    // Asks for `window` to have the keyboard, as a pager does for the user:
    // window managers grant it without weighing focus stealing.
    virtual void activateWindow(WindowId window) = 0;
    // The part of the desktop not reserved by panels, over all screens.
    virtual std::optional<QRectF> workArea() = 0;

Q_SIGNALS:
    void currentDesktopChanged();
    void workAreaChanged();
};

// For platforms without a window manager Oculo can talk to: no windows, no
// desktops, nothing moves.
class NoWindowManager final : public WindowManagerSource {
    Q_OBJECT

public:
    using WindowManagerSource::WindowManagerSource;

    QList<ClientWindow> clientWindows() override { return {}; }
    void moveWindow(const ClientWindow& /*window*/, double /*frameY*/) override {}
    std::optional<quint32> currentDesktop() override { return std::nullopt; }
    std::optional<quint32> windowDesktop(WindowId /*window*/) override { return std::nullopt; }
    void setWindowDesktop(WindowId /*window*/, quint32 /*desktop*/) override {}
    std::optional<WindowId> activeWindow() override { return std::nullopt; }
    void activateWindow(WindowId /*window*/) override {}
    std::optional<QRectF> workArea() override { return std::nullopt; }
};

} // namespace oculo
