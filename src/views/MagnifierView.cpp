#include "views/MagnifierView.h"

#include "state/MagnifierState.h"
#include "views/ControlButton.h"
#include "views/MagnifierControlsView.h"
#include "views/Symbols.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QPaintEvent>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>
#include <QVariantAnimation>
#include <QWheelEvent>

#include <algorithm>

namespace oculo {

namespace {

// `strip` as it would draw itself over the view, in device pixels: its margins
// stay transparent (grab() would fill them with the window colour).
QImage stripPicture(QWidget* strip) {
    const qreal ratio = strip->devicePixelRatioF();
    QImage picture(strip->size() * ratio, QImage::Format_ARGB32_Premultiplied);
    picture.setDevicePixelRatio(ratio);
    picture.fill(Qt::transparent);
    strip->render(&picture, QPoint(), QRegion(), QWidget::DrawChildren);
    return picture;
}

} // namespace

// A picture of the controls strip, drawn at an opacity. Qt cannot nest graphics
// effects and the strip's disabled controls already use one, so the strip
// itself is hidden while it animates and this picture moves and fades instead.
class ControlsSnapshot : public QWidget {
public:
    explicit ControlsSnapshot(QWidget* parent)
        : QWidget(parent) {
        setObjectName(QStringLiteral("controlsSnapshot"));
        setAttribute(Qt::WA_TransparentForMouseEvents);
        hide();
    }

    void takePicture(QWidget* strip) {
        m_picture = stripPicture(strip);
        resize(strip->size());
        update();
    }

    void dropPicture() { m_picture = QImage(); }

    void setOpacity(double opacity) {
        if (qFuzzyCompare(opacity, m_opacity)) {
            return;
        }
        m_opacity = opacity;
        update();
    }

    // The picture as this widget draws it now, in device pixels; null while
    // nothing of it shows.
    QImage drawn() const {
        if (m_picture.isNull() || m_opacity <= 0) {
            return {};
        }
        QImage image(m_picture.size(), QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        painter.setOpacity(m_opacity);
        painter.drawImage(image.rect(), m_picture, m_picture.rect());
        return image;
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setOpacity(m_opacity);
        painter.drawImage(0, 0, m_picture);
    }

private:
    QImage m_picture;
    double m_opacity = 1.0;
};

// A native child window Qt never paints: the capture thread puts each frame
// into it directly. It hides whatever widgets lie over it, so the capture
// thread also lays the controls' look over the picture; the pointer passes
// through it to the controls and the view.
class PictureSurface : public QWidget {
public:
    explicit PictureSurface(QWidget* parent)
        : QWidget(parent, Qt::WindowTransparentForInput) {
        setObjectName(QStringLiteral("pictureSurface"));
        // Made native only when first shown: a native window, even hidden,
        // changes how the window system treats the whole window.
        setAttribute(Qt::WA_DontCreateNativeAncestors);
        setAttribute(Qt::WA_PaintOnScreen);
        setAttribute(Qt::WA_NoSystemBackground);
        setAttribute(Qt::WA_OpaquePaintEvent);
        setAttribute(Qt::WA_TransparentForMouseEvents);
        hide();
    }

    QPaintEngine* paintEngine() const override { return nullptr; }

protected:
    // Nothing to paint here: the view, watching, asks for a fresh frame.
    void paintEvent(QPaintEvent*) override {}
};

namespace {

const QColor warningYellow(255, 204, 0);
constexpr double secondaryOpacity = 0.6;

const char* const placeholderStyleSheet = R"(
QLabel { color: white; }
QLabel[secondary="true"] { color: rgba(255, 255, 255, 150); }
QPushButton#openSettingsButton {
    background: palette(highlight);
    color: palette(highlighted-text);
    border: 1px solid palette(highlight);
    border-radius: 6px;
    padding: 5px 14px;
}
QPushButton#openSettingsButton:pressed { background: palette(dark); }
QPushButton#openSettingsButton:focus { border-color: white; }
)";

QLabel* textLabel(const QString& text, const QFont& font, bool secondary, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setFont(font);
    label->setAlignment(Qt::AlignCenter);
    label->setWordWrap(true);
    label->setProperty("secondary", secondary);
    return label;
}

QFont headlineFont(const QFont& base) {
    QFont font = base;
    font.setPointSizeF(base.pointSizeF() * 1.15);
    font.setWeight(QFont::DemiBold);
    return font;
}

QFont subheadlineFont(const QFont& base) {
    QFont font = base;
    font.setPointSizeF(base.pointSizeF() * 0.92);
    return font;
}

QWidget* placeholderPage(QWidget* parent, QVBoxLayout*& layout) {
    auto* page = new QWidget(parent);
    page->setStyleSheet(QLatin1String(placeholderStyleSheet));
    layout = new QVBoxLayout(page);
    layout->setSpacing(MagnifierView::placeholderSpacing);
    layout->setAlignment(Qt::AlignCenter);
    return page;
}

QLabel* symbolLabel(Symbol symbol, const QColor& color, double opacity, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setObjectName(QStringLiteral("placeholderSymbol"));
    label->setAlignment(Qt::AlignCenter);
    label->setPixmap(symbolPixmap(symbol, MagnifierView::placeholderSymbolSizePx, color, opacity,
                                  parent->devicePixelRatioF()));
    label->setProperty("symbol", symbolName(symbol));
    return label;
}

} // namespace

