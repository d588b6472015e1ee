#include "shell/MenuBarView.h"

#include "app/WindowRegistry.h"
#include "shell/icons/ShellSymbols.h"
#include "state/MagnifierState.h"
#include "state/ValueText.h"
#include "views/ValueSlider.h"
#include "widgets/PanelRow.h"

#include <QAbstractButton>
#include <QAction>
#include <QFontDatabase>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>

namespace oculo {

namespace {

QFrame* divider(QWidget* parent) {
    auto* line = new QFrame(parent);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Plain);
    line->setForegroundRole(QPalette::Mid);
    return line;
}

// Smaller text in the muted colour, as menu section headings are.
QLabel* captionLabel(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    QFont font = label->font();
    font.setPointSizeF(font.pointSizeF() * 0.85);
    label->setFont(font);
    label->setForegroundRole(QPalette::PlaceholderText);
    label->setContentsMargins(8, 4, 8, 2);
    return label;
}

// A fixed-pitch value label, sized for its widest text so the row never jumps.
QLabel* valueLabel(const QString& widestText, const QString& accessibleName, QWidget* parent) {
    auto* label = new QLabel(parent);
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPointSizeF(parent->font().pointSizeF() * 0.85);
    label->setFont(font);
    label->setFixedWidth(QFontMetrics(font).horizontalAdvance(widestText) + 2);
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    label->setAccessibleName(accessibleName);
    return label;
}

QToolButton* iconButton(ShellSymbol symbol, const QString& accessibleName, QWidget* parent) {
    auto* button = new QToolButton(parent);
    button->setIcon(shellSymbolIcon(symbol, parent->palette()));
    button->setAutoRaise(true);
    button->setToolTip(accessibleName);
    button->setAccessibleName(accessibleName);
    return button;
}

PanelRow* menuRow(ShellSymbol symbol, const QString& label, bool hasCheckmark, QWidget* parent) {
    auto* row = new PanelRow(shellSymbolDrawing(symbol), label, parent);
    if (hasCheckmark) {
        row->setCheckmark(shellSymbolDrawing(ShellSymbol::checkmark));
    }
    return row;
}

ShellSymbol filterSymbol(ColorFilter filter) {
    switch (filter) {
    case ColorFilter::none:
        break;
    case ColorFilter::invertLightness:
        return ShellSymbol::invertLightness;
    case ColorFilter::invert:
        return ShellSymbol::invertColors;
    case ColorFilter::grayscale:
        return ShellSymbol::grayscale;
    }
    return ShellSymbol::noFilter;
}

} // namespace

MenuBarView::MenuBarView(WindowRegistry& registry, QWidget* parent)
    : QWidget(parent)
    , m_registry(registry)
    , m_active(registry) {
    buildRows();
    connect(&m_active, &ActiveStateFollower::changed, this, &MenuBarView::refresh);
    refresh();
}

MenuBarView::~MenuBarView() = default;

