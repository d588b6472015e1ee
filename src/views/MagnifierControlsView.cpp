#include "views/MagnifierControlsView.h"

#include "state/MagnifierState.h"
#include "state/ValueText.h"
#include "views/ControlButton.h"
#include "views/FlowRowLayout.h"
#include "views/Symbols.h"
#include "views/ValueSlider.h"

#include <QFontDatabase>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QPainter>
#include <QPainterPath>

#include <utility>

namespace oculo {

namespace {

constexpr int cornerRadius = 12;
constexpr int horizontalPadding = 16;
constexpr int verticalPadding = 10;
constexpr int spacing = 16;
constexpr int rowSpacing = 10;
constexpr int groupSpacing = 8;
constexpr int dividerHeight = 24;
constexpr int zoomSliderWidth = 80;
constexpr int transparencySliderWidth = 60;
constexpr double disabledOpacity = 0.5;
constexpr int modeSymbolSizePx = 16;
constexpr int symbolSizePx = 14;
constexpr int smallSymbolSizePx = 12;
constexpr int zoomTextWidth = 30;
constexpr int transparencyTextWidth = 28;
const QColor secondaryColor(255, 255, 255, 150);

const QLatin1String blueTint("blue");
const QLatin1String orangeTint("orange");
const QLatin1String greenTint("green");

// The strip floats over arbitrary screen content, so it carries its own dark,
// translucent look instead of the desktop palette.
const char* const stripStyleSheet = R"(
QToolButton {
    color: white;
    background: rgba(255, 255, 255, 30);
    border: 1px solid rgba(255, 255, 255, 60);
    border-radius: 6px;
    padding: 3px;
}
QToolButton:hover { background: rgba(255, 255, 255, 55); }
QToolButton:pressed, QToolButton:checked {
    background: rgba(255, 255, 255, 90);
    border-color: rgba(255, 255, 255, 120);
}
QToolButton:focus { border-color: rgba(120, 180, 255, 240); }
QToolButton[tint="blue"] { background: rgba(10, 132, 255, 200); border-color: rgb(10, 132, 255); }
QToolButton[tint="orange"] { background: rgba(255, 159, 10, 200); border-color: rgb(255, 159, 10); }
QToolButton[tint="green"] { background: rgba(48, 209, 88, 200); border-color: rgb(48, 209, 88); }
QLabel { color: white; }
QFrame#divider { background: rgba(255, 255, 255, 70); border: none; }
)";

QFont readoutFont() {
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPixelSize(12);
    font.setWeight(QFont::Medium);
    return font;
}

QLabel* symbolLabel(Symbol symbol, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setPixmap(symbolPixmap(symbol, smallSymbolSizePx, Qt::white, secondaryColor.alphaF(),
                                  parent->devicePixelRatioF()));
    label->setProperty("symbol", symbolName(symbol));
    return label;
}

QLabel* readoutLabel(const QString& text, int width, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setFont(readoutFont());
    if (width > 0) {
        label->setFixedWidth(width);
        label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    }
    return label;
}

// A divider keeps its size as a hint only, so that the row layout can
// collapse one that would stand at the start or end of a row.
class Divider : public QFrame {
public:
    explicit Divider(QWidget* parent)
        : QFrame(parent) {
        setObjectName(QStringLiteral("divider"));
        setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    }
    QSize sizeHint() const override { return {1, dividerHeight}; }
    QSize minimumSizeHint() const override { return sizeHint(); }
};

QHBoxLayout* groupLayout(QWidget* group) {
    auto* layout = new QHBoxLayout(group);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(groupSpacing);
    return layout;
}

ControlButton* button(const QString& objectName, const QString& accessibleName, int sizePx,
                      QWidget* parent) {
    auto* control = new ControlButton(accessibleName, sizePx, parent);
    control->setObjectName(objectName);
    return control;
}

} // namespace

