#include "app/AutostartEntry.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <algorithm>

namespace oculo {
namespace {

// An Exec= argument: quoted when it holds a reserved character, then escaped
// as a desktop-entry string (so a backslash inside quotes ends up doubled twice).
QString execArgument(const QString& argument) {
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    QString quoted = argument;
    quoted.replace(QLatin1Char('%'), QStringLiteral("%%"));
    if (std::any_of(argument.cbegin(), argument.cend(),
                    [](QChar c) { return reserved.contains(c); })) {
        QString escaped;
        for (const QChar c : std::as_const(quoted)) {
            if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') ||
                c == QLatin1Char('\\')) {
                escaped += QLatin1Char('\\');
            }
            escaped += c;
        }
        quoted = QLatin1Char('"') + escaped + QLatin1Char('"');
    }
    return quoted.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
}

} // namespace

AutostartEntry::AutostartEntry(const QString& desktopFileName, const QString& executable)
    : m_desktopFileName(desktopFileName)
    , m_executable(executable) {}

QString AutostartEntry::runningExecutable() {
    return QCoreApplication::applicationFilePath();
}

QString AutostartEntry::filePath() const {
    // Relative values are invalid and are ignored, as the base directory rules say.
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (config.isEmpty() || QDir::isRelativePath(config)) {
        config = QDir::homePath() + QStringLiteral("/.config");
    }
    return config + QStringLiteral("/autostart/") + m_desktopFileName;
}

bool AutostartEntry::isEnabled() const {
    QFile file(filePath());
    if (!file.open(QIODevice::ReadOnly)) {
        return false;
    }
    while (!file.atEnd()) {
        if (file.readLine().trimmed() == "Hidden=true") {
            return false;
        }
    }
    return true;
}

QByteArray AutostartEntry::contents() const {
    return QStringLiteral("[Desktop Entry]\n"
                          "Type=Application\n"
                          "Name=Oculo\n"
                          "Comment=Screen magnifier\n"
                          "Exec=%1 --autostart\n"
                          "Icon=%2\n"
                          "Terminal=false\n"
                          "X-GNOME-Autostart-enabled=true\n")
        .arg(execArgument(m_executable), QFileInfo(m_desktopFileName).completeBaseName())
        .toUtf8();
}

bool AutostartEntry::setEnabled(bool enabled) {
    m_error.clear();
    const QString path = filePath();
    if (!enabled) {
        if (QFileInfo::exists(path) && !QFile::remove(path)) {
            m_error = QCoreApplication::translate("AutostartEntry",
                                                  "Oculo could not remove %1 to stop starting "
                                                  "at login.")
                          .arg(path);
            return false;
        }
        return true;
    }
    QString reason;
    if (m_executable.contains(QLatin1Char('\n')) || m_executable.isEmpty()) {
        reason = QCoreApplication::translate("AutostartEntry",
                                             "its program path cannot be written in the entry");
    } else if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
        reason = QCoreApplication::translate("AutostartEntry", "the folder cannot be made");
    } else {
        QSaveFile file(path);
        if (file.open(QIODevice::WriteOnly) && file.write(contents()) >= 0 && file.commit()) {
            return true;
        }
        reason = file.errorString();
    }
    m_error = QCoreApplication::translate("AutostartEntry",
                                          "Oculo could not write %1 to start at login: %2.")
                  .arg(path, reason);
    return false;
}

} // namespace oculo