void MenuBarView::buildRows() {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(5, 5, 5, 5);
    layout->setSpacing(1);

    connect(addCommandRow(layout, ShellSymbol::newWindow, tr("New Magnifier Window"),
                          QKeySequence(Qt::CTRL | Qt::Key_N)),
            &QAction::triggered, this, [this] {
                Q_EMIT dismissRequested();
                m_registry.createNewWindow();
            });

    m_stateSection = new QWidget(this);
    auto* stateLayout = new QVBoxLayout(m_stateSection);
    stateLayout->setContentsMargins(0, 0, 0, 0);
    stateLayout->setSpacing(1);
    layout->addWidget(m_stateSection);

    m_countSection = new QWidget(m_stateSection);
    auto* countLayout = new QVBoxLayout(m_countSection);
    countLayout->setContentsMargins(0, 0, 0, 0);
    countLayout->setSpacing(1);
    countLayout->addWidget(divider(m_countSection));
    m_countLabel = captionLabel(QString(), m_countSection);
    countLayout->addWidget(m_countLabel);
    stateLayout->addWidget(m_countSection);

    stateLayout->addWidget(divider(m_stateSection));
    stateLayout->addWidget(captionLabel(tr("Mode"), m_stateSection));

    m_followMouseRow = menuRow(ShellSymbol::followMouse, tr("Follow Mouse"), true, m_stateSection);
    connect(m_followMouseRow, &QAbstractButton::clicked, this, [this] {
        if (m_active.state() && m_active.state()->mode() != MagnificationMode::followMouse) {
            m_active.state()->setMode(MagnificationMode::followMouse);
        }
    });
    stateLayout->addWidget(m_followMouseRow);

    m_fixedRegionRow = menuRow(ShellSymbol::fixedRegion, tr("Fixed Region"), true, m_stateSection);
    connect(m_fixedRegionRow, &QAbstractButton::clicked, this, &MenuBarView::chooseFixedRegion);
    stateLayout->addWidget(m_fixedRegionRow);

    auto* selectRow =
        menuRow(ShellSymbol::selectRegion, tr("Select New Region..."), false, m_stateSection);
    connect(selectRow, &QAbstractButton::clicked, this, &MenuBarView::startRegionSelection);
    stateLayout->addWidget(selectRow);

    m_adjustRegionRow =
        menuRow(ShellSymbol::adjustRegion, tr("Move/Resize Region..."), false, m_stateSection);
    connect(m_adjustRegionRow, &QAbstractButton::clicked, this, [this] {
        if (m_active.state()) {
            Q_EMIT dismissRequested();
            m_active.state()->startRegionAdjustment();
        }
    });
    stateLayout->addWidget(m_adjustRegionRow);

    stateLayout->addWidget(divider(m_stateSection));
    stateLayout->addWidget(captionLabel(tr("Zoom"), m_stateSection));
    auto* zoomRow = new QWidget(m_stateSection);
    auto* zoomLayout = new QHBoxLayout(zoomRow);
    zoomLayout->setContentsMargins(8, 0, 8, 2);
    zoomLayout->setSpacing(4);
    m_zoomOutButton = iconButton(ShellSymbol::zoomOut, tr("Zoom Out"), zoomRow);
    connect(m_zoomOutButton, &QToolButton::clicked, this,
            [this] { stepZoom(-MagnifierState::zoomStep); });
    m_zoomSlider = ValueSlider::zoom(zoomRow);
    m_zoomSlider->setFixedWidth(100);
    m_zoomSlider->setAccessibleName(tr("Zoom Level"));
    connect(m_zoomSlider, &ValueSlider::valueChosen, this, [this](double zoom) {
        if (m_active.state()) {
            m_active.state()->setZoomLevel(zoom);
        }
    });
    m_zoomInButton = iconButton(ShellSymbol::zoomIn, tr("Zoom In"), zoomRow);
    connect(m_zoomInButton, &QToolButton::clicked, this,
            [this] { stepZoom(MagnifierState::zoomStep); });
    m_zoomText =
        valueLabel(valuetext::zoomLevel(10.0) + QLatin1Char('x'), tr("Zoom Level"), zoomRow);
    zoomLayout->addWidget(m_zoomOutButton);
    zoomLayout->addWidget(m_zoomSlider);
    zoomLayout->addWidget(m_zoomInButton);
    zoomLayout->addWidget(m_zoomText);
    zoomLayout->addStretch();
    stateLayout->addWidget(zoomRow);

    stateLayout->addWidget(divider(m_stateSection));
    stateLayout->addWidget(captionLabel(tr("Transparency"), m_stateSection));
    m_transparencyRow = new QWidget(m_stateSection);
    auto* transparencyLayout = new QHBoxLayout(m_transparencyRow);
    transparencyLayout->setContentsMargins(8, 0, 8, 2);
    transparencyLayout->setSpacing(4);
    auto* transparencySymbol = new QLabel(m_transparencyRow);
    transparencySymbol->setPixmap(
        shellSymbolIcon(ShellSymbol::transparency, palette()).pixmap(QSize(16, 16)));
    transparencySymbol->setFixedWidth(16);
    transparencySymbol->setAccessibleName(tr("Transparency"));
    m_transparencySlider = ValueSlider::transparency(m_transparencyRow);
    m_transparencySlider->setFixedWidth(100);
    m_transparencySlider->setAccessibleName(tr("Transparency"));
    connect(m_transparencySlider, &ValueSlider::valueChosen, this, [this](double transparency) {
        if (m_active.state()) {
            m_active.state()->setWindowTransparency(transparency);
        }
    });
    m_transparencyText = valueLabel(QLocale().toString(100) + QLatin1Char('%'),
                                    tr("Transparency Level"), m_transparencyRow);
    transparencyLayout->addWidget(transparencySymbol);
    transparencyLayout->addWidget(m_transparencySlider);
    transparencyLayout->addWidget(m_transparencyText);
    transparencyLayout->addStretch();
    stateLayout->addWidget(m_transparencyRow);

    m_keepActiveRow =
        menuRow(ShellSymbol::keepWindowActive, tr("Keep Window Active"), true, m_stateSection);
    connect(m_keepActiveRow, &QAbstractButton::clicked, this, [this] {
        if (m_active.state()) {
            m_active.state()->setKeepWindowActive(!m_active.state()->keepWindowActive());
        }
    });
    stateLayout->addWidget(m_keepActiveRow);

    m_staySpaceRow =
        menuRow(ShellSymbol::stayInCurrentSpace, tr("Stay in Current Space"), true, m_stateSection);
    connect(m_staySpaceRow, &QAbstractButton::clicked, this, [this] {
        if (m_active.state()) {
            m_active.state()->setStayInCurrentSpace(!m_active.state()->stayInCurrentSpace());
        }
    });
    stateLayout->addWidget(m_staySpaceRow);

    m_followFocusRow =
        menuRow(ShellSymbol::followFocus, tr("Follow Keyboard Focus"), true, m_stateSection);
    connect(m_followFocusRow, &QAbstractButton::clicked, this, [this] {
        if (m_active.state()) {
            m_active.state()->setFollowFocus(!m_active.state()->followFocus());
        }
    });
    stateLayout->addWidget(m_followFocusRow);
    buildPictureRows(stateLayout);

    layout->addWidget(divider(this));
    m_updateSlot = new QVBoxLayout;
    m_updateSlot->setContentsMargins(0, 0, 0, 0);
    layout->addLayout(m_updateSlot);

    connect(addCommandRow(layout, ShellSymbol::settings, tr("Settings…"),
                          QKeySequence(Qt::CTRL | Qt::Key_Comma)),
            &QAction::triggered, this, [this] {
                Q_EMIT dismissRequested();
                Q_EMIT settingsRequested();
            });
    connect(addCommandRow(layout, ShellSymbol::quit, tr("Quit Oculo"),
                          QKeySequence(Qt::CTRL | Qt::Key_Q)),
            &QAction::triggered, this, [this] {
                Q_EMIT dismissRequested();
                m_registry.quit();
            });
}