MagnifierView::MagnifierView(MagnifierState& state, QWidget* parent)
    : QWidget(parent)
    , m_state(state)
    , m_zoomInput(state) {
    setObjectName(QStringLiteral("magnifierView"));
    // Keys reach the view whenever its window is active.
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMinimumSize(1, 1);

    m_noCapturePlaceholder = buildNoCapturePlaceholder();
    m_permissionPlaceholder = buildPermissionPlaceholder();

    m_controls = new MagnifierControlsView(state, this);
    m_controls->fitWithin(size());
    m_controls->raise();
    m_controls->move(controlsPosition(true));
    m_controlsSnapshot = new ControlsSnapshot(this);
    // Made native, the surface would make its siblings native too, and those
    // could not blend with the picture; in a holder of its own it has none.
    m_surfaceHolder = new QWidget(this);
    m_surfaceHolder->setAttribute(Qt::WA_TransparentForMouseEvents);
    m_surfaceHolder->lower();
    m_surface = new PictureSurface(m_surfaceHolder);
    m_surface->installEventFilter(this);
    // A repaint of the strip (hover, press, a new value) shows in the overlay
    // once the strip's children have painted too.
    m_controls->installEventFilter(this);
    m_overlayUpdate.setSingleShot(true);
    m_overlayUpdate.setInterval(0);
    connect(&m_overlayUpdate, &QTimer::timeout, this, [this] {
        m_stripPicture = QImage();
        updateOverlay();
    });

    connect(&m_state, &MagnifierState::currentFrameChanged, this, [this] {
        takeFrame();
        updatePlaceholder();
        updateSurface();
        if (!m_surface->isVisible()) {
            update();
        }
    });
    connect(&m_state, &MagnifierState::hasScreenRecordingPermissionChanged, this,
            &MagnifierView::updatePlaceholder);
    takeFrame();
    updatePlaceholder();
    setFocus();
}

MagnifierView::~MagnifierView() {
    if (m_controlsAnimation) {
        m_controlsAnimation->stop();
    }
    if (m_announcedWindow != 0) {
        Q_EMIT presentationTargetChanged(0, QSize());
    }
    if (m_overlayShown) {
        Q_EMIT presentationOverlayChanged(QImage(), QPoint());
    }
}

void MagnifierView::updateSurface() {
    // Only an X server lets another connection draw into our window.
    static const bool drawnElsewhere = QGuiApplication::platformName() == QLatin1String("xcb");
    const bool covered = !drawnElsewhere || m_drawableFrame.isNull();
    if (covered) {
        if (m_surface->isVisible()) {
            m_surface->hide();
            update(); // the view paints the picture again from the next frame on
        }
    } else if (!m_surface->isVisible()) {
        m_surface->setGeometry(m_surfaceHolder->rect());
        m_surface->setAttribute(Qt::WA_NativeWindow);
        m_surface->show();
    }
    updateOverlay(); // before the target, so that its first frame carries it
    const quintptr window = m_surface->isVisible() ? m_surface->winId() : 0;
    const QSize size =
        window != 0 ? (QSizeF(m_surface->size()) * devicePixelRatioF()).toSize() : QSize();
    if (window != m_announcedWindow || size != m_announcedSize) {
        m_announcedWindow = window;
        m_announcedSize = size;
        Q_EMIT presentationTargetChanged(window, size);
    }
}

void MagnifierView::updateOverlay() {
    QImage overlay;
    QPoint position;
    if (m_surface->isVisible()) {
        if (m_controlsSnapshot->isVisible()) {
            overlay = m_controlsSnapshot->drawn();
            position = m_controlsSnapshot->pos();
        } else if (m_controls->isVisible()) {
            if (m_stripPicture.isNull()) {
                m_renderingOverlay = true;
                m_stripPicture = stripPicture(m_controls);
                m_stripPicture.setDevicePixelRatio(1);
                m_renderingOverlay = false;
            }
            overlay = m_stripPicture;
            position = m_controls->pos();
        }
    }
    if (overlay.isNull() && !m_overlayShown) {
        return;
    }
    m_overlayShown = !overlay.isNull();
    Q_EMIT presentationOverlayChanged(overlay, (QPointF(position) * devicePixelRatioF()).toPoint());
}

