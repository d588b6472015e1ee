#pragma once

#include <QPointer>
#include <QTimer>
#include <QWidget>

class QScreen;

namespace oculo {

class RegionOverlayView;

// The borderless window of a region overlay: covers one screen, stays above
// every other window (docks and panels included, as the window manager is
// bypassed), and shows one overlay view. Where windows cannot be placed it is
// instead a full-screen window the compositor puts on that screen.
class RegionSelectionWindow final : public QWidget {
    Q_OBJECT

public:
    enum class Placement { placed, fullScreen };

    // Covers `screen`. Without `backdrop` the picture of it is taken now, so
    // anything that must not appear under the overlay has to be hidden first.
    explicit RegionSelectionWindow(QScreen* screen, Placement placement = Placement::placed,
                                   const QPixmap& backdrop = {});
    ~RegionSelectionWindow() override;

    // The screen's geometry in Qt's global space, as the overlay covers it.
    QRect coveredGeometry() const { return m_coveredGeometry; }

    // Takes ownership of `view`, which fills the window.
    void setContent(RegionOverlayView* view);
    RegionOverlayView* content() const;

    // Shows the window and, with `takeKeyboard`, grabs the keyboard for it, so
    // keys reach the overlay even while another application has the focus.
    void present(bool takeKeyboard);
    void takeKeyboard();

protected:
    void resizeEvent(QResizeEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void tryKeyboardGrab();

    Placement m_placement;
    QRect m_coveredGeometry;
    QPixmap m_backdrop;
    QPointer<RegionOverlayView> m_content;
    // The server refuses a grab until the window is viewable; retried briefly.
    QTimer m_grabRetry;
    int m_grabAttemptsLeft = 0;
};

} // namespace oculo
