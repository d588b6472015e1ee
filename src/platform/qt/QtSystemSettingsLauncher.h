#pragma once

#include "platform/SystemSettingsLauncher.h"

#include <QList>
#include <QString>
#include <QStringList>

namespace oculo {

// Opens the desktop's privacy settings with the first settings program found.
// X11 itself asks for no permission; this only helps a user whose session
// restricts screen capture in its own settings.
class QtSystemSettingsLauncher final : public SystemSettingsLauncher {
public:
    struct Command {
        QString program;
        QStringList arguments;
    };

    // The usual settings programs of the common desktops, in order of trial.
    static QList<Command> defaultCommands();

    explicit QtSystemSettingsLauncher(QList<Command> commands = defaultCommands());

    bool openScreenCaptureSettings() override;

private:
    QList<Command> m_commands;
};

} // namespace oculo
