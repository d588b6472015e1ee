#pragma once

#include "region/RegionGeometry.h"

#include <QPixmap>
#include <QPointer>
#include <QRectF>
#include <QWidget>

#include <optional>

namespace oculo {

class MagnifierState;

// What both region overlays share: the magnifier they work for, where their
// overlay sits in Qt's global space, and the dimmed picture of the screen
// under them. Positions inside a view are the overlay's own coordinates.
class RegionOverlayView : public QWidget {
    Q_OBJECT

public:
    // `overlayOrigin`: the global position of the overlay's top-left corner.
    RegionOverlayView(MagnifierState& state, QPointF overlayOrigin, QWidget* parent = nullptr);

    MagnifierState* state() const; // none once the magnifier is gone
    QPointF overlayOrigin() const { return m_overlayOrigin; }
    // The screen as it was before the overlay covered it; without one the
    // overlay is drawn translucent, which only a compositor shows as such.
    void setBackdrop(const QPixmap& backdrop);
    bool hasBackdrop() const { return !m_backdrop.isNull(); }

Q_SIGNALS:
    // A press on this overlay: the keyboard should follow the user here.
    void pressed();

protected:
    // Dims everything but `cutOut`, which shows the screen undimmed.
    void paintBackdrop(QPainter& painter, const QRectF& cutOut) const;
    // "W × H" of `rect`, centred below its bottom edge.
    void paintSizeLabel(QPainter& painter, const QRectF& rect) const;
    // What the keys and the mouse do here, in a box centred along the top.
    void paintHint(QPainter& painter, const QString& hint) const;

private:
    QPointer<MagnifierState> m_state;
    QPointF m_overlayOrigin;
    QPixmap m_backdrop;
};

// Drag out a rectangle: releasing a drag larger than 10 points each way makes
// it the magnifier's fixed region; a smaller one, or Escape, cancels.
class RegionSelectionView final : public RegionOverlayView {
    Q_OBJECT

public:
    static const QString hint;

    RegionSelectionView(MagnifierState& state, QPointF overlayOrigin, QWidget* parent = nullptr);

    // The rectangle being dragged, in overlay coordinates; none while idle.
    std::optional<QRectF> selection() const;

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    std::optional<QPointF> m_dragStart;
    std::optional<QPointF> m_dragCurrent;
};

// Move the fixed region by dragging inside it, resize it by its eight handles;
// Return stores it, Escape leaves the stored region as it was.
class RegionAdjustmentView final : public RegionOverlayView {
    Q_OBJECT

public:
    static const QString hint;

    RegionAdjustmentView(MagnifierState& state, QPointF overlayOrigin, QWidget* parent = nullptr);

    // The region as shown, in overlay coordinates.
    QRectF currentRect() const;
    ResizeHandle activeHandle() const { return m_activeHandle; }

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void updateCursor(QPointF position);

    // Kept in global coordinates, so confirming an untouched region stores
    // exactly the rectangle it started from.
    QRectF m_region;
    QRectF m_originalRegion;
    QPointF m_dragStartPoint;
    ResizeHandle m_activeHandle = ResizeHandle::none;
    bool m_isDragging = false;
};

} // namespace oculo
