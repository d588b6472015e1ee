#pragma once

#include "platform/WindowManagerSource.h"

#include <QHash>

namespace oculo::test {

// A window manager whose windows, desktops and work area the test sets; moves
// are recorded and applied to the listed frames.
class FakeWindowManagerSource final : public WindowManagerSource {
public:
    QList<ClientWindow> clientWindows() override { return windows; }
    void moveWindow(const ClientWindow& window, double frameY) override {
        moves.append({window.id, frameY});
        for (ClientWindow& each : windows) {
            if (each.id == window.id) {
                each.frame.moveTop(frameY);
            }
        }
    }
    std::optional<quint32> currentDesktop() override { return current; }
    std::optional<quint32> windowDesktop(WindowId window) override {
        return desktops.contains(window) ? std::optional<quint32>(desktops.value(window))
                                         : std::nullopt;
    }
    void setWindowDesktop(WindowId window, quint32 desktop) override {
        desktops.insert(window, desktop);
    }
    std::optional<QRectF> workArea() override { return area; }

    void switchDesktop(quint32 desktop) {
        current = desktop;
        Q_EMIT currentDesktopChanged();
    }

    QList<ClientWindow> windows; // front to back
    QList<std::pair<WindowId, double>> moves;
    quint32 current = 0;
    QHash<WindowId, quint32> desktops;
    std::optional<QRectF> area;
};

} // namespace oculo::test