MagnifierControlsView::MagnifierControlsView(MagnifierState& state, QWidget* parent)
    : QWidget(parent)
    , m_state(state) {
    setObjectName(QStringLiteral("magnifierControls"));
    setStyleSheet(QLatin1String(stripStyleSheet));

    // The material is painted by the strip; the rows sit inside its padding.
    m_content = new QWidget(this);
    m_content->setObjectName(QStringLiteral("controlsContent"));

    m_rows = new FlowRowLayout(m_content);
    m_rows->setContentsMargins(horizontalPadding, verticalPadding, horizontalPadding,
                               verticalPadding);
    m_rows->setSpacing(spacing);
    m_rows->setRowSpacing(rowSpacing);
    // The strip sizes the content itself, from the rows' height for its width.
    m_rows->setSizeConstraint(QLayout::SetNoConstraint);

    QWidget* const parentOfControls = m_content;
    m_modeButton = button(QStringLiteral("modeButton"), tr("Magnification Mode"), modeSymbolSizePx,
                          parentOfControls);
    m_regionButton =
        button(QStringLiteral("regionButton"), tr("Adjust Region"), symbolSizePx, parentOfControls);
    m_regionButton->setSymbol(Symbol::adjustRegion);
    m_regionButton->setHelp(tr("Move or resize the captured region"));

    m_keepActiveButton = button(QStringLiteral("keepActiveButton"), tr("Keep Window Opaque"),
                                symbolSizePx, parentOfControls);
    m_hideWhileMovingButton =
        button(QStringLiteral("hideWhileMovingButton"), tr("Hide While Cursor Moving"),
               symbolSizePx, parentOfControls);
    m_stayInSpaceButton = button(QStringLiteral("stayInSpaceButton"), tr("Stay in Current Space"),
                                 symbolSizePx, parentOfControls);
    for (ControlButton* toggle :
         {m_keepActiveButton, m_hideWhileMovingButton, m_stayInSpaceButton}) {
        toggle->setCheckable(true);
    }
    m_dockTopButton =
        button(QStringLiteral("dockTopButton"), tr("Dock to Top"), symbolSizePx, parentOfControls);
    m_dockBottomButton = button(QStringLiteral("dockBottomButton"), tr("Dock to Bottom"),
                                symbolSizePx, parentOfControls);

    // The groups are single items, so a wrap never splits them apart.
    m_rows->addWidget(m_modeButton);
    m_rows->addWidget(m_regionButton);
    m_rows->addSeparator(new Divider(parentOfControls));
    m_rows->addWidget(buildZoomGroup());
    m_rows->addSeparator(new Divider(parentOfControls));
    m_rows->addWidget(buildTransparencyGroup());
    m_rows->addWidget(m_keepActiveButton);
    m_rows->addWidget(m_hideWhileMovingButton);
    m_rows->addWidget(m_stayInSpaceButton);
    m_rows->addWidget(m_dockTopButton);
    m_rows->addWidget(m_dockBottomButton);

    m_leftOutFirst = {m_zoomSymbol,
                      m_transparencySymbol,
                      m_zoomSlider,
                      m_transparencyGroup,
                      m_dockBottomButton,
                      m_dockTopButton,
                      m_hideWhileMovingButton,
                      m_keepActiveButton,
                      m_stayInSpaceButton,
                      m_regionButton,
                      m_modeButton};

    connectActions();

    connect(&m_state, &MagnifierState::fixedRegionChanged, this, &MagnifierControlsView::refresh);
    connect(&m_state, &MagnifierState::modeChanged, this, &MagnifierControlsView::refresh);
    connect(&m_state, &MagnifierState::zoomLevelChanged, this, &MagnifierControlsView::refresh);
    connect(&m_state, &MagnifierState::windowTransparencyChanged, this,
            &MagnifierControlsView::refresh);
    connect(&m_state, &MagnifierState::keepWindowActiveChanged, this,
            &MagnifierControlsView::refresh);
    connect(&m_state, &MagnifierState::hideWhileMovingChanged, this,
            &MagnifierControlsView::refresh);
    connect(&m_state, &MagnifierState::stayInCurrentSpaceChanged, this,
            &MagnifierControlsView::refresh);
    connect(&m_state, &MagnifierState::dockPositionChanged, this, &MagnifierControlsView::refresh);
    connect(&m_state, &MagnifierState::followUnavailableReasonChanged, this,
            &MagnifierControlsView::refresh);

    refresh();
    resize(sizeHint());
}

