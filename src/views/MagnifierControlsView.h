#pragma once

#include "views/ValueSlider.h"

#include <QList>
#include <QPixmap>
#include <QWidget>

class QLabel;

namespace oculo {

class ControlButton;
class FlowRowLayout;
class MagnifierState;

// The strip of controls along the bottom of a magnifier window: mode, region,
// zoom, transparency when unfocused, the three window-behaviour switches and
// docking. Every control reads and writes the window's MagnifierState only;
// what it shows is recomputed from the state whenever the state changes.
// In a narrow window the controls wrap into further centred rows; where even
// that does not fit, the least needed controls give way, so nothing is ever
// cut off or needs scrolling.
class MagnifierControlsView : public QWidget {
    Q_OBJECT

public:
    // The strip's distance from the picture's edges.
    static constexpr int outerPadding = 12;

    explicit MagnifierControlsView(MagnifierState& state, QWidget* parent = nullptr);

    // Resizes the strip to fit within `available` (the window's content):
    // one row where it is wide enough, wrapped rows where it is not, and as
    // high as the rows need. Where wrapped rows are still too wide or too
    // high, controls are left out, least needed first: the decorative
    // symbols, the sliders the buttons and the tray panel stand in for, then
    // docking, the switches and the mode buttons. Zoom out, zoom in and the
    // zoom level always stay.
    void fitWithin(const QSize& available);
    // Number of rows the controls currently take.
    int rowCount() const;
    // The one-row size.
    QSize sizeHint() const override;

    ControlButton* modeButton() const { return m_modeButton; }
    ControlButton* regionButton() const { return m_regionButton; }
    ControlButton* zoomOutButton() const { return m_zoomOutButton; }
    ValueSlider* zoomSlider() const { return m_zoomSlider; }
    ControlButton* zoomInButton() const { return m_zoomInButton; }
    QLabel* zoomText() const { return m_zoomText; }
    QWidget* transparencyGroup() const { return m_transparencyGroup; }
    ValueSlider* transparencySlider() const { return m_transparencySlider; }
    QLabel* transparencyText() const { return m_transparencyText; }
    ControlButton* keepActiveButton() const { return m_keepActiveButton; }
    ControlButton* hideWhileMovingButton() const { return m_hideWhileMovingButton; }
    ControlButton* stayInSpaceButton() const { return m_stayInSpaceButton; }
    ControlButton* dockTopButton() const { return m_dockTopButton; }
    ControlButton* dockBottomButton() const { return m_dockBottomButton; }

    // The zoom readout: one fraction digit in the current locale.
    static QString formatZoom(double zoomLevel);
    // The transparency readout: percent truncated toward zero, current locale.
    static QString formatTransparency(double transparency);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QWidget* buildZoomGroup();
    QWidget* buildTransparencyGroup();
    void connectActions();
    void refresh();

    MagnifierState& m_state;
    // The rounded translucent material, drawn once per size.
    QPixmap m_material;
    QWidget* m_content = nullptr;
    FlowRowLayout* m_rows = nullptr;
    QList<QWidget*> m_leftOutFirst; // the order in which controls give way

    ControlButton* m_modeButton = nullptr;
    ControlButton* m_regionButton = nullptr;
    QLabel* m_zoomSymbol = nullptr;
    ControlButton* m_zoomOutButton = nullptr;
    ValueSlider* m_zoomSlider = nullptr;
    ControlButton* m_zoomInButton = nullptr;
    QLabel* m_zoomText = nullptr;
    QWidget* m_transparencyGroup = nullptr;
    QLabel* m_transparencySymbol = nullptr;
    ValueSlider* m_transparencySlider = nullptr;
    QLabel* m_transparencyText = nullptr;
    ControlButton* m_keepActiveButton = nullptr;
    ControlButton* m_hideWhileMovingButton = nullptr;
    ControlButton* m_stayInSpaceButton = nullptr;
    ControlButton* m_dockTopButton = nullptr;
    ControlButton* m_dockBottomButton = nullptr;
};

} // namespace oculo
