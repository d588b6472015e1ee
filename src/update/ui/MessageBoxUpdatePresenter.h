#pragma once

#include "update/UpdatePresenter.h"

#include <memory>

class QMessageBox;

namespace oculo {

// The updater's alerts as application-modal message boxes. Every text is shown
// as plain text: release notes come from the network and never render markup
// or links.
class MessageBoxUpdatePresenter final : public UpdatePresenter {
public:
    int runAlert(const UpdateAlert& alert) override;
    void openUrl(const QUrl& url) override;

    // The box runAlert() shows, not yet shown; its buttons in the alert's order.
    static std::unique_ptr<QMessageBox> makeAlertBox(const UpdateAlert& alert);
};

} // namespace oculo
