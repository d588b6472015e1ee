#include "region/ui/RegionOverlayViews.h"

#include "state/MagnifierState.h"

#include <QApplication>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

namespace oculo {

namespace {

// One dimming layer over the frozen screen; about what two translucent
// layers of 30% black give.
const QColor dimColour(0, 0, 0, 128);
const QColor labelBackground(0, 0, 0, 178);
const QColor regionBlue(0, 122, 255);
constexpr double outlineWidth = 2.0;
constexpr double handleOutlineWidth = 1.5;
constexpr double labelGap = 8.0;
constexpr double hintTop = 20.0;

QFont overlayFont(QFontDatabase::SystemFont kind, int pixelSize) {
    QFont font = QFontDatabase::systemFont(kind);
    font.setPixelSize(pixelSize);
    font.setWeight(QFont::Medium);
    return font;
}

Qt::CursorShape cursorFor(ResizeHandle handle) {
    switch (handle) {
    case ResizeHandle::topLeft:
    case ResizeHandle::bottomRight:
        return Qt::SizeFDiagCursor;
    case ResizeHandle::topRight:
    case ResizeHandle::bottomLeft:
        return Qt::SizeBDiagCursor;
    case ResizeHandle::top:
    case ResizeHandle::bottom:
        return Qt::SizeVerCursor;
    case ResizeHandle::left:
    case ResizeHandle::right:
        return Qt::SizeHorCursor;
    case ResizeHandle::none:
        break;
    }
    return Qt::ArrowCursor;
}

} // namespace

RegionOverlayView::RegionOverlayView(MagnifierState& state, QPointF overlayOrigin, QWidget* parent)
    : QWidget(parent)
    , m_state(&state)
    , m_overlayOrigin(overlayOrigin) {
    setFocusPolicy(Qt::StrongFocus);
}

MagnifierState* RegionOverlayView::state() const {
    return m_state.data();
}

void RegionOverlayView::setBackdrop(const QPixmap& backdrop) {
    m_backdrop = backdrop;
    update();
}

void RegionOverlayView::paintBackdrop(QPainter& painter, const QRectF& cutOut) const {
    const QRectF bounds = rect();
    const QRectF clear = cutOut.normalized().intersected(bounds);
    if (!m_backdrop.isNull()) {
        painter.drawPixmap(rect(), m_backdrop);
        QPainterPath dimmed;
        dimmed.setFillRule(Qt::OddEvenFill);
        dimmed.addRect(bounds);
        dimmed.addRect(clear);
        painter.fillPath(dimmed, dimColour);
        return;
    }
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    painter.fillRect(bounds, dimColour);
    painter.fillRect(clear, Qt::transparent);
    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
}

void RegionOverlayView::paintSizeLabel(QPainter& painter, const QRectF& rect) const {
    const QRectF r = rect.normalized();
    const QFont font = overlayFont(QFontDatabase::FixedFont, 12);
    const QFontMetricsF metrics(font);
    const QString text = region::sizeLabel(r);
    QRectF box(0, 0, metrics.horizontalAdvance(text) + 8, metrics.height() + 4);
    box.moveTopLeft({r.center().x() - box.width() / 2, r.bottom() + labelGap});
    // A region reaching the bottom of the screen gets its label above it.
    if (box.bottom() > height()) {
        box.moveBottom(r.top() - labelGap);
    }
    painter.fillRect(box, labelBackground);
    painter.setPen(Qt::white);
    painter.setFont(font);
    painter.drawText(box, Qt::AlignCenter, text);
}

void RegionOverlayView::paintHint(QPainter& painter, const QString& hint) const {
    const QFont font = overlayFont(QFontDatabase::GeneralFont, 13);
    const QFontMetricsF metrics(font);
    const QSizeF text(metrics.horizontalAdvance(hint), metrics.height());
    const QPointF origin(width() / 2.0 - text.width() / 2, hintTop);
    painter.setPen(Qt::NoPen);
    painter.setBrush(labelBackground);
    painter.drawRoundedRect(QRectF(origin - QPointF(12, 6), text + QSizeF(24, 12)), 6, 6);
    painter.setPen(Qt::white);
    painter.setFont(font);
    painter.drawText(QRectF(origin, text), Qt::AlignCenter, hint);
}

const QString RegionSelectionView::hint =
    QStringLiteral("Drag to select an area to magnify \u2022 Escape to cancel");

RegionSelectionView::RegionSelectionView(MagnifierState& state, QPointF overlayOrigin,
                                         QWidget* parent)
    : RegionOverlayView(state, overlayOrigin, parent) {
    setCursor(Qt::CrossCursor);
}

std::optional<QRectF> RegionSelectionView::selection() const {
    if (!m_dragStart || !m_dragCurrent) {
        return std::nullopt;
    }
    return region::normalizedRect(*m_dragStart, *m_dragCurrent);
}

void RegionSelectionView::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        QWidget::mousePressEvent(event);
        return;
    }
    Q_EMIT pressed();
    m_dragStart = event->position();
    m_dragCurrent = event->position();
    update();
}

