#pragma once

#include "app/ActiveStateFollower.h"
#include "picture/PictureOptions.h"

#include <QList>

#include <QPointer>
#include <QWidget>

class QAbstractButton;
class QAction;
class QKeySequence;
class QLabel;
class QToolButton;
class QVBoxLayout;

namespace oculo {

class MagnifierState;
class PanelRow;
class ValueSlider;
class WindowRegistry;
enum class ShellSymbol;

// The content of the tray panel: opens magnifier windows and adjusts the active
// one (mode, region, zoom, transparency, window behaviour, picture), then the update
// item's place, "Settings…" and "Quit Oculo". It holds no values of its own:
// every row shows and writes the active window's MagnifierState, and the view
// follows the registry as windows come, go or take focus.
class MenuBarView : public QWidget {
    Q_OBJECT

public:
    // `registry` must outlive the view.
    explicit MenuBarView(WindowRegistry& registry, QWidget* parent = nullptr);
    ~MenuBarView() override;

    // Puts the update row in its place between the last divider and
    // "Settings…". The view takes ownership; a later item replaces it.
    void setUpdateItem(QWidget* item);

    // New window (Ctrl+N), settings (Ctrl+,) and quit (Ctrl+Q), owned by the
    // view. The panel answers their keys; every other Oculo window that should
    // answer them adds these actions to itself. Each key has this one owner,
    // so no window sees two shortcuts for it.
    QList<QAction*> applicationActions() const { return m_applicationActions; }

Q_SIGNALS:
    // "Settings…" was chosen.
    void settingsRequested();
    // A row handed the user over to another window (a new magnifier, a region
    // overlay, the settings, quitting): the panel should close.
    void dismissRequested();

private:
    void buildRows();
    void buildPictureRows(QVBoxLayout* layout);
    QAction* addCommandRow(QVBoxLayout* layout, ShellSymbol symbol, const QString& label,
                           const QKeySequence& keys);
    void refresh();

    void chooseFixedRegion();
    void startRegionSelection();
    void stepZoom(double delta);

    WindowRegistry& m_registry;
    ActiveStateFollower m_active;

    QWidget* m_stateSection = nullptr;
    QWidget* m_countSection = nullptr;
    QLabel* m_countLabel = nullptr;
    PanelRow* m_followMouseRow = nullptr;
    PanelRow* m_fixedRegionRow = nullptr;
    PanelRow* m_adjustRegionRow = nullptr;
    QToolButton* m_zoomOutButton = nullptr;
    ValueSlider* m_zoomSlider = nullptr;
    QToolButton* m_zoomInButton = nullptr;
    QLabel* m_zoomText = nullptr;
    QWidget* m_transparencyRow = nullptr;
    ValueSlider* m_transparencySlider = nullptr;
    QLabel* m_transparencyText = nullptr;
    PanelRow* m_keepActiveRow = nullptr;
    PanelRow* m_staySpaceRow = nullptr;
    QList<std::pair<ColorFilter, PanelRow*>> m_filterRows;
    PanelRow* m_smoothRow = nullptr;
    PanelRow* m_crosshairRow = nullptr;
    PanelRow* m_followFocusRow = nullptr;
    QVBoxLayout* m_updateSlot = nullptr;
    QPointer<QWidget> m_updateItem;
    QList<QAction*> m_applicationActions;
};

} // namespace oculo
