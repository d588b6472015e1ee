#pragma once

#include <QString>
#include <QStringList>
#include <QUrl>

namespace oculo {

// One question or notice of the updater. Every text is plain text.
struct UpdateAlert {
    enum class Style { informational, warning };

    QString message = {};
    QString informativeText = {};
    // In order, the first is the default; none means a single "OK".
    QStringList buttons = {};
    Style style = Style::informational;
};

// How the updater talks to the user: modal alerts in the running application,
// a fake in tests.
class UpdatePresenter {
public:
    virtual ~UpdatePresenter() = default;

    // Brings Oculo to the front and shows `alert` until it is answered.
    // Returns the index of the chosen button, or -1 when it was closed otherwise.
    virtual int runAlert(const UpdateAlert& alert) = 0;
    // Opens `url` in the user's browser.
    virtual void openUrl(const QUrl& url) = 0;
};

} // namespace oculo
