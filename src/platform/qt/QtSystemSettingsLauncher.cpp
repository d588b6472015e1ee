#include "platform/qt/QtSystemSettingsLauncher.h"

#include <QProcess>
#include <QStandardPaths>

namespace oculo {

QList<QtSystemSettingsLauncher::Command> QtSystemSettingsLauncher::defaultCommands() {
    return {
        {QStringLiteral("gnome-control-center"), {QStringLiteral("privacy")}},
        {QStringLiteral("systemsettings"), {QStringLiteral("kcm_screenlocker")}},
        {QStringLiteral("xfce4-settings-manager"), {}},
    };
}

QtSystemSettingsLauncher::QtSystemSettingsLauncher(QList<Command> commands)
    : m_commands(std::move(commands)) {}

bool QtSystemSettingsLauncher::openScreenCaptureSettings() {
    for (const Command& command : std::as_const(m_commands)) {
        // Resolved first, so a missing program is skipped rather than reported.
        const QString path = QStandardPaths::findExecutable(command.program);
        if (path.isEmpty()) {
            continue;
        }
        if (QProcess::startDetached(path, command.arguments)) {
            return true;
        }
    }
    return false;
}

} // namespace oculo
