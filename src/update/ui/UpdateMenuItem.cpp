#include "update/ui/UpdateMenuItem.h"

#include "update/UpdateService.h"
#include "widgets/PanelRow.h"

#include <QVBoxLayout>

// Resources of a static library are only registered when something asks for them.
static void registerUpdateIcons() {
    Q_INIT_RESOURCE(update_icons);
}

namespace oculo {
namespace {

enum class UpdateSymbol { checkForUpdates, installing, installUpdate };

// The theme's picture where the standard names have one of the same meaning,
// else Oculo's own line drawing.
TintedDrawing updateSymbolDrawing(UpdateSymbol symbol) {
    registerUpdateIcons();
    switch (symbol) {
    case UpdateSymbol::checkForUpdates:
        return {QStringLiteral("view-refresh"), QStringLiteral(":/oculo/update/check.svg")};
    case UpdateSymbol::installing:
        return {{}, QStringLiteral(":/oculo/update/download.svg")};
    case UpdateSymbol::installUpdate:
        break;
    }
    return {{}, QStringLiteral(":/oculo/update/download-fill.svg")};
}

} // namespace

UpdateMenuItem::UpdateMenuItem(UpdateService& updater, QWidget* parent)
    : QWidget(parent)
    , m_updater(&updater) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    m_row = new PanelRow(updateSymbolDrawing(UpdateSymbol::checkForUpdates), QString(), this);
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
    if (updater->isUpdatedByPackageManager()) {
        display(updateSymbolDrawing(UpdateSymbol::checkForUpdates),
                tr("Updates come from your package manager."), false);
        return;
    }
    switch (updater->phase()) {
    case UpdateService::Phase::downloading:
        if (const auto percent = updater->downloadPercent()) {
            display(updateSymbolDrawing(UpdateSymbol::installing),
                    tr("Downloading Update… %1%").arg(*percent), false);
            return;
        }
        [[fallthrough]];
    case UpdateService::Phase::installing:
        display(updateSymbolDrawing(UpdateSymbol::installing), tr("Installing Update…"), false);
        return;
    case UpdateService::Phase::checking:
        display(updateSymbolDrawing(UpdateSymbol::checkForUpdates), tr("Checking for Updates…"),
                false);
        return;
    case UpdateService::Phase::idle:
        if (const auto& update = updater->availableUpdate()) {
            display(updateSymbolDrawing(UpdateSymbol::installUpdate),
                    tr("Install Oculo %1…").arg(update->version), true);
        } else {
            display(updateSymbolDrawing(UpdateSymbol::checkForUpdates), tr("Check for Updates…"),
                    true);
        }
        return;
    }
}

void UpdateMenuItem::display(const TintedDrawing& symbol, const QString& title, bool isCommand) {
    m_row->display(symbol, title);
    // A status row is not clickable and is drawn in the muted colour.
    m_row->setEnabled(isCommand);
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
