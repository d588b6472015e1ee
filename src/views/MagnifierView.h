#pragma once

#include "views/ZoomInput.h"

#include <QImage>
#include <QPointer>
#include <QTimer>
#include <QWidget>

class QLabel;
class QPushButton;
class QVariantAnimation;

namespace oculo {

class ControlsSnapshot;
class PictureSurface;
class MagnifierControlsView;
class MagnifierState;

// The content of a magnifier window: the latest captured frame scaled to fill
// the window (or a placeholder while there is none), the controls strip that
// slides in from the bottom while the pointer is over the window, and zoom by
// scroll wheel and the plus and minus keys.
class MagnifierView : public QWidget {
    Q_OBJECT
    Q_PROPERTY(bool controlsShown READ controlsShown NOTIFY controlsShownChanged FINAL)

public:
    static constexpr int controlsAnimationMs = 200;
    static constexpr int placeholderSpacing = 16;
    static constexpr int placeholderSymbolSizePx = 48;

    explicit MagnifierView(MagnifierState& state, QWidget* parent = nullptr);
    ~MagnifierView() override;

    // The controls are shown when the view opens and until the pointer leaves.
    bool controlsShown() const { return m_controlsShown; }
    MagnifierControlsView* controls() const { return m_controls; }

    // Placeholders while no frame is captured, by screen-capture permission.
    QWidget* noCapturePlaceholder() const { return m_noCapturePlaceholder; }
    QWidget* permissionPlaceholder() const { return m_permissionPlaceholder; }
    QPushButton* openSettingsButton() const { return m_openSettingsButton; }
    // With a reason, the permission placeholder says only that sentence and
    // its button asks for capture again instead of opening the system's
    // settings; empty brings the settings back.
    void setAskAgainReason(const QString& reason);

    // The part of an image of `imageSize` pixels that, scaled uniformly, covers
    // a view of `viewSize` exactly: the image is centred and the overflowing
    // axis is cut equally on both sides. Empty when either size is empty.
    static QRectF aspectFillSourceRect(const QSize& imageSize, const QSizeF& viewSize);

Q_SIGNALS:
    void controlsShownChanged(bool shown);
    // A native window that whoever captures the frames may draw the picture
    // into, filling `size` device pixels; 0 while the view paints it itself.
    void presentationTargetChanged(quintptr window, const QSize& size);
    // What whoever draws into that window lays over the picture: the
    // controls as they look now (premultiplied alpha), their top-left at
    // `position` in the window's device pixels; null while none show.
    void presentationOverlayChanged(const QImage& overlay, const QPoint& position);
    // The placeholder's button, shown while screen capture is not permitted.
    void openSystemSettingsRequested();
    // The placeholder's button while it asks again.
    void askAgainRequested();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QWidget* buildNoCapturePlaceholder();
    QWidget* buildPermissionPlaceholder();
    void updatePlaceholder();
    void takeFrame();
    void setControlsShown(bool shown);
    QPoint controlsPosition(bool shown) const;
    void placeControls();
    void showControlsStep(double progress);
    void finishControlsAnimation(bool shown);
    void updateSurface();
    void updateOverlay();

    MagnifierState& m_state;
    ZoomInput m_zoomInput;
    MagnifierControlsView* m_controls = nullptr;
    // Stands in for the strip while it slides and fades.
    ControlsSnapshot* m_controlsSnapshot = nullptr;
    // Shows the picture drawn by the capture thread whenever there is a frame.
    PictureSurface* m_surface = nullptr;
    QWidget* m_surfaceHolder = nullptr;
    quintptr m_announcedWindow = 0;
    QSize m_announcedSize;
    // The strip's look while the surface hides it, made again when it repaints.
    QImage m_stripPicture;
    QTimer m_overlayUpdate;
    bool m_renderingOverlay = false;
    bool m_overlayShown = false;
    QWidget* m_noCapturePlaceholder = nullptr;
    QWidget* m_permissionPlaceholder = nullptr;
    QPushButton* m_openSettingsButton = nullptr;
    QLabel* m_permissionTitle = nullptr;
    QLabel* m_permissionMessage = nullptr;
    QString m_askAgainReason;
    // The state's current frame in a format the painter scales without converting.
    QImage m_drawableFrame;
    bool m_controlsShown = true;
    QPointer<QVariantAnimation> m_controlsAnimation;
};

} // namespace oculo
