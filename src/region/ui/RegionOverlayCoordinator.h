#pragma once

#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QUuid>

#include <chrono>
#include <optional>

class QWindow;

namespace oculo {

class FloatingPanel;
class MagnifierState;
class MagnifierWindowController;
class RegionSelectionWindow;
class WindowManagerSource;

// Opens and closes the region overlays. A menu row or control raises a
// magnifier state's isSelectingRegion or isAdjustingRegion; a poll of every
// window's two flags sees the rise, hides the magnifier windows and covers
// every screen with an overlay; the overlay ends by lowering the flag, and the
// poll then removes the overlays and brings the magnifier windows back. The
// window that had the keyboard before the first overlay opened has it again
// after the last one closes.
class RegionOverlayCoordinator final : public QObject {
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds pollInterval{50};
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

    void setupRegionObservation(std::chrono::milliseconds interval = pollInterval);
    // Wakes the poll when a flag of `state` changes. The poll sleeps while no
    // flag is up and no overlay is open, so resting windows cost no wake-ups;
    // every window's state must be watched.
    void watch(MagnifierState& state);
    // Stops polling and closes any open overlay; for quitting.
    void removeRegionObservation();

    void showRegionSelectionOverlay(MagnifierState& state);
    void showRegionAdjustmentOverlay(MagnifierState& state);
    void hideRegionSelectionOverlay();
    void hideRegionAdjustmentOverlay();

    QList<RegionSelectionWindow*> regionSelectionWindows() const;
    QList<RegionSelectionWindow*> regionAdjustmentWindows() const;
    MagnifierState* activeRegionState() const;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    enum class Kind { selection, adjustment };

    void poll();
    void showOverlay(Kind kind, MagnifierState& state);
    void openOverlays(Kind kind, QPointer<MagnifierState> state);
    void hideOverlay(Kind kind);
    void rememberActiveWindow();
    bool hidePanels(); // true when a magnifier window was showing
    void restorePanelsIfDone();
    QList<QPointer<RegionSelectionWindow>>& windowsOf(Kind kind);
    void setEscapeFilterInstalled(bool installed);

    const QList<MagnifierWindowController*>& m_controllers;
    QTimer m_pollTimer;
    QHash<QUuid, bool> m_wasSelecting;
    QHash<QUuid, bool> m_wasAdjusting;
    QList<QPointer<RegionSelectionWindow>> m_selectionWindows;
    QList<QPointer<RegionSelectionWindow>> m_adjustmentWindows;
    QPointer<MagnifierState> m_activeRegionState;
    QList<QPointer<FloatingPanel>> m_hiddenPanels;
    WindowManagerSource* m_windowManager = nullptr;
    // What had the keyboard before the overlays: a window of the window
    // manager's list, or one of Oculo's when it does not tell.
    std::optional<quint64> m_previousActiveWindow;
    QPointer<QWindow> m_previousFocusWindow;
    bool m_rememberedActiveWindow = false;
    // Bumped by each hide, so an opening still waiting for the screen to
    // settle is dropped when its flag fell meanwhile.
    int m_selectionGeneration = 0;
    int m_adjustmentGeneration = 0;
    int m_pendingOpens = 0;
    bool m_escapeFilterInstalled = false;
    bool m_observing = false;
};

} // namespace oculo