void MenuBarView::buildPictureRows(QVBoxLayout* layout) {
    layout->addWidget(divider(m_stateSection));
    layout->addWidget(captionLabel(tr("Picture"), m_stateSection));
    for (const ColorFilter filter : MagnifierState::colorFilterOrder()) {
        auto* row =
            menuRow(filterSymbol(filter), valuetext::colorFilterName(filter), true, m_stateSection);
        connect(row, &QAbstractButton::clicked, this, [this, filter] {
            if (m_active.state()) {
                m_active.state()->setColorFilter(filter);
            }
        });
        m_filterRows.append({filter, row});
        layout->addWidget(row);
    }

    m_smoothRow = menuRow(ShellSymbol::smoothScaling, tr("Smooth Scaling"), true, m_stateSection);
    connect(m_smoothRow, &QAbstractButton::clicked, this, [this] {
        if (m_active.state()) {
            m_active.state()->setSmoothing(m_active.state()->smoothing() == Scaling::smooth
                                               ? Scaling::pixels
                                               : Scaling::smooth);
        }
    });
    layout->addWidget(m_smoothRow);

    m_crosshairRow = menuRow(ShellSymbol::crosshair, tr("Crosshair"), true, m_stateSection);
    connect(m_crosshairRow, &QAbstractButton::clicked, this, [this] {
        if (m_active.state()) {
            m_active.state()->setCrosshair(!m_active.state()->crosshair());
        }
    });
    layout->addWidget(m_crosshairRow);
}

