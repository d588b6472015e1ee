#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QPoint>
#include <QRect>
#include <QSystemTrayIcon>

#include <memory>

class QFrame;

namespace oculo {

class AutostartEntry;
class GlobalShortcutActions;
class MenuBarView;
class SettingsView;
class WindowRegistry;

// Oculo's presence in the system tray. Clicking the icon opens a frameless
// popup panel holding MenuBarView; "Settings…" opens the settings window.
// Without a tray, showPanelAt() opens the same panel (e.g. from a right click
// on a magnifier window).
class TrayIcon : public QObject {
    Q_OBJECT

public:
    // `registry` must outlive the tray icon.
    explicit TrayIcon(WindowRegistry& registry, QObject* parent = nullptr);
    ~TrayIcon() override;

    // True while a system tray shows the icon.
    bool isAvailable() const;

    // Opens the panel next to `globalPos` (Qt global logical coordinates),
    // kept inside the available area of that screen.
    void showPanelAt(QPoint globalPos);
    void openSettings();
    MenuBarView& menuBarView() const { return *m_view; }
    // Sections the settings window shows when set; each must outlive the tray icon.
    void setSystemSettings(GlobalShortcutActions* shortcuts, AutostartEntry* autostart);

    // Where a panel of `panelSize` goes next to `anchor` (the tray icon or a
    // point) within `available`: below the anchor, or above it when there is
    // no room below, shifted sideways to stay inside.
    static QRect panelFrame(QSize panelSize, QRect anchor, QRect available);

private:
    void onActivated(QSystemTrayIcon::ActivationReason reason);
    void showPanelNextTo(QRect anchor);
    void hidePanel();

    WindowRegistry& m_registry;
    QSystemTrayIcon m_tray;
    QElapsedTimer m_sincePanelHidden; // before the panel: its hide watcher writes here
    std::unique_ptr<QFrame> m_panel;
    MenuBarView* m_view = nullptr;
    std::unique_ptr<SettingsView> m_settings;
    GlobalShortcutActions* m_globalShortcuts = nullptr;
    AutostartEntry* m_autostart = nullptr;
};

} // namespace oculo
