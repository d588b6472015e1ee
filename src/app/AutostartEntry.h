#pragma once

#include <QByteArray>
#include <QString>

namespace oculo {

// Starting Oculo with the session: an XDG autostart entry in
// $XDG_CONFIG_HOME/autostart/ named after the application's desktop file. The
// file itself is the setting; nothing else remembers whether it is on.
class AutostartEntry {
public:
    // The entry `desktopFileName` (e.g. "org.oculo.Oculo.desktop") starts
    // `executable` with --autostart.
    AutostartEntry(const QString& desktopFileName, const QString& executable);

    // The running program, for the entry to start.
    static QString runningExecutable();

    QString filePath() const;
    // The file exists and does not hide itself (Hidden=true).
    bool isEnabled() const;
    // Writes (atomically) or removes the file; false, with errorString(), when it fails.
    bool setEnabled(bool enabled);
    QString errorString() const { return m_error; }

    // What the file holds when enabled.
    QByteArray contents() const;

private:
    QString m_desktopFileName;
    QString m_executable;
    QString m_error;
};

} // namespace oculo
