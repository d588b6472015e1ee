#pragma once

#include <QHash>
#include <QString>
#include <QVariant>

#include <memory>
#include <optional>

class QSettings;

namespace oculo {

// The user's persisted settings: one JSON file of typed values (numbers,
// strings, booleans) under the user's config folder, written atomically. A
// damaged file never stops Oculo: it is kept beside under a new name and the
// values that could be read are used. Anything but a regular file of sensible
// size (a device, a pipe, a folder) is never read or replaced. Main thread only.
class SettingsStore {
public:
    static QString defaultFilePath(); // <config>/Oculo/settings.json
    // Larger files are not read: ours are a few hundred bytes.
    static constexpr qint64 maximumFileSize = 4 * 1024 * 1024;

    explicit SettingsStore(const QString& filePath = defaultFilePath());
    ~SettingsStore();

    // The stored value of any type, or nothing when the key is absent.
    std::optional<QVariant> object(const QString& key) const;
    // The stored text, or nothing when absent or not a text.
    std::optional<QString> string(const QString& key) const;
    // The stored number; 0 when absent or not numeric.
    double number(const QString& key) const;
    // Whether a stored value is of a numeric type; text never counts, so a
    // hand-edited "3" is not read as a number.
    static bool isNumber(const QVariant& value);

    void setNumber(const QString& key, double value);
    void setString(const QString& key, const QString& value);
    void setBool(const QString& key, bool value);
    // Any value JSON can hold, lists and maps of them included.
    void setValue(const QString& key, const QVariant& value);
    void remove(const QString& key);

    // Writes pending changes to disk now (atomically).
    void sync();

    // Where a damaged settings file was moved to at start, if it was.
    std::optional<QString> preservedDamagedFile() const { return m_preservedDamagedFile; }
    QString filePath() const { return m_filePath; }

    // Number of sync() calls so far; lets tests count debounced writes.
    int syncCount() const { return m_syncCount; }

private:
    enum class FileCondition { missing, usable, damaged, unreadable, notRegular };
    FileCondition inspectFile(QByteArray* contents) const;
    bool preserveDamagedFile();
    // For this run: never writes the file, and says why.
    void leaveFileUntouched(const QString& message);
    void warnAboutWritingOnce(const QString& message);

    QString m_filePath;
    std::unique_ptr<QSettings> m_settings;
    std::optional<QString> m_preservedDamagedFile;
    // Changes not yet handed to QSettings; nothing means "remove". Kept in memory
    // (and readable) while the file cannot be written.
    QHash<QString, std::optional<QVariant>> m_pending;
    // False when writing would overwrite a file we could not read or move aside.
    bool m_writable = true;
    bool m_warnedAboutWriting = false;
    int m_syncCount = 0;
};

} // namespace oculo
