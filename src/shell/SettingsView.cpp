#include "shell/SettingsView.h"

#include "app/WindowRegistry.h"
#include "shell/icons/ShellSymbols.h"
#include "state/MagnifierState.h"
#include "state/ValueText.h"
#include "views/ValueSlider.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFontDatabase>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

namespace oculo {
namespace {

QFont fixedPitchFont(const QFont& base) {
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPointSizeF(base.pointSizeF());
    return font;
}

QLabel* secondaryLabel(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setForegroundRole(QPalette::PlaceholderText);
    return label;
}

QPushButton* newWindowButton(const QString& objectName, QWidget* parent) {
    auto* button = new QPushButton(SettingsView::tr("New Window"), parent);
    button->setObjectName(objectName);
    button->setAccessibleName(SettingsView::tr("New Window"));
    return button;
}

} // namespace

SettingsView::SettingsView(WindowRegistry& registry, QWidget* parent)
    : QWidget(parent)
    , m_registry(registry)
    , m_active(registry) {
    setWindowTitle(tr("Oculo Settings"));

    // The form scrolls rather than clips when fonts are larger than expected.
    auto* scroll = new QScrollArea(this);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    auto* content = new QWidget(scroll);
    auto* sections = new QVBoxLayout(content);
    sections->addWidget(buildMagnificationSection());
    sections->addWidget(buildModeSection());
    sections->addWidget(buildPictureSection());
    sections->addWidget(buildNoWindowSection());
    sections->addWidget(buildWindowsSection());
    sections->addWidget(buildShortcutsSection());
    sections->addStretch();
    m_sections = sections;
    scroll->setWidget(content);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(scroll);
    resize(sizeHint());

    connect(&m_active, &ActiveStateFollower::changed, this, &SettingsView::refresh);
    refresh();
}

SettingsView::~SettingsView() = default;

void SettingsView::addSection(QWidget* section) {
    m_sections->insertWidget(m_sections->count() - 1, section);
}

QGroupBox* SettingsView::buildMagnificationSection() {
    m_magnificationSection = new QGroupBox(tr("Magnification"), this);
    auto* form = new QFormLayout(m_magnificationSection);
    auto* row = new QHBoxLayout;
    m_zoomSlider = ValueSlider::zoom(m_magnificationSection);
    m_zoomSlider->setFixedWidth(150);
    m_zoomSlider->setAccessibleName(tr("Default Zoom Level"));
    connect(m_zoomSlider, &ValueSlider::valueChosen, this, [this](double zoom) {
        if (m_active.state()) {
            m_active.state()->setZoomLevel(zoom);
        }
    });
    m_zoomText = new QLabel(m_magnificationSection);
    m_zoomText->setFont(fixedPitchFont(font()));
    m_zoomText->setFixedWidth(
        m_zoomText->fontMetrics().horizontalAdvance(valuetext::zoomLevel(10.0) + QLatin1Char('x')) +
        2);
    m_zoomText->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    m_zoomText->setAccessibleName(tr("Zoom Level"));
    row->addWidget(m_zoomSlider);
    row->addWidget(m_zoomText);
    row->addStretch();
    auto* label = new QLabel(tr("Default Zoom Level"), m_magnificationSection);
    label->setBuddy(m_zoomSlider);
    form->addRow(label, row);
    return m_magnificationSection;
}

QGroupBox* SettingsView::buildModeSection() {
    m_modeSection = new QGroupBox(tr("Mode"), this);
    auto* form = new QFormLayout(m_modeSection);
    m_modePicker = new QComboBox(m_modeSection);
    m_modePicker->addItem(tr("Follow Mouse"), static_cast<int>(MagnificationMode::followMouse));
    m_modePicker->addItem(tr("Fixed Region"), static_cast<int>(MagnificationMode::fixedRegion));
    m_modePicker->setAccessibleName(tr("Default Mode"));
    // The picker only names the mode. Unlike the tray panel it never starts a
    // region selection; a window without a region shows nothing until one is drawn.
    connect(m_modePicker, &QComboBox::currentIndexChanged, this, [this](int index) {
        if (m_active.state() && index >= 0) {
            m_active.state()->setMode(
                static_cast<MagnificationMode>(m_modePicker->itemData(index).toInt()));
        }
    });
    auto* label = new QLabel(tr("Default Mode"), m_modeSection);
    label->setBuddy(m_modePicker);
    form->addRow(label, m_modePicker);
    m_followFocusBox = new QCheckBox(tr("Follow Keyboard Focus"), m_modeSection);
    m_followFocusBox->setAccessibleName(tr("Follow Keyboard Focus"));
    connect(m_followFocusBox, &QCheckBox::toggled, this, [this](bool follow) {
        if (m_active.state()) {
            m_active.state()->setFollowFocus(follow);
        }
    });
    form->addRow(m_followFocusBox);
    return m_modeSection;
}

QGroupBox* SettingsView::buildPictureSection() {
    m_pictureSection = new QGroupBox(tr("Picture"), this);
    auto* form = new QFormLayout(m_pictureSection);
    m_filterPicker = new QComboBox(m_pictureSection);
    for (const ColorFilter filter : MagnifierState::colorFilterOrder()) {
        m_filterPicker->addItem(valuetext::colorFilterName(filter), static_cast<int>(filter));
    }
    m_filterPicker->setAccessibleName(tr("Color Filter"));
    connect(m_filterPicker, &QComboBox::currentIndexChanged, this, [this](int index) {
        if (m_active.state() && index >= 0) {
            m_active.state()->setColorFilter(
                static_cast<ColorFilter>(m_filterPicker->itemData(index).toInt()));
        }
    });
    auto* label = new QLabel(tr("Color Filter"), m_pictureSection);
    label->setBuddy(m_filterPicker);
    form->addRow(label, m_filterPicker);

    m_smoothBox = new QCheckBox(tr("Smooth Scaling"), m_pictureSection);
    m_smoothBox->setAccessibleName(tr("Smooth Scaling"));
    connect(m_smoothBox, &QCheckBox::toggled, this, [this](bool smooth) {
        if (m_active.state()) {
            m_active.state()->setSmoothing(smooth ? Scaling::smooth : Scaling::pixels);
        }
    });
    form->addRow(m_smoothBox);
    m_crosshairBox = new QCheckBox(tr("Crosshair"), m_pictureSection);
    m_crosshairBox->setAccessibleName(tr("Crosshair"));
    connect(m_crosshairBox, &QCheckBox::toggled, this, [this](bool shown) {
        if (m_active.state()) {
            m_active.state()->setCrosshair(shown);
        }
    });
    form->addRow(m_crosshairBox);
    return m_pictureSection;
}

QGroupBox* SettingsView::buildNoWindowSection() {
    m_noWindowSection = new QGroupBox(this);
    auto* stack = new QVBoxLayout(m_noWindowSection);
    stack->setAlignment(Qt::AlignHCenter);

    auto* symbol = new QLabel(m_noWindowSection);
    QPalette muted = palette();
    muted.setColor(QPalette::WindowText, palette().color(QPalette::PlaceholderText));
    symbol->setPixmap(shellSymbolIcon(ShellSymbol::noWindow, muted).pixmap(QSize(32, 32)));
    symbol->setAlignment(Qt::AlignHCenter);
    symbol->setAccessibleName(tr("No active magnifier window"));

    auto* headline = new QLabel(tr("No active magnifier window"), m_noWindowSection);
    QFont bold = headline->font();
    bold.setBold(true);
    headline->setFont(bold);
    headline->setAlignment(Qt::AlignHCenter);

    auto* explanation =
        secondaryLabel(tr("Open a magnifier window to adjust magnification and mode settings."),
                       m_noWindowSection);
    explanation->setWordWrap(true);
    explanation->setAlignment(Qt::AlignHCenter);

    auto* button = newWindowButton(QStringLiteral("noWindowNewWindowButton"), m_noWindowSection);
    button->setDefault(true);
    connect(button, &QPushButton::clicked, this, [this] { m_registry.createNewWindow(); });

    stack->addWidget(symbol);
    stack->addWidget(headline);
    stack->addWidget(explanation);
    stack->addSpacing(4);
    stack->addWidget(button, 0, Qt::AlignHCenter);
    return m_noWindowSection;
}

QGroupBox* SettingsView::buildWindowsSection() {
    auto* section = new QGroupBox(tr("Windows"), this);
    auto* form = new QFormLayout(section);
    m_windowCount = new QLabel(section);
    m_windowCount->setFont(fixedPitchFont(font()));
    m_windowCount->setAccessibleName(tr("Open Windows"));
    // Minimised windows and those left on another desktop count too; this is
    // the way back to them.
    auto* showAll = new QPushButton(tr("Show All"), section);
    showAll->setObjectName(QStringLiteral("showAllWindowsButton"));
    showAll->setAccessibleName(tr("Show All Windows"));
    connect(showAll, &QPushButton::clicked, this, [this] { m_registry.bringWindowsBack(); });
    auto* countRow = new QHBoxLayout;
    countRow->addWidget(m_windowCount);
    countRow->addWidget(showAll);
    countRow->addStretch();
    form->addRow(tr("Open Windows"), countRow);
    auto* button = newWindowButton(QStringLiteral("windowsNewWindowButton"), section);
    connect(button, &QPushButton::clicked, this, [this] { m_registry.createNewWindow(); });
    auto* buttonRow = new QHBoxLayout;
    buttonRow->addWidget(button);
    buttonRow->addStretch();
    form->addRow(buttonRow);
    return section;
}

QGroupBox* SettingsView::buildShortcutsSection() {
    auto* section = new QGroupBox(tr("Keyboard Shortcuts"), this);
    auto* form = new QFormLayout(section);
    const std::pair<QString, QString> rows[] = {
        {tr("New Window"), QKeySequence(Qt::CTRL | Qt::Key_N).toString(QKeySequence::NativeText)},
        {tr("Zoom In"), tr("+ or =")},
        {tr("Zoom Out"), tr("-")},
        {tr("Scroll Zoom"), tr("Mouse Scroll Wheel")},
        {tr("Next Color Filter"), tr("I")},
    };
    for (const auto& [label, value] : rows) {
        form->addRow(label, secondaryLabel(value, section));
    }
    return section;
}

void SettingsView::refresh() {
    const MagnifierState* state = m_active.state();
    m_magnificationSection->setVisible(state != nullptr);
    m_modeSection->setVisible(state != nullptr);
    m_pictureSection->setVisible(state != nullptr);
    m_noWindowSection->setVisible(state == nullptr);
    m_windowCount->setText(QString::number(m_registry.windowCount()));
    if (!state) {
        return;
    }
    m_zoomSlider->showValue(state->zoomLevel());
    m_zoomText->setText(valuetext::zoomLevel(state->zoomLevel()) + QLatin1Char('x'));
    const QSignalBlocker pickerBlocker(m_modePicker);
    m_modePicker->setCurrentIndex(m_modePicker->findData(static_cast<int>(state->mode())));
    // Where the pointer cannot be followed the picker keeps to the fixed region and says why.
    const QString followUnavailable = state->followUnavailableReason();
    m_modePicker->setEnabled(followUnavailable.isEmpty());
    m_modePicker->setToolTip(followUnavailable);
    const QSignalBlocker followBlocker(m_followFocusBox);
    m_followFocusBox->setChecked(state->followFocus());
    // A fixed region stays where it is, whatever the keyboard does.
    m_followFocusBox->setEnabled(state->mode() == MagnificationMode::followMouse);
    const QSignalBlocker filterBlocker(m_filterPicker);
    m_filterPicker->setCurrentIndex(
        m_filterPicker->findData(static_cast<int>(state->colorFilter())));
    const QSignalBlocker smoothBlocker(m_smoothBox);
    m_smoothBox->setChecked(state->smoothing() == Scaling::smooth);
    const QSignalBlocker crosshairBlocker(m_crosshairBox);
    m_crosshairBox->setChecked(state->crosshair());
}

} // namespace oculo
