#pragma once

#include <QPointer>
#include <QWidget>

class QAbstractButton;

namespace oculo {

class PanelRow;
struct TintedDrawing;
class UpdateService;

// The tray panel's update row: "Checking for Updates…" or "Installing
// Update…" while the service is busy (not clickable), else a command that
// installs the update found or checks for one; for a packaged Oculo, a note that
// the package manager updates it. It follows the service's phase
// and offer and holds no state of its own.
class UpdateMenuItem : public QWidget {
    Q_OBJECT

public:
    // `updater` must outlive the item.
    explicit UpdateMenuItem(UpdateService& updater, QWidget* parent = nullptr);
    ~UpdateMenuItem() override;

    // The row as shown.
    QAbstractButton& row() const;

Q_SIGNALS:
    // A command was chosen: the panel closes before any alert opens.
    void dismissRequested();

private:
    void refresh();
    void display(const TintedDrawing& symbol, const QString& title, bool isCommand);
    void activate();

    QPointer<UpdateService> m_updater;
    PanelRow* m_row = nullptr;
};

} // namespace oculo