QAction* MenuBarView::addCommandRow(QVBoxLayout* layout, ShellSymbol symbol, const QString& label,
                                    const QKeySequence& keys) {
    auto* action = new QAction(label, this);
    action->setShortcut(keys);
    addAction(action);
    m_applicationActions.append(action);
    auto* row = menuRow(symbol, label, false, this);
    row->setShortcutText(keys);
    connect(row, &QAbstractButton::clicked, action, &QAction::trigger);
    layout->addWidget(row);
    return action;
}

void MenuBarView::setUpdateItem(QWidget* item) {
    delete m_updateItem;
    m_updateItem = item;
    if (item) {
        item->setParent(this);
        m_updateSlot->addWidget(item);
    }
}

void MenuBarView::refresh() {
    const MagnifierState* state = m_active.state();
    const int count = m_registry.windowCount();
    m_stateSection->setVisible(state != nullptr);
    m_countSection->setVisible(state != nullptr && count > 1);
    m_countLabel->setText(tr("%1 windows open").arg(count));
    if (!state) {
        return;
    }

    const WindowingLimits& limits = state->windowingLimits();
    // A row the windowing system cannot honour is disabled and says why.
    const auto offer = [](QWidget* row, bool allowed, const QString& reason) {
        row->setToolTip(allowed ? QString() : reason);
        return allowed;
    };

    m_followMouseRow->setChecked(state->mode() == MagnificationMode::followMouse);
    m_followMouseRow->setEnabled(offer(m_followMouseRow, state->followUnavailableReason().isEmpty(),
                                       state->followUnavailableReason()));
    m_fixedRegionRow->setChecked(state->mode() == MagnificationMode::fixedRegion);
    m_adjustRegionRow->setEnabled(state->fixedRegion().has_value());

    const double zoom = state->zoomLevel();
    m_zoomSlider->showValue(zoom);
    m_zoomOutButton->setEnabled(zoom > MagnifierState::minZoom);
    m_zoomInButton->setEnabled(zoom < MagnifierState::maxZoom);
    m_zoomText->setText(valuetext::zoomLevel(zoom) + QLatin1Char('x'));

    const double alpha = state->windowTransparency();
    m_transparencySlider->showValue(alpha);
    m_transparencyText->setText(valuetext::transparencyPercent(alpha) + QLatin1Char('%'));
    // An always-opaque window has no transparency to set.
    m_transparencyRow->setEnabled(offer(m_transparencyRow, limits.canSetOpacity, limits.reason) &&
                                  !state->keepWindowActive());

    m_keepActiveRow->setChecked(state->keepWindowActive());
    m_keepActiveRow->setEnabled(offer(m_keepActiveRow, limits.canSetOpacity, limits.reason));
    m_staySpaceRow->setChecked(state->stayInCurrentSpace());
    m_staySpaceRow->setEnabled(offer(m_staySpaceRow, limits.canShowOnAllDesktops, limits.reason));
    m_followFocusRow->setChecked(state->followFocus());
    // A fixed region stays where it is, whatever the keyboard does.
    m_followFocusRow->setEnabled(state->mode() == MagnificationMode::followMouse);

    for (const auto& [filter, row] : m_filterRows) {
        row->setChecked(state->colorFilter() == filter);
    }
    m_smoothRow->setChecked(state->smoothing() == Scaling::smooth);
    m_crosshairRow->setChecked(state->crosshair());
}

void MenuBarView::chooseFixedRegion() {
    if (!m_active.state()) {
        return;
    }
    if (!m_active.state()->fixedRegion()) {
        // Nothing to show yet: let the user draw the region; the mode follows
        // when the selection completes.
        startRegionSelection();
    } else if (m_active.state()->mode() != MagnificationMode::fixedRegion) {
        m_active.state()->setMode(MagnificationMode::fixedRegion);
    }
}

void MenuBarView::startRegionSelection() {
    if (m_active.state()) {
        Q_EMIT dismissRequested();
        m_active.state()->setIsSelectingRegion(true);
    }
}

void MenuBarView::stepZoom(double delta) {
    if (m_active.state()) {
        m_active.state()->setZoomLevel(std::clamp(m_active.state()->zoomLevel() + delta,
                                                  MagnifierState::minZoom,
                                                  MagnifierState::maxZoom));
    }
}

} // namespace oculo
