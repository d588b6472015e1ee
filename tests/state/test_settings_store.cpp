#include "state/MagnifierState.h"
#include "state/SettingsStore.h"
#include "support/TestEnvironment.h"

#include "StateTestFiles.h"

#include <QDir>
#include <QJsonArray>
#include <QTemporaryDir>

#include <functional>

#include <sys/stat.h>
#include <sys/sysmacros.h>

using oculo::MagnificationMode;
using oculo::MagnifierState;
using oculo::SettingsStore;
using oculo::test::readBytes;
using oculo::test::readJsonObject;
using oculo::test::WarningRecorder;
using oculo::test::writeBytes;

namespace {

ino_t inodeOf(const QString& path) {
    struct stat info {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_ino : 0;
}

QStringList damagedCopies(const QTemporaryDir& dir) {
    return QDir(dir.path()).entryList({QStringLiteral("settings.json.damaged-*")}, QDir::Files);
}

} // namespace

class TestSettingsStore : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void keepsJsonTypesAndForeignKeys() {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("settings.json"));
        writeBytes(path, R"({"other/tool": {"nested": [1, "two"]}, "oculo.old": 7})");
        {
            SettingsStore store(path);
            store.setNumber(QStringLiteral("oculo.zoomLevel"), 2.5);
            store.setNumber(QStringLiteral("oculo.whole"), 3.0);
            store.setString(QStringLiteral("oculo.mode"), QStringLiteral("fixedRegion"));
            store.setBool(QStringLiteral("oculo.isWindowVisible"), false);
            store.remove(QStringLiteral("oculo.old"));
            // Visible before they reach the disk.
            QCOMPARE(store.number(QStringLiteral("oculo.zoomLevel")), 2.5);
            QVERIFY(!store.object(QStringLiteral("oculo.old")));
            store.sync();
        }

        // Typed and flat in the file; other programs' data survives.
        const QJsonObject json = readJsonObject(path);
        QCOMPARE(json.value(QStringLiteral("oculo.zoomLevel")), QJsonValue(2.5));
        QCOMPARE(json.value(QStringLiteral("oculo.isWindowVisible")), QJsonValue(false));
        QVERIFY(!json.contains(QStringLiteral("oculo.old")));
        QCOMPARE(
            json.value(QStringLiteral("other/tool")).toObject().value(QStringLiteral("nested")),
            QJsonValue(QJsonArray{1, QStringLiteral("two")}));

