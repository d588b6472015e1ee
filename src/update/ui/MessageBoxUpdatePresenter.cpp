#include "update/ui/MessageBoxUpdatePresenter.h"

#include <QDesktopServices>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>

namespace oculo {
namespace {

// Which of the alert's buttons a push button is; the box lays them out by role.
constexpr char alertIndexProperty[] = "oculoAlertButtonIndex";

} // namespace

std::unique_ptr<QMessageBox> MessageBoxUpdatePresenter::makeAlertBox(const UpdateAlert& alert) {
    auto box = std::make_unique<QMessageBox>();
    box->setWindowTitle(QStringLiteral("Oculo"));
    box->setIcon(alert.style == UpdateAlert::Style::warning ? QMessageBox::Warning
                                                            : QMessageBox::Information);
    box->setWindowModality(Qt::ApplicationModal);
    box->setTextFormat(Qt::PlainText);
    box->setText(alert.message);
    box->setInformativeText(alert.informativeText);
    // The message box applies its text format to the main label only.
    if (auto* informative = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel"))) {
        informative->setTextFormat(Qt::PlainText);
        informative->setOpenExternalLinks(false);
    }
    if (alert.buttons.isEmpty()) {
        box->setStandardButtons(QMessageBox::Ok);
        return box;
    }
    for (qsizetype i = 0; i < alert.buttons.size(); ++i) {
        const bool isLast = i == alert.buttons.size() - 1;
        const QMessageBox::ButtonRole role = i == 0   ? QMessageBox::AcceptRole
                                             : isLast ? QMessageBox::RejectRole
                                                      : QMessageBox::ActionRole;
        QPushButton* button = box->addButton(alert.buttons.at(i), role);
        button->setProperty(alertIndexProperty, static_cast<int>(i));
        if (i == 0) {
            box->setDefaultButton(button);
        }
        if (isLast && i > 0) {
            box->setEscapeButton(button);
        }
    }
    return box;
}

int MessageBoxUpdatePresenter::runAlert(const UpdateAlert& alert) {
    const std::unique_ptr<QMessageBox> box = makeAlertBox(alert);
    box->show();
    box->raise();
    box->activateWindow();
    box->exec();
    const QAbstractButton* clicked = box->clickedButton();
    if (clicked == nullptr) {
        return -1;
    }
    return alert.buttons.isEmpty() ? 0 : clicked->property(alertIndexProperty).toInt();
}

void MessageBoxUpdatePresenter::openUrl(const QUrl& url) {
    QDesktopServices::openUrl(url);
}

} // namespace oculo