QSize MagnifierControlsView::sizeHint() const {
    return m_rows->sizeHint().grownBy(
        QMargins(outerPadding, outerPadding, outerPadding, outerPadding));
}

int MagnifierControlsView::rowCount() const {
    return m_rows->rowCountForWidth(m_content->width());
}

void MagnifierControlsView::fitWithin(const QSize& available) {
    const QMargins padding(outerPadding, outerPadding, outerPadding, outerPadding);
    const QSize room = available.shrunkBy(padding).expandedTo(QSize(0, 0));
    const auto fits = [&] {
        const QSize rows = m_rows->sizeForWidth(room.width());
        return rows.width() <= room.width() && rows.height() <= room.height();
    };
    const auto setShown = [](QWidget* control, bool shown) {
        if (control->isHidden() == shown) {
            control->setVisible(shown);
            // A group holding the control changes its size hint.
            control->parentWidget()->updateGeometry();
        }
    };
    for (QWidget* control : std::as_const(m_leftOutFirst)) {
        setShown(control, true);
    }
    for (QWidget* control : std::as_const(m_leftOutFirst)) {
        if (fits()) {
            break;
        }
        setShown(control, false);
    }
    // Hug the widest row, so the material does not stretch past the controls.
    const QSize content = m_rows->sizeForWidth(room.width()).boundedTo(room);
    m_content->setGeometry(QRect(QPoint(outerPadding, outerPadding), content));
    m_rows->setGeometry(m_content->rect()); // now: a hidden strip gets no resize event
    resize(content.grownBy(padding));
}

QWidget* MagnifierControlsView::buildZoomGroup() {
    auto* group = new QWidget(m_content);
    group->setObjectName(QStringLiteral("zoomGroup"));
    auto* layout = groupLayout(group);

    m_zoomOutButton = button(QStringLiteral("zoomOutButton"), tr("Zoom Out"), symbolSizePx, group);
    m_zoomOutButton->setSymbol(Symbol::zoomOut);
    m_zoomInButton = button(QStringLiteral("zoomInButton"), tr("Zoom In"), symbolSizePx, group);
    m_zoomInButton->setSymbol(Symbol::zoomIn);

    m_zoomSlider = ValueSlider::zoom(group);
    m_zoomSlider->setObjectName(QStringLiteral("zoomSlider"));
    m_zoomSlider->setAccessibleName(tr("Zoom"));
    m_zoomSlider->setFixedWidth(zoomSliderWidth);
    m_zoomSlider->setFocusPolicy(Qt::TabFocus);

    m_zoomText = readoutLabel(QString(), zoomTextWidth, group);
    m_zoomText->setObjectName(QStringLiteral("zoomText"));

    m_zoomSymbol = symbolLabel(Symbol::magnifier, group);
    layout->addWidget(m_zoomSymbol);
    layout->addWidget(m_zoomOutButton);
    layout->addWidget(m_zoomSlider);
    layout->addWidget(m_zoomInButton);
    layout->addWidget(m_zoomText);
    layout->addWidget(readoutLabel(QStringLiteral("x"), 0, group));
    return group;
}

QWidget* MagnifierControlsView::buildTransparencyGroup() {
    m_transparencyGroup = new QWidget(m_content);
    m_transparencyGroup->setObjectName(QStringLiteral("transparencyGroup"));
    const QString help = tr("Window transparency when unfocused");
    m_transparencyGroup->setToolTip(help);
    auto* layout = groupLayout(m_transparencyGroup);

    m_transparencySlider = ValueSlider::transparency(m_transparencyGroup);
    m_transparencySlider->setObjectName(QStringLiteral("transparencySlider"));
    m_transparencySlider->setAccessibleName(tr("Transparency When Unfocused"));
    m_transparencySlider->setAccessibleDescription(help);
    m_transparencySlider->setFixedWidth(transparencySliderWidth);
    m_transparencySlider->setFocusPolicy(Qt::TabFocus);

    m_transparencyText = readoutLabel(QString(), transparencyTextWidth, m_transparencyGroup);
    m_transparencyText->setObjectName(QStringLiteral("transparencyText"));

    m_transparencySymbol = symbolLabel(Symbol::transparency, m_transparencyGroup);
    layout->addWidget(m_transparencySymbol);
    layout->addWidget(m_transparencySlider);
    layout->addWidget(m_transparencyText);
    layout->addWidget(readoutLabel(QStringLiteral("%"), 0, m_transparencyGroup));
    return m_transparencyGroup;
}

