#include "state/SettingsStore.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QRegularExpression>
#include <QSettings>
#include <QStandardPaths>

#include <sys/stat.h>

namespace oculo {

namespace {

// Whitespace only is what an interrupted first write of another tool leaves;
// it holds nothing to keep, so it counts as an empty store, not as damage.
bool isBlank(const QByteArray& data) {
    return data.trimmed().isEmpty();
}

std::optional<QJsonObject> parseSettings(const QByteArray& data) {
    if (isBlank(data)) {
        return QJsonObject();
    }
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(data, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        return std::nullopt;
    }
    return document.object();
}

// Keys are taken as they are: QSettings only splits keys into groups for its
// own formats, so "oculo.fixedRegion.x" (or a foreign "a/b") comes back unchanged.
bool readJson(QIODevice& device, QSettings::SettingsMap& map) {
    // Never more than the cap: the file may have grown since it was inspected.
    const QByteArray data = device.read(SettingsStore::maximumFileSize + 1);
    if (data.size() > SettingsStore::maximumFileSize) {
        return false;
    }
    const std::optional<QJsonObject> object = parseSettings(data);
    if (!object) {
        return false;
    }
    for (auto it = object->constBegin(); it != object->constEnd(); ++it) {
        map.insert(it.key(), it.value().toVariant());
    }
    return true;
}

bool writeJson(QIODevice& device, const QSettings::SettingsMap& map) {
    QJsonObject object;
    for (auto it = map.constBegin(); it != map.constEnd(); ++it) {
        object.insert(it.key(), QJsonValue::fromVariant(it.value()));
    }
    const QByteArray data = QJsonDocument(object).toJson(QJsonDocument::Indented);
    return device.write(data) == data.size();
}

QSettings::Format jsonFormat() {
    static const QSettings::Format format =
        QSettings::registerFormat(QStringLiteral("json"), readJson, writeJson, Qt::CaseSensitive);
    return format;
}

// How deep in objects and arrays a place in JSON text lies; each call scans on
// from where the previous one ended, so places must be asked in order.
class NestingScanner {
public:
    explicit NestingScanner(const QString& text)
        : m_text(text) {}