void RegionSelectionView::mouseMoveEvent(QMouseEvent* event) {
    if (m_dragStart) {
        m_dragCurrent = event->position();
        update();
    }
}

void RegionSelectionView::mouseReleaseEvent(QMouseEvent* event) {
    const auto dragged = selection();
    if (event->button() != Qt::LeftButton || !dragged) {
        return;
    }
    m_dragStart.reset();
    m_dragCurrent.reset();
    update();
    MagnifierState* target = state();
    if (target == nullptr) {
        return;
    }
    if (region::isLargeEnoughSelection(*dragged)) {
        target->completeRegionSelection(region::toGlobal(*dragged, overlayOrigin()));
    } else {
        target->setIsSelectingRegion(false);
    }
}

void RegionSelectionView::keyPressEvent(QKeyEvent* event) {
    if (event->key() != Qt::Key_Escape) {
        QWidget::keyPressEvent(event);
        return;
    }
    if (MagnifierState* target = state()) {
        target->setIsSelectingRegion(false);
    }
}

void RegionSelectionView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const auto dragged = selection();
    paintBackdrop(painter, dragged.value_or(QRectF()));
    if (dragged) {
        painter.setPen(QPen(Qt::white, outlineWidth));
        painter.drawRect(*dragged);
        paintSizeLabel(painter, *dragged);
    }
    paintHint(painter, hint);
}

const QString RegionAdjustmentView::hint =
    QStringLiteral("Drag to move \u2022 Drag handles to resize \u2022 Enter to confirm \u2022 "
                   "Escape to cancel");

RegionAdjustmentView::RegionAdjustmentView(MagnifierState& state, QPointF overlayOrigin,
                                           QWidget* parent)
    : RegionOverlayView(state, overlayOrigin, parent)
    , m_region(state.fixedRegion().value_or(QRectF())) {
    setMouseTracking(true); // cursors follow the handles under the pointer
}

QRectF RegionAdjustmentView::currentRect() const {
    return region::toOverlay(m_region, overlayOrigin());
}

void RegionAdjustmentView::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        QWidget::mousePressEvent(event);
        return;
    }
    Q_EMIT pressed();
    const QPointF position = event->position();
    m_dragStartPoint = position;
    m_originalRegion = m_region;
    // A handle wins over moving, also where it reaches inside the rectangle.
    m_activeHandle = region::hitTestHandle(currentRect(), position);
    m_isDragging = m_activeHandle == ResizeHandle::none && currentRect().contains(position);
    updateCursor(position);
}

void RegionAdjustmentView::mouseMoveEvent(QMouseEvent* event) {
    const QPointF position = event->position();
    if ((event->buttons() & Qt::LeftButton) != 0) {
        const QPointF delta = position - m_dragStartPoint;
        if (m_isDragging) {
            m_region = m_originalRegion.translated(delta);
        } else if (m_activeHandle != ResizeHandle::none) {
            m_region = region::resizedRect(m_originalRegion, m_activeHandle, delta);
        }
        update();
    }
    updateCursor(position);
}

void RegionAdjustmentView::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        return;
    }
    m_isDragging = false;
    m_activeHandle = ResizeHandle::none;
    update();
    updateCursor(event->position());
}

void RegionAdjustmentView::keyPressEvent(QKeyEvent* event) {
    // The keypad's Enter stays unbound, as on every other overlay key.
    const bool confirm = event->key() == Qt::Key_Return;
    if (!confirm && event->key() != Qt::Key_Escape) {
        QWidget::keyPressEvent(event);
        return;
    }
    MagnifierState* target = state();
    if (target == nullptr) {
        return;
    }
    if (confirm && m_region.isValid()) {
        target->setFixedRegion(m_region);
    }
    target->setIsAdjustingRegion(false);
}

void RegionAdjustmentView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QRectF shown = currentRect();
    paintBackdrop(painter, shown);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(regionBlue, outlineWidth));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(shown);

    painter.setPen(QPen(regionBlue, handleOutlineWidth));
    painter.setBrush(Qt::white);
    for (const ResizeHandle handle : region::handles) {
        painter.drawEllipse(region::handleRect(shown, handle));
    }
    paintSizeLabel(painter, shown);
    paintHint(painter, hint);
}

void RegionAdjustmentView::updateCursor(QPointF position) {
    Qt::CursorShape shape = Qt::ArrowCursor;
    const ResizeHandle handle = m_activeHandle != ResizeHandle::none
                                    ? m_activeHandle
                                    : region::hitTestHandle(currentRect(), position);
    if (m_isDragging) {
        shape = Qt::ClosedHandCursor;
    } else if (handle != ResizeHandle::none) {
        shape = cursorFor(handle);
    } else if (currentRect().contains(position)) {
        shape = Qt::OpenHandCursor;
    }
    if (cursor().shape() != shape) {
        setCursor(shape);
    }
}

} // namespace oculo