void MagnifierControlsView::connectActions() {
    // Each action writes the state, then redraws from it, so a write the state
    // refuses or leaves unchanged still shows the state's value.
    const auto act = [this](QAbstractButton* control, auto action) {
        connect(control, &QAbstractButton::clicked, this, [this, action](bool checked) {
            action(checked);
            refresh();
        });
    };
    act(m_modeButton, [this](bool) {
        // Where the pointer cannot be followed, the button only chooses another region.
        if (m_state.mode() == MagnificationMode::followMouse ||
            !m_state.followUnavailableReason().isEmpty()) {
            m_state.setIsSelectingRegion(true);
        } else {
            m_state.setMode(MagnificationMode::followMouse);
        }
    });
    act(m_regionButton, [this](bool) { m_state.startRegionAdjustment(); });
    act(m_zoomOutButton, [this](bool) { m_state.zoomOut(); });
    act(m_zoomInButton, [this](bool) { m_state.zoomIn(); });
    act(m_keepActiveButton, [this](bool on) { m_state.setKeepWindowActive(on); });
    act(m_hideWhileMovingButton, [this](bool on) { m_state.setHideWhileMoving(on); });
    act(m_stayInSpaceButton, [this](bool on) { m_state.setStayInCurrentSpace(on); });
    act(m_dockTopButton, [this](bool) {
        m_state.setDockPosition(m_state.dockPosition() == DockPosition::top ? DockPosition::none
                                                                            : DockPosition::top);
    });
    act(m_dockBottomButton, [this](bool) {
        m_state.setDockPosition(m_state.dockPosition() == DockPosition::bottom
                                    ? DockPosition::none
                                    : DockPosition::bottom);
    });

    connect(m_zoomSlider, &ValueSlider::valueChosen, this,
            [this](double zoom) { m_state.setZoomLevel(zoom); });
    connect(m_transparencySlider, &ValueSlider::valueChosen, this,
            [this](double transparency) { m_state.setWindowTransparency(transparency); });
}

QString MagnifierControlsView::formatZoom(double zoomLevel) {
    return valuetext::zoomLevel(zoomLevel);
}

QString MagnifierControlsView::formatTransparency(double transparency) {
    return valuetext::transparencyPercent(transparency);
}

