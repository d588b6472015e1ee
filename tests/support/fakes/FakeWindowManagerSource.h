#pragma once

#include "platform/WindowManagerSource.h"

namespace oculo::test {

// A window manager with one desktop, whose windows and work area the test
// sets; moves are applied to the listed frames.
class FakeWindowManagerSource final : public WindowManagerSource {
public:
    QList<ClientWindow> clientWindows() override {
        if (++listings == mapsLateAtListing) {
            windows += mappedLate;
        }
        return windows;
    }
    void moveWindow(const ClientWindow& window, double frameY) override {
        for (ClientWindow& each : windows) {
            if (each.id == window.id) {
                each.frame.moveTop(frameY);
            }
        }
    }
    std::optional<quint32> currentDesktop() override { return std::nullopt; }
    std::optional<quint32> windowDesktop(WindowId /*window*/) override { return std::nullopt; }
    void setWindowDesktop(WindowId /*window*/, quint32 /*desktop*/) override {}
    std::optional<WindowId> activeWindow() override { return std::nullopt; }
    void activateWindow(WindowId /*window*/) override {}
    std::optional<QRectF> workArea() override { return area; }

    QList<ClientWindow> windows; // front to back
    std::optional<QRectF> area;
    int listings = 0; // how often the windows were asked for
    // Windows a busy window manager maps only when listed this often.
    QList<ClientWindow> mappedLate;
    int mapsLateAtListing = 0;
};

} // namespace oculo::test
