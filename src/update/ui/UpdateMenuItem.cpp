#include "update/ui/UpdateMenuItem.h"

#include "update/UpdateService.h"
#include "widgets/TintedIcon.h"

#include <QAbstractButton>
#include <QPainter>
#include <QVBoxLayout>

#include <algorithm>

// Resources of a static library are only registered when something asks for them.
static void registerUpdateIcons() {
    Q_INIT_RESOURCE(update_icons);
}

namespace oculo {
namespace {

enum class UpdateSymbol { checkForUpdates, installing, installUpdate };

// The theme's picture where the standard names have one of the same meaning,
// else Oculo's own line drawing in `color` over `background`.
QIcon updateSymbolIcon(UpdateSymbol symbol, const QColor& color, const QColor& background) {
    registerUpdateIcons();
    const char* file = symbol == UpdateSymbol::checkForUpdates ? "check.svg"
                       : symbol == UpdateSymbol::installing    ? "download.svg"
                                                               : "download-fill.svg";
    return themedOrTintedIcon(
        symbol == UpdateSymbol::checkForUpdates ? QStringLiteral("view-refresh") : QString(),
        QStringLiteral(":/oculo/update/") + QLatin1String(file), color, background);
}

} // namespace

// One row in the panel's menu look: symbol and title, highlighted under the
// pointer; a status row is disabled and drawn in the muted colour.
class UpdateRow : public QAbstractButton {
public:
    explicit UpdateRow(QWidget* parent)
        : QAbstractButton(parent) {
        setAttribute(Qt::WA_Hover);
        setFocusPolicy(Qt::TabFocus);
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    }

    void display(UpdateSymbol symbol, const QString& title, bool isCommand) {
        m_symbol = symbol;
        setText(title);
        setAccessibleName(title);
        setEnabled(isCommand);
        updateGeometry();
        update();
    }

    QSize sizeHint() const override {
        const QFontMetrics metrics = fontMetrics();
        return {textStart + metrics.horizontalAdvance(text()) + padding,
                std::max(iconSize + 8, metrics.height() + 8)};
    }
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        const bool highlighted = isEnabled() && (underMouse() || hasFocus() || isDown());
        if (highlighted) {
            painter.setRenderHint(QPainter::Antialiasing);
            painter.setPen(Qt::NoPen);
            painter.setBrush(palette().color(QPalette::Active, QPalette::Highlight));
            painter.drawRoundedRect(QRectF(rect()).adjusted(1, 0, -1, 0), 4, 4);
        }
        const QColor color =
            highlighted   ? palette().color(QPalette::Active, QPalette::HighlightedText)
            : isEnabled() ? palette().color(QPalette::Active, QPalette::WindowText)
                          : palette().color(QPalette::Active, QPalette::PlaceholderText);
        const QColor background =
            palette().color(QPalette::Active, highlighted ? QPalette::Highlight : QPalette::Window);
        updateSymbolIcon(m_symbol, color, background)
            .paint(&painter, QRect(iconStart, (height() - iconSize) / 2, iconSize, iconSize));
        painter.setPen(color);
        painter.drawText(rect().adjusted(textStart, 0, -padding, 0),
                         Qt::AlignVCenter | Qt::AlignLeft | Qt::TextSingleLine, text());
    }

private:
    // The same columns as the panel's other rows without a checkmark.
    static constexpr int padding = 8;
    static constexpr int iconSize = 16;
    static constexpr int iconStart = padding;
    static constexpr int textStart = iconStart + iconSize + 6;

    UpdateSymbol m_symbol = UpdateSymbol::checkForUpdates;
};

UpdateMenuItem::UpdateMenuItem(UpdateService& updater, QWidget* parent)
    : QWidget(parent)
    , m_updater(&updater) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    m_row = new UpdateRow(this);
    layout->addWidget(m_row);
    connect(m_row, &QAbstractButton::clicked, this, &UpdateMenuItem::activate);
    connect(&updater, &UpdateService::phaseChanged, this, &UpdateMenuItem::refresh);
    connect(&updater, &UpdateService::availableUpdateChanged, this, &UpdateMenuItem::refresh);
    connect(&updater, &UpdateService::downloadPercentChanged, this, &UpdateMenuItem::refresh);
    refresh();
}

UpdateMenuItem::~UpdateMenuItem() = default;

QAbstractButton& UpdateMenuItem::row() const {
    return *m_row;
}

void UpdateMenuItem::refresh() {
    const UpdateService* updater = m_updater.data();
    if (!updater) {
        return;
    }
    switch (updater->phase()) {
    case UpdateService::Phase::downloading:
        if (const auto percent = updater->downloadPercent()) {
            m_row->display(UpdateSymbol::installing, tr("Downloading Update… %1%").arg(*percent),
                           false);
            return;
        }
        [[fallthrough]];
    case UpdateService::Phase::installing:
        m_row->display(UpdateSymbol::installing, tr("Installing Update…"), false);
        return;
    case UpdateService::Phase::checking:
        m_row->display(UpdateSymbol::checkForUpdates, tr("Checking for Updates…"), false);
        return;
    case UpdateService::Phase::idle:
        if (const auto& update = updater->availableUpdate()) {
            m_row->display(UpdateSymbol::installUpdate,
                           tr("Install Oculo %1…").arg(update->version), true);
        } else {
            m_row->display(UpdateSymbol::checkForUpdates, tr("Check for Updates…"), true);
        }
        return;
    }
}

void UpdateMenuItem::activate() {
    UpdateService* updater = m_updater.data();
    if (!updater || updater->phase() != UpdateService::Phase::idle) {
        return;
    }
    // Read before the panel closes: the offer decides what the row meant.
    const std::optional<UpdateInfo> update = updater->availableUpdate();
    Q_EMIT dismissRequested();
    if (update) {
        // Asks again; an offer postponed with "Later" can still be taken here.
        updater->promptToInstall(*update);
    } else {
        updater->checkForUpdates(true);
    }
}

} // namespace oculo