void MagnifierControlsView::refresh() {
    const bool followMouse = m_state.mode() == MagnificationMode::followMouse;
    const DockPosition dock = m_state.dockPosition();
    const bool stay = m_state.stayInCurrentSpace();
    const bool keepActive = m_state.keepWindowActive();
    const bool hide = m_state.hideWhileMoving();
    const double zoom = m_state.zoomLevel();
    const WindowingLimits& limits = m_state.windowingLimits();
    const QString followUnavailable = m_state.followUnavailableReason();
    // A control the windowing system cannot honour is drawn disabled and says why.
    const auto offer = [](ControlButton* control, bool enabled, bool allowed,
                          const QString& reason) {
        control->setEnabled(enabled && allowed);
        setDrawnOpacity(control, enabled && allowed ? 1.0 : disabledOpacity);
        if (!allowed) {
            control->setHelp(reason);
        }
    };

    m_modeButton->setSymbol(followMouse ? Symbol::followMouse : Symbol::fixedRegion);
    m_modeButton->setHelp(followMouse                   ? tr("Switch to Fixed Region")
                          : followUnavailable.isEmpty() ? tr("Switch to Follow Mouse")
                                                        : followUnavailable);

    m_regionButton->setEnabled(!followMouse && m_state.fixedRegion().has_value());

    m_zoomOutButton->setEnabled(zoom > MagnifierState::minZoom);
    m_zoomInButton->setEnabled(zoom < MagnifierState::maxZoom);
    m_zoomSlider->showValue(zoom);
    m_zoomText->setText(formatZoom(zoom));

    m_transparencySlider->showValue(m_state.windowTransparency());
    m_transparencySlider->setEnabled(!keepActive && limits.canSetOpacity);
    m_transparencyText->setText(formatTransparency(m_state.windowTransparency()));
    m_transparencyGroup->setToolTip(limits.canSetOpacity ? tr("Window transparency when unfocused")
                                                         : limits.reason);
    setDrawnOpacity(m_transparencyGroup,
                    keepActive || !limits.canSetOpacity ? disabledOpacity : 1.0);

    m_keepActiveButton->setChecked(keepActive);
    m_keepActiveButton->setSymbol(keepActive ? Symbol::pinned : Symbol::unpinned);
    m_keepActiveButton->setHelp(keepActive ? tr("Window stays opaque (ON)")
                                           : tr("Keep window always opaque (OFF)"));
    m_keepActiveButton->setTint(keepActive ? QString(blueTint) : QString());
    offer(m_keepActiveButton, true, limits.canSetOpacity, limits.reason);

    m_hideWhileMovingButton->setChecked(hide);
    m_hideWhileMovingButton->setSymbol(hide ? Symbol::hideWhileMovingOn
                                            : Symbol::hideWhileMovingOff);
    m_hideWhileMovingButton->setHelp(hide ? tr("Hide while cursor moving (ON)")
                                          : tr("Hide while cursor moving (OFF)"));
    m_hideWhileMovingButton->setTint(hide ? QString(orangeTint) : QString());
    offer(m_hideWhileMovingButton, followMouse, limits.canSetOpacity, limits.reason);

    m_stayInSpaceButton->setChecked(stay);
    m_stayInSpaceButton->setSymbol(stay ? Symbol::stayInSpace : Symbol::followAcrossSpaces);
    m_stayInSpaceButton->setHelp(stay ? tr("Stays in current space (ON)")
                                      : tr("Follows across spaces (OFF)"));
    m_stayInSpaceButton->setTint(stay ? QString(blueTint) : QString());
    offer(m_stayInSpaceButton, true, limits.canShowOnAllDesktops, limits.reason);

    const QString enableStayFirst = tr("Enable 'Stay in Current Space' first");
    const bool dockedTop = dock == DockPosition::top;
    m_dockTopButton->setSymbol(dockedTop ? Symbol::dockTopActive : Symbol::dockTop);
    m_dockTopButton->setHelp(dockedTop ? tr("Undock from top")
                             : stay    ? tr("Dock to top")
                                       : enableStayFirst);
    m_dockTopButton->setTint(dockedTop ? QString(greenTint) : QString());

    const bool dockedBottom = dock == DockPosition::bottom;
    m_dockBottomButton->setSymbol(dockedBottom ? Symbol::dockBottomActive : Symbol::dockBottom);
    m_dockBottomButton->setHelp(dockedBottom ? tr("Undock from bottom")
                                : stay       ? tr("Dock to bottom")
                                             : enableStayFirst);
    m_dockBottomButton->setTint(dockedBottom ? QString(greenTint) : QString());

    for (ControlButton* dockButton : {m_dockTopButton, m_dockBottomButton}) {
        offer(dockButton, stay, limits.canDock(), limits.reason);
    }
}

void MagnifierControlsView::paintEvent(QPaintEvent*) {
    const qreal ratio = devicePixelRatioF();
    if (m_material.size() != size() * ratio ||
        !qFuzzyCompare(m_material.devicePixelRatio(), ratio)) {
        QPixmap material(size() * ratio);
        material.setDevicePixelRatio(ratio);
        material.fill(Qt::transparent);
        QPainter painter(&material);
        painter.setRenderHint(QPainter::Antialiasing);
        const QRectF area =
            QRectF(rect()).adjusted(outerPadding, outerPadding, -outerPadding, -outerPadding);
        QPainterPath path;
        path.addRoundedRect(area, cornerRadius, cornerRadius);
        painter.fillPath(path, QColor(28, 28, 30, 190));
        painter.setPen(QPen(QColor(255, 255, 255, 45), 1.0));
        painter.drawPath(path);
        painter.end();
        m_material = material;
    }
    QPainter painter(this);
    painter.drawPixmap(0, 0, m_material);
}

} // namespace oculo
