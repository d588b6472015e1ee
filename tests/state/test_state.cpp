#include "state/MagnifierState.h"
#include "state/SettingsStore.h"
#include "support/TestEnvironment.h"

#include "common/TestFiles.h"

#include <QDir>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <functional>
#include <memory>

#include <sys/stat.h>
#include <sys/sysmacros.h>

using oculo::ColorFilter;
using oculo::DockPosition;
using oculo::MagnificationMode;
using oculo::MagnifierState;
using oculo::Scaling;
using oculo::SettingsStore;
using oculo::test::readBytes;
using oculo::test::readJsonObject;
using oculo::test::WarningRecorder;
using oculo::test::writeBytes;

namespace {

// Inode, mode and size of what `path` leads to; empty when nothing is there.
QStringList describe(const QString& path) {
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0) {
        return {};
    }
    return {QString::number(info.st_ino), QString::number(info.st_mode),
            QString::number(info.st_size)};
}

const QString zoomKey = QStringLiteral("oculo.zoomLevel");

double storedZoom(const QString& path) {
    return readJsonObject(path).value(zoomKey).toDouble();
}

const QRectF someFrame(100, 200, 400, 330);

// Window visible, keep active, stay in space, hide while moving.
QList<bool> flagsOf(const MagnifierState& state) {
    return {state.isWindowVisible(), state.keepWindowActive(), state.stayInCurrentSpace(),
            state.hideWhileMoving()};
}

} // namespace

// The settings file, and the magnifier state kept in it.
class TestState : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir;
    QString path;

    QStringList damagedCopies() const {
        return QDir(dir->path())
            .entryList({QStringLiteral("settings.json.damaged-*")}, QDir::Files);
    }

