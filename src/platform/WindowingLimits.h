#pragma once

#include <QCoreApplication>
#include <QString>

namespace oculo {

// What the windowing system lets Oculo do with its own windows and with other
// applications' windows. Controls that need a missing ability are disabled and
// say `reason` instead of pretending to work.
struct WindowingLimits {
    bool canPlaceWindows = true;      // choose where its own windows go
    bool canKeepAbove = true;         // keep its windows above other applications'
    bool canShowOnAllDesktops = true; // pin a window to one or every desktop
    bool canMoveOtherWindows = true;  // docking pushes other windows out of the band
    bool canSetOpacity = true;        // fading and transparency
    // Where other windows lie on the screen: accessible extents (the caret, the
    // focused control) are relative to their window without it.
    bool canLocateOtherWindows = true;
    QString reason; // one sentence, shown where a control is disabled

    // Docking places the window at an edge and pushes the others out of its band.
    bool canDock() const { return canPlaceWindows && canMoveOtherWindows; }

    static WindowingLimits unlimited() { return {}; }
    static WindowingLimits wayland() {
        return {.canPlaceWindows = false,
                .canKeepAbove = false,
                .canShowOnAllDesktops = false,
                .canMoveOtherWindows = false,
                .canSetOpacity = false,
                .canLocateOtherWindows = false,
                .reason = QCoreApplication::translate(
                    "WindowingLimits", "Wayland does not let an application place its windows, "
                                       "keep them above others, change their opacity, or see "
                                       "or move other windows.")};
    }
};

} // namespace oculo
