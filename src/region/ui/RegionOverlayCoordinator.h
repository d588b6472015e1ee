#pragma once

#include "platform/WindowingLimits.h"
#include "region/RegionOverlayFlags.h"

#include <QList>
#include <QObject>
#include <QPointer>

#include <chrono>
#include <optional>

class QScreen;
class QWindow;

namespace oculo {

class CaptureBackend;
class DisplayManager;
class FloatingPanel;
class MagnifierState;
class MagnifierWindowController;
class RegionSelectionWindow;
class WindowManagerSource;

// Opens and closes the region overlays as RegionOverlayFlags decides: when a
// magnifier state raises isSelectingRegion or isAdjustingRegion, hides the
// magnifier windows and covers every screen with an overlay; the overlay ends
// by lowering the flag, and then the overlays go and the magnifier windows
// come back. The window that had the keyboard before the first overlay opened
// has it again after the last one closes.
class RegionOverlayCoordinator final : public QObject {
    Q_OBJECT

public:
    // Time for the screen to repaint where the hidden magnifiers were, before
    // the overlays take its picture.
    static constexpr std::chrono::milliseconds panelHideSettle{150};

    // `controllers` is the owner's live list of windows; it must outlive the
    // coordinator.
    explicit RegionOverlayCoordinator(const QList<MagnifierWindowController*>& controllers,
                                      QObject* parent = nullptr);
    ~RegionOverlayCoordinator() override;

    // Tells which window, Oculo's or another application's, had the keyboard
    // before an overlay opened; must outlive the coordinator. Without one
    // only Oculo's own windows get it back.
    void setWindowManagerSource(WindowManagerSource* source) { m_windowManager = source; }
    // Where windows cannot be placed, each screen gets a full-screen overlay
    // that the compositor puts there.
    void setWindowingLimits(const WindowingLimits& limits) { m_limits = limits; }
    // Where the screen cannot be read directly, an overlay's backdrop is the
    // last picture `backend` holds of its display. Both must outlive the
    // coordinator.
    void setBackdropSource(CaptureBackend* backend, const DisplayManager* displays);

    // Opens and closes overlays as the watched flags change from now on.
    void setupRegionObservation();
    // Follows the flags of `state`; every window's state must be watched.
    void watch(MagnifierState& state);
    // Follows the flags no more and closes any open overlay; for quitting.
    void removeRegionObservation();

    void showRegionSelectionOverlay(MagnifierState& state);
    void showRegionAdjustmentOverlay(MagnifierState& state);
    void hideRegionSelectionOverlay();
    void hideRegionAdjustmentOverlay();

    QList<RegionSelectionWindow*> regionSelectionWindows() const;
    QList<RegionSelectionWindow*> regionAdjustmentWindows() const;
    MagnifierState* activeRegionState() const { return m_flags.activeState(); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    using Kind = RegionOverlayKind;

    void prepareScreens();
    QPixmap backdropFor(const QScreen& screen) const;
    void openOverlays(Kind kind, MagnifierState* state);
    void closeOverlays(Kind kind);
    void rememberActiveWindow();
    bool hidePanels(); // true when a magnifier window was showing
    void restorePanels();
    QList<QPointer<RegionSelectionWindow>>& windowsOf(Kind kind);
    void setEscapeFilterInstalled(bool installed);

    const QList<MagnifierWindowController*>& m_controllers;
    RegionOverlayFlags m_flags;
    QList<QPointer<RegionSelectionWindow>> m_selectionWindows;
    QList<QPointer<RegionSelectionWindow>> m_adjustmentWindows;
    QList<QPointer<FloatingPanel>> m_hiddenPanels;
    WindowManagerSource* m_windowManager = nullptr;
    WindowingLimits m_limits;
    CaptureBackend* m_backdropBackend = nullptr;
    const DisplayManager* m_backdropDisplays = nullptr;
    // What had the keyboard before the overlays: a window of the window
    // manager's list, or one of Oculo's when it does not tell.
    std::optional<quint64> m_previousActiveWindow;
    QPointer<QWindow> m_previousFocusWindow;
    bool m_rememberedActiveWindow = false;
    bool m_escapeFilterInstalled = false;
};

} // namespace oculo