private Q_SLOTS:
    void init() {
        dir = std::make_unique<QTemporaryDir>();
        path = dir->filePath(QStringLiteral("settings.json"));
    }

    void keepsJsonTypesAndForeignKeys() {
        writeBytes(path, R"({"other/tool": {"nested": [1, "two"]}, "oculo.old": 7})");
        {
            SettingsStore store(path);
            store.setNumber(zoomKey, 2.5);
            store.setNumber(QStringLiteral("oculo.whole"), 3.0);
            store.setString(QStringLiteral("oculo.mode"), QStringLiteral("fixedRegion"));
            store.setBool(QStringLiteral("oculo.isWindowVisible"), false);
            store.remove(QStringLiteral("oculo.old"));
            // Visible before they reach the disk.
            QCOMPARE(store.number(zoomKey), 2.5);
            QVERIFY(!store.object(QStringLiteral("oculo.old")));
            store.sync();
        }

        // Typed and flat in the file; other programs' data survives.
        QCOMPARE(
            readJsonObject(path),
            QJsonDocument::fromJson(R"({"other/tool": {"nested": [1, "two"]}, "oculo.whole": 3,)"
                                    R"( "oculo.zoomLevel": 2.5, "oculo.mode": "fixedRegion",)"
                                    R"( "oculo.isWindowVisible": false})")
                .object());

        SettingsStore reread(path);
        QCOMPARE(reread.number(QStringLiteral("oculo.whole")), 3.0);
        QCOMPARE(reread.string(QStringLiteral("oculo.mode")), QStringLiteral("fixedRegion"));
        QCOMPARE(reread.object(QStringLiteral("oculo.isWindowVisible")), QVariant(false));
        // Typed reads never convert text to numbers or numbers to text.
        QCOMPARE(reread.number(QStringLiteral("oculo.mode")), 0.0);
        QVERIFY(!reread.string(zoomKey));
        QCOMPARE(reread.number(QStringLiteral("oculo.absent")), 0.0);
        QVERIFY(!reread.object(QStringLiteral("oculo.absent")));
        QVERIFY(!reread.preservedDamagedFile());
    }

    void replacesTheFileInsteadOfRewritingIt() {
        SettingsStore store(path);
        store.setNumber(zoomKey, 3.0);
        store.sync();
        const QByteArray first = readBytes(path);
        QVERIFY(!first.isEmpty());

        // A reader holding the old file (or a crash mid-write) must still see it whole.
        QFile old(path);
        QVERIFY(old.open(QIODevice::ReadOnly));
        const QString oldInode = describe(path).value(0);
        store.setNumber(zoomKey, 4.0);
        store.sync();

        QVERIFY(describe(path).value(0) != oldInode);
        QCOMPARE(old.readAll(), first);
        QCOMPARE(storedZoom(path), 4.0);
        const QStringList leftovers =
            QDir(dir->path())
                .entryList(QDir::Files)
                .filter(QRegularExpression(QStringLiteral("^settings\\.json\\..*(?<!lock)$")));
        QVERIFY2(leftovers.isEmpty(), qPrintable(leftovers.join(QLatin1Char(' '))));
    }

    void keepsDamagedFileAndUsesWhatItCanRead() {
        // Cut short in the middle of a value, as an interrupted writer leaves it; the
        // values of another saved window are not the first window's.
        const QByteArray damaged = R"({"oculo.zoomLevel": 4, "oculo.mode": "fixedRegion",)"
                                   R"( "oculo.otherWindows": [{"oculo.mode": "followMouse"}],)"
                                   R"( "oculo.windowTransparency": 0.)";
        writeBytes(path, damaged);

        WarningRecorder warnings;
        SettingsStore store(path);
        QCOMPARE(warnings.count(), 1);
        QCOMPARE(damagedCopies().size(), 1);
        QCOMPARE(readBytes(store.preservedDamagedFile().value_or(QString())), damaged);

        MagnifierState state(store);
        QCOMPARE(state.zoomLevel(), 4.0);
        QCOMPARE(state.mode(), MagnificationMode::fixedRegion);
        QCOMPARE(state.windowTransparency(), 0.3); // the value cut in half is not trusted

        state.setKeepWindowActive(true);
        QTRY_COMPARE(store.syncCount(), 1);
        QCOMPARE(storedZoom(path), 4.0);
        QCOMPARE(readBytes(*store.preservedDamagedFile()), damaged);
        QCOMPARE(warnings.count(), 1);
    }

    void treatsNonObjectsAsDamageButWrongTypesAsValues() {
        for (const QByteArray& content :
             {QByteArray("\x89PNG\r\n\x1a\n\0\0binary", 16),
              QByteArray(R"([{"oculo.zoomLevel": 4}])"), QByteArray("\"oculo\"")}) {
            writeBytes(path, content);
            WarningRecorder warnings;
            SettingsStore store(path);
            QCOMPARE(warnings.count(), 1);
            QCOMPARE(readBytes(store.preservedDamagedFile().value_or(QString())), content);
            QCOMPARE(MagnifierState(store).zoomLevel(), 2.0);
            QFile::remove(*store.preservedDamagedFile());
        }

        writeBytes(path,
                   R"({"oculo.zoomLevel": "3", "oculo.mode": 1, "oculo.fixedRegion.x": null})");
        WarningRecorder warnings;
        SettingsStore store(path);
        QCOMPARE(warnings.count(), 0);
        QVERIFY(!store.preservedDamagedFile());
        QVERIFY(damagedCopies().isEmpty());

        // Blank files hold nothing to keep.
        writeBytes(path, " \n");
        SettingsStore blank(path);
        QVERIFY(!blank.preservedDamagedFile());
        QCOMPARE(warnings.count(), 0);
    }

    void neverOverwritesAFileDamagedWhileRunning() {
        SettingsStore store(path);
        store.setNumber(zoomKey, 3.0);
        store.sync();

        writeBytes(path, "{\"oculo.zoomLevel\": ");
        WarningRecorder warnings;
        store.setNumber(zoomKey, 5.0);
        store.sync();
        QCOMPARE(warnings.count(), 1);
        QCOMPARE(readBytes(store.preservedDamagedFile().value_or(QString())),
                 QByteArray("{\"oculo.zoomLevel\": "));
        QCOMPARE(storedZoom(path), 5.0);
    }

    void survivesAnUnusableFolder() {
        // A file where the folder should be: no user (not even root) can write below it.
        writeBytes(dir->filePath(QStringLiteral("blocked")), "not a folder");
        WarningRecorder warnings;
        SettingsStore store(dir->filePath(QStringLiteral("blocked/Oculo/settings.json")));
        MagnifierState state(store);
        QCOMPARE(state.zoomLevel(), 2.0);
        state.setZoomLevel(3.0);
        QTRY_COMPARE(store.syncCount(), 1);
        state.setZoomLevel(4.0);
        QTRY_COMPARE(store.syncCount(), 2);
        QCOMPARE(warnings.count(), 1);
        // What could not be written is still what a new window starts from.
        QCOMPARE(MagnifierState(store).zoomLevel(), 4.0);
    }

    // What the settings path leads to is left exactly as it was, however it is
    // reached, and the start neither blocks nor reads without limit.
    void leavesAnythingButARegularFileAlone() {
        const QString link = path;
        const QString target = dir->filePath(QStringLiteral("target"));
        const QByteArray name = QFile::encodeName(target);
        // A link to a regular file is followed for reading and writing.
        writeBytes(target, R"({"oculo.zoomLevel": 4})");
        QVERIFY(QFile::link(target, link));
        {
            SettingsStore store(link);
            QCOMPARE(store.number(zoomKey), 4.0);
            store.setNumber(zoomKey, 5.0);
            store.sync();
        }
        QCOMPARE(storedZoom(target), 5.0);

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
            const QStringList before = describe(target);
            WarningRecorder warnings;
            SettingsStore store(link);
            QVERIFY(!store.object(zoomKey));
            store.setNumber(zoomKey, 3.0);
            store.sync();
            QCOMPARE(warnings.count(), 1);
            QCOMPARE(store.number(zoomKey), 3.0); // kept in memory
            QCOMPARE(describe(target), before);
            QVERIFY(QFileInfo(link).isSymLink());
        }
    }

    void clampsAndNotifiesOnlyRealChanges() {
        SettingsStore store(path);
        MagnifierState state(store);
        QSignalSpy zoom(&state, &MagnifierState::zoomLevelChanged);
        state.setZoomLevel(2.0);
        QVERIFY(zoom.isEmpty() && !state.hasPendingSave());

        struct Case {
            double set, zoom, alpha;
        };
        for (const Case& c : {Case{0.05, 1.0, 0.1}, Case{12, 10.0, 1.0}, Case{-1, 1.0, 0.1}}) {
            state.setZoomLevel(c.set);
            state.setWindowTransparency(c.set);
            QCOMPARE(state.zoomLevel(), c.zoom);
            QCOMPARE(state.windowTransparency(), c.alpha);
        }
        state.zoomOut();
        QCOMPARE(state.zoomLevel(), 1.0);
        QCOMPARE(zoom.size(), 3); // 1.0, 10.0, 1.0: clamped repeats are no change
        QVERIFY(state.hasPendingSave());

        // Frames compare by identity: a copy is the same frame, a new capture is not.
        QSignalSpy frame(&state, &MagnifierState::currentFrameChanged);
        QImage image(4, 4, QImage::Format_ARGB32);
        image.fill(Qt::red);
        state.setCurrentFrame(image);
        state.setCurrentFrame(QImage(image));
        state.setCurrentFrame(image.copy());
        QCOMPARE(frame.size(), 2);

        // Rectangles always ask for a save, but notify only on a change.
        QSignalSpy region(&state, &MagnifierState::fixedRegionChanged);
        state.setFixedRegion(someFrame);
        state.setFixedRegion(someFrame);
        QCOMPARE(region.size(), 1);
        state.flushPendingSave();
        state.setWindowFrame(std::nullopt);
        QVERIFY(state.hasPendingSave());

        // The window's key steps the filter round; the same value twice is no change.
        state.flushPendingSave();
        QSignalSpy filter(&state, &MagnifierState::colorFilterChanged);
        QSignalSpy picture(&state, &MagnifierState::crosshairChanged);
        state.setColorFilter(ColorFilter::none);
        state.setCrosshair(false);
        state.setSmoothing(Scaling::pixels);
        QVERIFY(filter.isEmpty() && picture.isEmpty() && !state.hasPendingSave());
        QList<ColorFilter> cycle;
        for (int i = 0; i < 4; ++i) {
            state.cycleColorFilter();
            cycle.append(state.colorFilter());
        }
        QCOMPARE(cycle, (QList<ColorFilter>{ColorFilter::invertLightness, ColorFilter::invert,
                                            ColorFilter::grayscale, ColorFilter::none}));
        QCOMPARE(filter.size(), 4);
        QVERIFY(state.hasPendingSave());
    }

    void loadsTheStoredValuesByItsRules() {
        {
            writeBytes(path, R"({"oculo.zoomLevel": 25, "oculo.mode": "FixedRegion",
                "oculo.windowTransparency": 0, "oculo.dockPosition": "top",
                "oculo.isWindowVisible": 0, "oculo.keepWindowActive": 1,
                "oculo.stayInCurrentSpace": 2, "oculo.hideWhileMoving": "true",
                "oculo.fixedRegion.x": "7", "oculo.fixedRegion.y": 0,
                "oculo.fixedRegion.width": 10, "oculo.fixedRegion.height": 10,
                "oculo.windowFrame.x": 1, "oculo.windowFrame.y": 5,
                "oculo.windowFrame.width": 300, "oculo.windowFrame.height": 0,
                "oculo.preDockFrame.x": -4, "oculo.preDockFrame.y": 2,
                "oculo.preDockFrame.width": 80, "oculo.preDockFrame.height": 90,
                "oculo.colorFilter": "Invert", "oculo.smoothing": "smooth", "oculo.crosshair": 1,
                "oculo.followFocus": false})");
            SettingsStore store(path);
            MagnifierState state(store);
            QCOMPARE(state.zoomLevel(), 10.0);
            QCOMPARE(state.mode(), MagnificationMode::followMouse);
            QCOMPARE(state.windowTransparency(), 0.1);
            QCOMPARE(state.dockPosition(), DockPosition::top);
            QCOMPARE(flagsOf(state), (QList<bool>{false, true, false, false}));
            // A rectangle needs four numbers and an area, else it is absent.
            QVERIFY(!state.fixedRegion());
            QVERIFY(!state.windowFrame());
            QCOMPARE(state.preDockFrame(), QRectF(-4, 2, 80, 90));
            QCOMPARE(state.pictureOptions(),
                     (oculo::PictureOptions{ColorFilter::none, Scaling::smooth, true}));
            QVERIFY(!state.followFocus());
            QVERIFY(!state.hasPendingSave());
        }
        {
            writeBytes(path, R"({"oculo.zoomLevel": "3", "oculo.windowTransparency": 0.55,
                "oculo.mode": "fixedRegion", "oculo.dockPosition": "Bottom",
                "oculo.isWindowVisible": true, "oculo.colorFilter": "invertLightness",
                "oculo.smoothing": "bilinear", "oculo.crosshair": "true"})");
            SettingsStore store(path);
            MagnifierState state(store);
            QCOMPARE(state.zoomLevel(), 2.0);
            QCOMPARE(state.windowTransparency(), 0.55);
            QCOMPARE(state.mode(), MagnificationMode::fixedRegion);
            QCOMPARE(state.dockPosition(), DockPosition::none);
            QCOMPARE(flagsOf(state), (QList<bool>{true, false, false, false}));
            QCOMPARE(state.pictureOptions(),
                     (oculo::PictureOptions{ColorFilter::invertLightness, Scaling::pixels, false}));
            QVERIFY(state.followFocus());
        }
        {
            writeBytes(path, R"({"oculo.zoomLevel": 0.2})");
            SettingsStore store(path);
            QCOMPARE(MagnifierState(store).zoomLevel(), 1.0);
        }
    }

    void savesEveryKeyAndRemovesAbsentRectangles() {
        SettingsStore store(path);
        {
            MagnifierState state(store);
            state.setWindowFrame(someFrame);
            state.setDockPosition(DockPosition::bottom);
            state.setHideWhileMoving(true);
            state.setColorFilter(ColorFilter::grayscale);
            state.setCrosshair(true);
            QTRY_COMPARE(store.syncCount(), 1);
            QJsonObject expected = QJsonDocument::fromJson(R"({"oculo.zoomLevel": 2,
                "oculo.mode": "followMouse", "oculo.windowTransparency": 0.3,
                "oculo.dockPosition": "bottom", "oculo.isWindowVisible": true,
                "oculo.keepWindowActive": false, "oculo.stayInCurrentSpace": false,
                "oculo.hideWhileMoving": true, "oculo.windowFrame.x": 100,
                "oculo.windowFrame.y": 200, "oculo.windowFrame.width": 400,
                "oculo.windowFrame.height": 330, "oculo.preDockFrame.x": 100,
                "oculo.preDockFrame.y": 200, "oculo.preDockFrame.width": 400,
                "oculo.preDockFrame.height": 330, "oculo.colorFilter": "grayscale",
                "oculo.smoothing": "pixels", "oculo.crosshair": true, "oculo.followFocus": true})")
                                       .object();
            QCOMPARE(readJsonObject(path), expected);

            // Shown at its region while the pointer cannot be followed, stored as following.
            state.setFollowUnavailableReason(QStringLiteral("No pointer here."));
            QCOMPARE(state.mode(), MagnificationMode::fixedRegion);
            state.setPreDockFrame(std::nullopt);
            QTRY_COMPARE(store.syncCount(), 2);
            for (const char* side : {"x", "y", "width", "height"}) {
                expected.remove(QStringLiteral("oculo.preDockFrame.") + QLatin1String(side));
            }
            QCOMPARE(readJsonObject(path), expected);
        }

        // Round trip through the file into a fresh store and state.
        SettingsStore reopened(path);
        MagnifierState restored(reopened);
        QCOMPARE(restored.windowFrame(), someFrame);
        QCOMPARE(restored.dockPosition(), DockPosition::bottom);
        QVERIFY(restored.hideWhileMoving());
        QCOMPARE(restored.pictureOptions(),
                 (oculo::PictureOptions{ColorFilter::grayscale, Scaling::pixels, true}));
        QVERIFY(!restored.preDockFrame());
        QVERIFY(!restored.fixedRegion());
    }

    void writesOnceAfterABurstAndWhenItGoesAway() {
        SettingsStore store(path);
        MagnifierState state(store);
        for (int i = 1; i <= 10; ++i) {
            state.setZoomLevel(1.0 + i * 0.25);
        }
        QTRY_COMPARE_WITH_TIMEOUT(state.hasPendingSave(), false, 5000);
        QCOMPARE(store.syncCount(), 1);
        QCOMPARE(readJsonObject(path).value(QStringLiteral("oculo.zoomLevel")), 3.5);

        // A pending save is written when the state goes away, or when flushed.
        {
            MagnifierState closing(store);
            closing.setZoomLevel(5);
            QVERIFY(closing.hasPendingSave());
        }
        QCOMPARE(store.syncCount(), 2);
        QCOMPARE(MagnifierState(store).zoomLevel(), 5.0);

        MagnifierState flushed(store);
        flushed.setZoomLevel(6);
        flushed.flushPendingSave();
        QVERIFY(!flushed.hasPendingSave());
        QCOMPARE(MagnifierState(store).zoomLevel(), 6.0);

        MagnifierState suspended(store);
        suspended.setSuspendPersistence(true);
        suspended.setZoomLevel(7);
        suspended.flushPendingSave();
        QCOMPARE(store.syncCount(), 3);
    }
};

OCULO_TEST_MAIN(TestState)
#include "test_state.moc"