QWidget* MagnifierView::buildNoCapturePlaceholder() {
    QVBoxLayout* layout = nullptr;
    QWidget* page = placeholderPage(this, layout);
    page->setObjectName(QStringLiteral("noCapturePlaceholder"));
    layout->addWidget(symbolLabel(Symbol::magnifier, Qt::white, secondaryOpacity, page));
    QLabel* title = textLabel(tr("No capture active"), headlineFont(font()), true, page);
    title->setObjectName(QStringLiteral("placeholderTitle"));
    layout->addWidget(title);
    return page;
}

QWidget* MagnifierView::buildPermissionPlaceholder() {
    QVBoxLayout* layout = nullptr;
    QWidget* page = placeholderPage(this, layout);
    page->setObjectName(QStringLiteral("permissionPlaceholder"));
    layout->addWidget(symbolLabel(Symbol::warning, warningYellow, 1.0, page));
    m_permissionTitle = textLabel(QString(), headlineFont(font()), false, page);
    m_permissionTitle->setObjectName(QStringLiteral("placeholderTitle"));
    layout->addWidget(m_permissionTitle);
    m_permissionMessage = textLabel(QString(), subheadlineFont(font()), true, page);
    m_permissionMessage->setObjectName(QStringLiteral("placeholderMessage"));
    layout->addWidget(m_permissionMessage);

    m_openSettingsButton = new QPushButton(page);
    m_openSettingsButton->setObjectName(QStringLiteral("openSettingsButton"));
    pressWithEnterKey(m_openSettingsButton);
    connect(m_openSettingsButton, &QPushButton::clicked, this, [this] {
        if (m_askAgainReason.isEmpty()) {
            Q_EMIT openSystemSettingsRequested();
        } else {
            Q_EMIT askAgainRequested();
        }
    });
    layout->addWidget(m_openSettingsButton, 0, Qt::AlignHCenter);
    setAskAgainReason(QString());
    return page;
}

void MagnifierView::setAskAgainReason(const QString& reason) {
    m_askAgainReason = reason;
    const bool askAgain = !reason.isEmpty();
    // Asking again shows the system's own dialog, so one sentence is enough here.
    m_permissionTitle->setText(tr("Screen Recording Permission Required"));
    m_permissionTitle->setVisible(!askAgain);
    m_permissionMessage->setText(
        askAgain ? reason : tr("Please grant screen recording permission in System Settings"));
    const QString action = askAgain ? tr("Ask Again") : tr("Open System Settings");
    m_openSettingsButton->setText(action);
    m_openSettingsButton->setAccessibleName(action);
    m_openSettingsButton->setToolTip(action);
    m_openSettingsButton->setAccessibleDescription(action);
}

void MagnifierView::updatePlaceholder() {
    const bool noFrame = m_state.currentFrame().isNull();
    const bool permitted = m_state.hasScreenRecordingPermission();
    m_noCapturePlaceholder->setVisible(noFrame && permitted);
    m_permissionPlaceholder->setVisible(noFrame && !permitted);
}

QRectF MagnifierView::aspectFillSourceRect(const QSize& imageSize, const QSizeF& viewSize) {
    if (imageSize.isEmpty() || viewSize.isEmpty()) {
        return {};
    }
    const double scale =
        std::max(viewSize.width() / imageSize.width(), viewSize.height() / imageSize.height());
    const QSizeF visible = viewSize / scale;
    return QRectF((imageSize.width() - visible.width()) / 2.0,
                  (imageSize.height() - visible.height()) / 2.0, visible.width(), visible.height());
}

void MagnifierView::paintEvent(QPaintEvent* event) {
    QPainter painter(this);
    const QRectF source = aspectFillSourceRect(m_drawableFrame.size(), size());
    if (source.isEmpty()) {
        painter.fillRect(event->rect(), Qt::black);
        return;
    }
    // The frame covers the whole view. The painter is clipped to the exposed
    // region, so only that part is scaled, straight into the window's buffer;
    // nearest-neighbour keeps magnified pixels crisp and is the fastest.
    painter.drawImage(QRectF(rect()), m_drawableFrame, source);
}

void MagnifierView::takeFrame() {
    const QImage frame = m_state.currentFrame();
    // The raster engine scales these two formats directly; any other one is
    // converted once per frame here rather than on every paint.
    const bool drawsDirectly = frame.format() == QImage::Format_RGB32 ||
                               frame.format() == QImage::Format_ARGB32_Premultiplied;
    m_drawableFrame = frame.isNull() || drawsDirectly
                          ? frame
                          : frame.convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

void MagnifierView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    m_noCapturePlaceholder->setGeometry(rect());
    m_permissionPlaceholder->setGeometry(rect());
    m_surfaceHolder->setGeometry(rect());
    m_surface->setGeometry(rect());
    placeControls();
    updateSurface();
}