        SettingsStore reread(path);
        QCOMPARE(reread.number(QStringLiteral("oculo.whole")), 3.0);
        QCOMPARE(reread.string(QStringLiteral("oculo.mode")), QStringLiteral("fixedRegion"));
        QCOMPARE(reread.object(QStringLiteral("oculo.isWindowVisible")), QVariant(false));
        // Typed reads never convert text to numbers or numbers to text.
        QCOMPARE(reread.number(QStringLiteral("oculo.mode")), 0.0);
        QVERIFY(!reread.string(QStringLiteral("oculo.zoomLevel")));
        QCOMPARE(reread.number(QStringLiteral("oculo.absent")), 0.0);
        QVERIFY(!reread.object(QStringLiteral("oculo.absent")));
        QVERIFY(!reread.preservedDamagedFile());
    }

    void replacesTheFileInsteadOfRewritingIt() {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("settings.json"));
        SettingsStore store(path);
        store.setNumber(QStringLiteral("oculo.zoomLevel"), 3.0);
        store.sync();
        const QByteArray first = readBytes(path);
        QVERIFY(!first.isEmpty());

        // A reader holding the old file (or a crash mid-write) must still see it whole.
        QFile old(path);
        QVERIFY(old.open(QIODevice::ReadOnly));
        const ino_t oldInode = inodeOf(path);
        store.setNumber(QStringLiteral("oculo.zoomLevel"), 4.0);
        store.sync();

        QVERIFY(inodeOf(path) != oldInode);
        QCOMPARE(old.readAll(), first);
        QCOMPARE(readJsonObject(path).value(QStringLiteral("oculo.zoomLevel")).toDouble(), 4.0);
        const QStringList leftovers =
            QDir(dir.path())
                .entryList(QDir::Files)
                .filter(QRegularExpression(QStringLiteral("^settings\\.json\\..*(?<!lock)$")));
        QVERIFY2(leftovers.isEmpty(), qPrintable(leftovers.join(QLatin1Char(' '))));
    }

    void keepsDamagedFileAndUsesWhatItCanRead() {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("settings.json"));
        // Cut short in the middle of a value, as an interrupted writer leaves it.
        const QByteArray damaged = R"({"oculo.zoomLevel": 4, "oculo.mode": "fixedRegion",)"
                                   R"( "oculo.windowTransparency": 0.)";
        writeBytes(path, damaged);

        WarningRecorder warnings;
        SettingsStore store(path);
        QCOMPARE(warnings.warnings().size(), 1);
        QVERIFY(store.preservedDamagedFile());
        QCOMPARE(damagedCopies(dir).size(), 1);
        QCOMPARE(readBytes(*store.preservedDamagedFile()), damaged);

        MagnifierState state(store);
        QCOMPARE(state.zoomLevel(), 4.0);
        QCOMPARE(state.mode(), MagnificationMode::fixedRegion);
        QCOMPARE(state.windowTransparency(), 0.3); // the value cut in half is not trusted

        state.setKeepWindowActive(true);
        QTRY_COMPARE(store.syncCount(), 1);
        QCOMPARE(readJsonObject(path).value(QStringLiteral("oculo.zoomLevel")).toDouble(), 4.0);
        QCOMPARE(readBytes(*store.preservedDamagedFile()), damaged);
        QCOMPARE(warnings.warnings().size(), 1);
    }

    void treatsNonObjectsAsDamageButWrongTypesAsValues() {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("settings.json"));
        for (const QByteArray& content :
             {QByteArray("\x89PNG\r\n\x1a\n\0\0binary", 16),
              QByteArray(R"([{"oculo.zoomLevel": 4}])"), QByteArray("\"oculo\"")}) {
            writeBytes(path, content);
            WarningRecorder warnings;
            SettingsStore store(path);
            QCOMPARE(warnings.warnings().size(), 1);
            QVERIFY(store.preservedDamagedFile());
            QCOMPARE(readBytes(*store.preservedDamagedFile()), content);
            QCOMPARE(MagnifierState(store).zoomLevel(), 2.0);
            QFile::remove(*store.preservedDamagedFile());
        }

        writeBytes(path,
                   R"({"oculo.zoomLevel": "3", "oculo.mode": 1, "oculo.fixedRegion.x": null})");
        WarningRecorder warnings;
        SettingsStore store(path);
        QVERIFY(warnings.warnings().isEmpty());
        QVERIFY(!store.preservedDamagedFile());
        QVERIFY(damagedCopies(dir).isEmpty());

        // Blank files hold nothing to keep.
        writeBytes(path, " \n");
        SettingsStore blank(path);
        QVERIFY(!blank.preservedDamagedFile());
        QVERIFY(warnings.warnings().isEmpty());
    }

    void neverOverwritesAFileDamagedWhileRunning() {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("settings.json"));
        SettingsStore store(path);
        store.setNumber(QStringLiteral("oculo.zoomLevel"), 3.0);
        store.sync();

        writeBytes(path, "{\"oculo.zoomLevel\": ");
        WarningRecorder warnings;
        store.setNumber(QStringLiteral("oculo.zoomLevel"), 5.0);
        store.sync();
        QCOMPARE(warnings.warnings().size(), 1);
        QVERIFY(store.preservedDamagedFile());
        QCOMPARE(readBytes(*store.preservedDamagedFile()), QByteArray("{\"oculo.zoomLevel\": "));
        QCOMPARE(readJsonObject(path).value(QStringLiteral("oculo.zoomLevel")).toDouble(), 5.0);
    }

    void survivesAnUnusableFolder() {
        QTemporaryDir dir;
        // A file where the folder should be: no user (not even root) can write below it.
        writeBytes(dir.filePath(QStringLiteral("blocked")), "not a folder");
        const QString path = dir.filePath(QStringLiteral("blocked/Oculo/settings.json"));

        WarningRecorder warnings;
        SettingsStore store(path);
        MagnifierState state(store);
        QCOMPARE(state.zoomLevel(), 2.0);
        state.setZoomLevel(3.0);
        QTRY_COMPARE(store.syncCount(), 1);
        state.setZoomLevel(4.0);
        QTRY_COMPARE(store.syncCount(), 2);
        QCOMPARE(warnings.warnings().size(), 1);
        // What could not be written is still what a new window starts from.
        QCOMPARE(MagnifierState(store).zoomLevel(), 4.0);
    }

    // What the settings path leads to is left exactly as it was, however it is
    // reached, and the start neither blocks nor reads without limit.
    void leavesAnythingButARegularFileAlone() {
        QTemporaryDir dir;
        const QString link = dir.filePath(QStringLiteral("settings.json"));
        const QString target = dir.filePath(QStringLiteral("target"));
        const QByteArray name = QFile::encodeName(target);
        const auto describe = [&] {
            struct stat info {};
            return ::stat(name.constData(), &info) != 0 ? QString()
                                                        : QStringLiteral("%1 %2 %3")
                                                              .arg(info.st_ino)
                                                              .arg(info.st_mode)
                                                              .arg(info.st_size);
        };
        // A link to a regular file is followed for reading and writing.
        writeBytes(target, R"({"oculo.zoomLevel": 4})");
        QVERIFY(QFile::link(target, link));
        {
            SettingsStore store(link);
            QCOMPARE(store.number(QStringLiteral("oculo.zoomLevel")), 4.0);
            store.setNumber(QStringLiteral("oculo.zoomLevel"), 5.0);
            store.sync();
        }
        QCOMPARE(readJsonObject(target).value(QStringLiteral("oculo.zoomLevel")).toDouble(), 5.0);

        const std::function<bool()> makers[] = {
            [&] { return ::mkfifo(name.constData(), 0600) == 0; },
            [&] {
                QFile file(target);
                return file.open(QIODevice::WriteOnly) &&
                       file.resize(SettingsStore::maximumFileSize + 1);
            },
            [] { return true; }, // the link dangles
            // Last: a device made here, never a real one (1:5 reads zeros forever).
            [&] { return ::mknod(name.constData(), S_IFCHR | 0600, makedev(1, 5)) == 0; }};
        for (const auto& make : makers) {
            QFile::remove(target);
            if (!make()) {
                QCOMPARE(&make, &makers[3]); // only mknod may be refused
                QSKIP("making a device node is not permitted here");
            }
            const QString before = describe();
            WarningRecorder warnings;
            SettingsStore store(link);
            QVERIFY(!store.object(QStringLiteral("oculo.zoomLevel")));
            store.setNumber(QStringLiteral("oculo.zoomLevel"), 3.0);
            store.sync();
            QCOMPARE(warnings.warnings().size(), 1);
            QCOMPARE(store.number(QStringLiteral("oculo.zoomLevel")), 3.0); // kept in memory
            QCOMPARE(describe(), before);
            QVERIFY(QFileInfo(link).isSymLink());
        }
    }
};

OCULO_TEST_MAIN(TestSettingsStore)
#include "test_settings_store.moc"
