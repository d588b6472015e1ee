#include "platform/unix/RenameExchangeSwapper.h"

#include <QFile>
#include <QProcess>

#include <fcntl.h>
#include <stdio.h>

#include <cerrno>
#include <cstring>

namespace oculo {

std::optional<QString> RenameExchangeSwapper::exchange(const QString& runningBundle,
                                                       const QString& newBundle) {
    if (::renameat2(AT_FDCWD, QFile::encodeName(newBundle).constData(), AT_FDCWD,
                    QFile::encodeName(runningBundle).constData(), RENAME_EXCHANGE) != 0) {
        const int error = errno;
        return QStringLiteral("Oculo couldn't be replaced in place (%1).")
            .arg(QString::fromLocal8Bit(std::strerror(error)));
    }
    return std::nullopt;
}

std::optional<QString> RenameExchangeSwapper::relaunch(qint64 pid, const QString& executable) {
    // The id and path arrive as arguments, never as script text.
    static const QString script = QStringLiteral(
        "while /bin/kill -0 \"$1\" 2>/dev/null; do /bin/sleep 0.2; done; exec \"$2\"");
    QProcess process;
    process.setProgram(QStringLiteral("/bin/sh"));
    process.setArguments(
        {QStringLiteral("-c"), script, QStringLiteral("sh"), QString::number(pid), executable});
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    if (!process.startDetached()) {
        return QStringLiteral("Oculo couldn't be restarted (%1).").arg(process.errorString());
    }
    return std::nullopt;
}

} // namespace oculo