    int depthAt(qsizetype position) {
        for (; m_at < position && m_at < m_text.size(); ++m_at) {
            const QChar c = m_text.at(m_at);
            if (m_inString) {
                m_inString = m_escaped || c != QLatin1Char('"');
                m_escaped = !m_escaped && c == QLatin1Char('\\');
            } else if (c == QLatin1Char('"')) {
                m_inString = true;
            } else if (c == QLatin1Char('{') || c == QLatin1Char('[')) {
                ++m_depth;
            } else if (c == QLatin1Char('}') || c == QLatin1Char(']')) {
                --m_depth;
            }
        }
        return m_depth;
    }

private:
    const QString& m_text;
    qsizetype m_at = 0;
    int m_depth = 0;
    bool m_inString = false;
    bool m_escaped = false;
};

// Recovers the complete "oculo." entries with a plain value from a file that is
// no longer valid JSON (typically cut short); everything else stays in the copy
// kept beside it. A value must be followed by ',' or '}' so a number cut in the
// middle is not taken. Only top-level entries count: those inside a saved
// window's object belong to that window.
QHash<QString, QVariant> salvageValues(const QByteArray& data) {
    static const QRegularExpression entry(QStringLiteral(
        R"re("(oculo\.[A-Za-z0-9_.]+)"\s*:\s*(-?\d+(?:\.\d+)?(?:[eE][+-]?\d+)?|true|false|"(?:[^"\\]|\\.)*")(?=\s*[,}]))re"));
    QHash<QString, QVariant> values;
    const QString text = QString::fromUtf8(data);
    NestingScanner nesting(text);
    auto matches = entry.globalMatch(text);
    while (matches.hasNext()) {
        const QRegularExpressionMatch match = matches.next();
        if (nesting.depthAt(match.capturedStart()) != 1) {
            continue;
        }
        const QJsonDocument wrapped = QJsonDocument::fromJson(
            QByteArrayLiteral("[") + match.captured(2).toUtf8() + QByteArrayLiteral("]"));
        if (wrapped.isArray() && wrapped.array().size() == 1) {
            values.insert(match.captured(1), wrapped.array().first().toVariant());
        }
    }
    return values;
}

} // namespace

QString SettingsStore::defaultFilePath() {
    QString config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    if (config.isEmpty()) {
        config = QDir::homePath() + QStringLiteral("/.config");
    }
    return config + QStringLiteral("/Oculo/settings.json");
}

SettingsStore::SettingsStore(const QString& filePath)
    : m_filePath(filePath) {
    const QString folder = QFileInfo(m_filePath).absolutePath();
    if (!QDir().mkpath(folder)) {
        warnAboutWritingOnce(QStringLiteral("Cannot create the settings folder %1; settings will "
                                            "not be saved")
                                 .arg(folder));
    }

    QByteArray contents;
    switch (inspectFile(&contents)) {
    case FileCondition::missing:
    case FileCondition::usable:
        break;
    case FileCondition::notRegular:
        // A device, pipe, folder or huge file is not ours to read or replace;
        // QSettings must not even open it (a pipe would block the start).
        leaveFileUntouched(QStringLiteral("%1 is not a settings file Oculo can use; starting "
                                          "from default settings and leaving it untouched")
                               .arg(m_filePath));
        m_warnedAboutWriting = true;
        return;
    case FileCondition::unreadable:
        // Writing would replace a file we could not even look at.
        leaveFileUntouched(QStringLiteral("Cannot read the settings file %1; starting from "
                                          "default settings and leaving the file untouched")
                               .arg(m_filePath));
        break;
    case FileCondition::damaged: {
        // Valid JSON of another shape is someone else's data, not a damaged copy of ours.
        const bool parses = !QJsonDocument::fromJson(contents).isNull();
        const QHash<QString, QVariant> salvaged =
            parses ? QHash<QString, QVariant>() : salvageValues(contents);
        for (auto it = salvaged.constBegin(); it != salvaged.constEnd(); ++it) {
            m_pending.insert(it.key(), it.value());
        }
        if (preserveDamagedFile()) {
            qWarning().noquote()
                << QStringLiteral("The settings file %1 is damaged; it was kept as %2 and Oculo "
                                  "starts from the %3 values it could read")
                       .arg(m_filePath, *m_preservedDamagedFile)
                       .arg(salvaged.size());
        } else {
            leaveFileUntouched(
                QStringLiteral("The settings file %1 is damaged and could not be moved aside; "
                               "it is left untouched and settings will not be saved")
                    .arg(m_filePath));
        }
        break;
    }
    }

    m_settings = std::make_unique<QSettings>(m_filePath, jsonFormat());
    // Refuse to fall back to writing in place, which a crash could leave truncated.
    m_settings->setAtomicSyncRequired(true);
}

SettingsStore::~SettingsStore() = default;

std::optional<QVariant> SettingsStore::object(const QString& key) const {
    if (const auto pending = m_pending.constFind(key); pending != m_pending.constEnd()) {
        return *pending;
    }
    if (!m_settings || !m_settings->contains(key)) {
        return std::nullopt;
    }
    return m_settings->value(key);
}

std::optional<QString> SettingsStore::string(const QString& key) const {
    const std::optional<QVariant> value = object(key);
    if (!value || value->typeId() != QMetaType::QString) {
        return std::nullopt;
    }
    return value->toString();
}

double SettingsStore::number(const QString& key) const {
    const std::optional<QVariant> value = object(key);
    return value && isNumber(*value) ? value->toDouble() : 0.0;
}

bool SettingsStore::isNumber(const QVariant& value) {
    switch (value.typeId()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Double:
    case QMetaType::Float:
        return true;
    default:
        return false;
    }
}

void SettingsStore::setNumber(const QString& key, double value) {
    m_pending.insert(key, QVariant(value));
}

void SettingsStore::setString(const QString& key, const QString& value) {
    m_pending.insert(key, QVariant(value));
}

void SettingsStore::setBool(const QString& key, bool value) {
    m_pending.insert(key, QVariant(value));
}

void SettingsStore::setValue(const QString& key, const QVariant& value) {
    m_pending.insert(key, value);
}

void SettingsStore::remove(const QString& key) {
    m_pending.insert(key, std::nullopt);
}

void SettingsStore::sync() {
    ++m_syncCount;
    if (!m_writable) {
        warnAboutWritingOnce(
            QStringLiteral("Settings are not saved: %1 could not be read").arg(m_filePath));
        return;
    }
    // Someone may have damaged the file since start; it is moved aside, never overwritten.
    QByteArray contents;
    switch (inspectFile(&contents)) {
    case FileCondition::missing:
    case FileCondition::usable:
        break;
    case FileCondition::notRegular:
    case FileCondition::unreadable:
        m_writable = false;
        warnAboutWritingOnce(
            QStringLiteral("Settings are not saved: %1 could not be read").arg(m_filePath));
        return;
    case FileCondition::damaged:
        if (!preserveDamagedFile()) {
            m_writable = false;
            warnAboutWritingOnce(QStringLiteral("Settings are not saved: %1 is damaged and could "
                                                "not be moved aside")
                                     .arg(m_filePath));
            return;
        }
        qWarning().noquote() << QStringLiteral(
                                    "The settings file %1 was damaged; it was kept as %2")
                                    .arg(m_filePath, *m_preservedDamagedFile);
        break;
    }

    for (auto it = m_pending.constBegin(); it != m_pending.constEnd(); ++it) {
        if (it.value()) {
            m_settings->setValue(it.key(), *it.value());
        } else {
            m_settings->remove(it.key());
        }
    }
    m_pending.clear();
    // QSettings writes through QSaveFile: the new file replaces the old one by
    // rename, so a crash mid-write leaves the previous settings intact.
    m_settings->sync();
    if (m_settings->status() != QSettings::NoError) {
        warnAboutWritingOnce(QStringLiteral("Could not save settings to %1").arg(m_filePath));
    }
}

SettingsStore::FileCondition SettingsStore::inspectFile(QByteArray* contents) const {
    // Links are followed: a dotfile manager's link to a regular file is fine,
    // and saving writes to its target. A dangling link is left alone, since
    // saving would create a file wherever it points.
    // QFileInfo counts pipes and devices as files, so ask stat() itself.
    struct stat info {};
    if (::stat(QFile::encodeName(m_filePath).constData(), &info) != 0) {
        return QFileInfo(m_filePath).isSymLink() ? FileCondition::notRegular
                                                 : FileCondition::missing;
    }
    if (!S_ISREG(info.st_mode) || info.st_size > maximumFileSize) {
        return FileCondition::notRegular;
    }
    QFile file(m_filePath);
    if (!file.open(QIODevice::ReadOnly)) {
        return FileCondition::unreadable;
    }
    *contents = file.read(maximumFileSize + 1);
    if (contents->size() > maximumFileSize) {
        return FileCondition::notRegular;
    }
    return parseSettings(*contents) ? FileCondition::usable : FileCondition::damaged;
}

bool SettingsStore::preserveDamagedFile() {
    const QString stamp =
        QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'"));
    const QString base = m_filePath + QStringLiteral(".damaged-") + stamp;
    QString target = base;
    for (int attempt = 2; QFileInfo::exists(target); ++attempt) {
        target = base + QLatin1Char('-') + QString::number(attempt);
    }
    if (!QFile::rename(m_filePath, target)) {
        return false;
    }
    m_preservedDamagedFile = target;
    return true;
}

void SettingsStore::leaveFileUntouched(const QString& message) {
    m_writable = false;
    qWarning().noquote() << message;
}

void SettingsStore::warnAboutWritingOnce(const QString& message) {
    if (m_warnedAboutWriting) {
        return;
    }
    m_warnedAboutWriting = true;
    qWarning().noquote() << message;
}

} // namespace oculo