QPoint MagnifierView::controlsPosition(bool shown) const {
    const int x = (width() - m_controls->width()) / 2;
    const int y = shown ? height() - m_controls->height() : height();
    return {x, y};
}

void MagnifierView::placeControls() {
    if (m_controlsAnimation) {
        // A resize mid-animation jumps to where the animation was heading.
        m_controlsAnimation->setCurrentTime(m_controlsAnimation->totalDuration());
    }
    // The strip wraps into more rows in a narrow window and grows upwards.
    m_controls->fitWithin(size());
    m_controls->move(controlsPosition(m_controlsShown));
    m_stripPicture = QImage();
    updateOverlay();
}

void MagnifierView::setControlsShown(bool shown) {
    if (shown == m_controlsShown) {
        return;
    }
    m_controlsShown = shown;
    // Where a reversed animation starts: as far as the running one got.
    const double from = m_controlsAnimation       ? m_controlsAnimation->currentValue().toDouble()
                        : m_controls->isVisible() ? 1.0
                                                  : 0.0;
    if (m_controlsAnimation) {
        m_controlsAnimation->stop();
    }

    if (!m_controlsSnapshot->isVisible()) {
        m_controls->fitWithin(size());
        m_controlsSnapshot->takePicture(m_controls);
    }
    m_controls->hide();
    showControlsStep(from);
    m_controlsSnapshot->show();
    m_controlsSnapshot->raise();

    auto* animation = new QVariantAnimation(this);
    animation->setDuration(controlsAnimationMs);
    animation->setEasingCurve(QEasingCurve::InOutQuad);
    animation->setStartValue(from);
    animation->setEndValue(shown ? 1.0 : 0.0);
    connect(animation, &QVariantAnimation::valueChanged, this,
            [this](const QVariant& progress) { showControlsStep(progress.toDouble()); });
    connect(animation, &QAbstractAnimation::finished, this,
            [this, shown] { finishControlsAnimation(shown); });
    m_controlsAnimation = animation;
    animation->start(QAbstractAnimation::DeleteWhenStopped);
    updateOverlay();
    Q_EMIT controlsShownChanged(shown);
}

// `progress` runs from 0 (hidden below the bottom edge, transparent) to 1
// (resting on the bottom edge, opaque); the easing is already applied.
void MagnifierView::showControlsStep(double progress) {
    const QPointF hidden = controlsPosition(false);
    const QPointF shown = controlsPosition(true);
    m_controlsSnapshot->move((hidden + (shown - hidden) * progress).toPoint());
    m_controlsSnapshot->setOpacity(progress);
    if (m_controlsSnapshot->isVisible()) {
        updateOverlay();
    }
}

void MagnifierView::finishControlsAnimation(bool shown) {
    m_controlsSnapshot->hide();
    m_controlsSnapshot->dropPicture();
    if (shown) {
        m_controls->move(controlsPosition(true));
        m_controls->show();
        m_controls->raise();
    }
    m_controlsAnimation = nullptr; // it deletes itself
    m_stripPicture = QImage();
    updateOverlay();
}

void MagnifierView::enterEvent(QEnterEvent* event) {
    QWidget::enterEvent(event);
    setControlsShown(true);
}

void MagnifierView::leaveEvent(QEvent* event) {
    QWidget::leaveEvent(event);
    setControlsShown(false);
}

void MagnifierView::wheelEvent(QWheelEvent* event) {
    m_zoomInput.wheel(*event);
    event->accept();
}

void MagnifierView::keyPressEvent(QKeyEvent* event) {
    if (m_zoomInput.key(*event)) {
        event->accept();
        return;
    }
    if (ZoomInput::charactersIgnoringModifiers(*event).compare(QLatin1String("i"),
                                                               Qt::CaseInsensitive) == 0) {
        m_state.cycleColorFilter();
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event); // ignores it, so it travels on to the parent
}

bool MagnifierView::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_controls && event->type() == QEvent::Paint && !m_renderingOverlay &&
        m_surface->isVisible()) {
        m_overlayUpdate.start();
    }
    if (watched == m_surface && event->type() == QEvent::Paint) {
        // Exposed again (uncovered, mapped, resized): announcing the window
        // anew makes the capture thread draw a fresh frame into it at once.
        m_announcedWindow = 0;
        updateSurface();
    }
    return QWidget::eventFilter(watched, event);
}

} // namespace oculo
