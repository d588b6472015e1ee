#include "common/TestFiles.h"
#include "platform/unix/RenameExchangeSwapper.h"
#include "support/TestEnvironment.h"
#include "update/BundleInstaller.h"
#include "update/TestHttpsServer.h"
#include "update/UpdateClient.h"
#include "update/bundle/BundleArchive.h"
#include "update/bundle/BundleSignature.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <archive.h>
#include <archive_entry.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <map>

using namespace oculo;
using namespace oculo::test;
using namespace Qt::StringLiterals;
using Kind = bundle::Failure::Kind;

namespace {

const QString appId = u"org.oculo.Oculo"_s;

// A bundle of `build` around `executable`, signed with `key` unless it is empty.
void makeBundle(const QString& path, int build, const QByteArray& key,
                const QString& executable = u"/bin/true"_s) {
    QVERIFY(QDir().mkpath(path + u"/lib"_s));
    QVERIFY(QFile::copy(executable, path + u"/oculo"_s));
    writeBytes(path + u"/Info.json"_s,
               R"({"CFBundleIdentifier":"org.oculo.Oculo","CFBundleExecutable":"oculo",)"
               R"("CFBundleVersion":")" +
                   QByteArray::number(build) + "\"}");
    writeBytes(path + u"/lib/data"_s, "data");
    if (!key.isEmpty()) {
        QCOMPARE(bundle::signBundle(path, key), std::nullopt);
    }
}

struct ZipEntry {
    QByteArray path;
    unsigned type = AE_IFREG;
    int perm = 0644;
    QByteArray content = "x"; // the link target for links
};

void writeZip(const QString& path, const QList<ZipEntry>& entries) {
    archive* zip = archive_write_new();
    archive_write_set_format_zip(zip);
    QCOMPARE(archive_write_open_filename(zip, QFile::encodeName(path).constData()), ARCHIVE_OK);
    for (const ZipEntry& e : entries) {
        archive_entry* entry = archive_entry_new();
        archive_entry_set_pathname(entry, e.path.constData());
        archive_entry_set_filetype(entry, e.type);
        archive_entry_set_perm(entry, static_cast<mode_t>(e.perm));
        if (e.type == AE_IFLNK) {
            archive_entry_set_symlink(entry, e.content.constData());
        } else if (e.type == AE_IFREG) {
            archive_entry_set_size(entry, e.content.size());
        }
        archive_write_header(zip, entry);
        if (e.type == AE_IFREG) {
            archive_write_data(zip, e.content.constData(), static_cast<size_t>(e.content.size()));
        }
        archive_entry_free(entry);
    }
    archive_write_close(zip);
    archive_write_free(zip);
}

// Every entry below `path` with its content, mode or link target.
std::map<QString, QString> snapshot(const QString& path) {
    std::map<QString, QString> entries;
    QDirIterator it(path, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info(it.next());
        entries[QDir(path).relativeFilePath(info.filePath())] =
            info.isSymLink() ? info.symLinkTarget()
                             : bundle::sha256Hex(info.filePath()).value_or(QString()) +
                                   QString::number(info.permissions());
    }
    return entries;
}

// Exchanges for real; the relaunch is recorded and fails when told to.
class RecordingSwapper : public RenameExchangeSwapper {
public:
    std::optional<QString> relaunch(qint64 pid, const QString& executable) override {
        relaunched.append(u"%1 %2"_s.arg(pid).arg(executable));
        return relaunchError;
    }
    QStringList relaunched;
    std::optional<QString> relaunchError;
};

} // namespace

class TestBundleInstaller : public QObject {
    Q_OBJECT

    const QByteArray key = bundle::generatePrivateKeyPem();
    const QByteArray otherKey = bundle::generatePrivateKeyPem();
    const QString team = *bundle::teamIdentifierOfPrivateKey(key);
    // This test is built as a copy of Oculo that trusts only this file for updates.
    const QString caFile = QCoreApplication::applicationDirPath() + u"/pinned-update-ca.pem"_s;

    // The built-in server of this copy, at `server`, with `pem` in its file.
    UpdateServer pinnedTo(const TestHttpsServer& server, const QByteArray& pem) {
        writeBytes(caFile, pem);
        UpdateServer builtIn = UpdateServer::builtIn();
        builtIn.baseUrl = server.baseUrl();
        return builtIn;
    }

private Q_SLOTS:
    void verificationRequiresExactAgreement() {
        const auto writeTo = [](const char* name, const QByteArray& bytes) {
            return [=](const QDir& b) { writeBytes(b.filePath(QLatin1String(name)), bytes); };
        };
        const auto remove = [](const char* name) {
            return [=](const QDir& b) {
                QFile::remove(b.filePath(QLatin1String(name)));
                QDir(b.filePath(QLatin1String(name))).removeRecursively();
            };
        };
        const struct {
            const char* name;
            std::function<void(const QDir&)> change;
            std::optional<Kind> failure;
            int machine = bundle::hostMachine();
        } cases[] = {
            {"valid", [](const QDir&) {}, std::nullopt},
            {"missing file", remove("lib/data"), Kind::signature},
            {"changed file", writeTo("lib/data", "changed"), Kind::signature},
            {"unlisted file", writeTo("lib/extra", "x"), Kind::signature},
            {"unlisted signature file", writeTo("_CodeSignature/extra", "x"), Kind::signature},
            {"changed mode",
             [](const QDir& b) {
                 QFile::setPermissions(b.filePath(u"lib/data"_s), QFile::ReadOwner);
             },
             Kind::signature},
            {"escaping link",
             [](const QDir& b) { QFile::link(u"../.."_s, b.filePath(u"lib/up"_s)); },
             Kind::signature},
            {"other key", [this](const QDir& b) { bundle::signBundle(b.path(), otherKey); },
             Kind::signature},
            {"unsigned", remove("_CodeSignature"), Kind::unreadable},
            {"other app",
             [this](const QDir& b) {
                 writeBytes(b.filePath(u"Info.json"_s),
                            R"({"CFBundleIdentifier":"org.other","CFBundleExecutable":"oculo"})");
                 bundle::signBundle(b.path(), key);
             },
             Kind::wrongIdentity},
            // Signing refuses it, so the signature of the first Info.json stays.
            {"executable below the top",
             [this](const QDir& b) {
                 QFile::copy(b.filePath(u"oculo"_s), b.filePath(u"lib/oculo"_s));
                 writeBytes(b.filePath(u"Info.json"_s),
                            R"({"CFBundleIdentifier":"org.oculo.Oculo",)"
                            R"("CFBundleExecutable":"lib/oculo","CFBundleVersion":"2"})");
                 bundle::signBundle(b.path(), key);
             },
             Kind::signature},
            {"other machine", [](const QDir&) {}, Kind::architecture, 183},
        };
        for (const auto& c : cases) {
            QTemporaryDir dir;
            const QString path = dir.filePath(u"Oculo.app"_s);
            makeBundle(path, 2, key);
            c.change(QDir(path));
            const auto failure = bundle::verifyBundle(path, {appId, team, 2, c.machine});
            QVERIFY2((failure ? std::optional(failure->kind) : std::nullopt) == c.failure, c.name);
        }
    }

    void unpackingRefusesHostileArchives() {
        QList<ZipEntry> many;
        for (int i = 0; i < 6; ++i) {
            many.append({"Oculo.app/" + QByteArray::number(i)});
        }
        const struct {
            const char* name;
            QList<ZipEntry> entries;
        } cases[] = {
            {"absolute path", {{"/tmp/oculo-test-escape"}}},
            {"dot-dot", {{"Oculo.app/../../escape"}}},
            {"escaping link", {{"Oculo.app/l", AE_IFLNK, 0777, "../../etc"}}},
            // Each link stays inside on paper; together they lead out.
            {"link through link",
             {{"Oculo.app/up", AE_IFLNK, 0777, ".."}, {"Oculo.app/out", AE_IFLNK, 0777, "up/.."}}},
            {"set-id bit", {{"Oculo.app/s", AE_IFREG, 04755}}},
            {"too many entries", many},
            {"too large", {{"Oculo.app/big", AE_IFREG, 0644, QByteArray(2000, 'x')}}},
        };
        for (const auto& c : cases) {
            QTemporaryDir dir;
            writeZip(dir.filePath(u"p.zip"_s), c.entries);
            QVERIFY(QDir(dir.path()).mkdir(u"out"_s));
            QVERIFY2(bundle::unpackZip(dir.filePath(u"p.zip"_s), dir.filePath(u"out"_s), {1000, 5}),
                     c.name);
            QVERIFY2(!QFileInfo::exists(dir.filePath(u"escape"_s)), c.name);
        }
        QVERIFY(!QFileInfo::exists(u"/tmp/oculo-test-escape"_s));
    }

    // Through oculo-bundle, as a developer checks a bundle and the installer would: a
    // signed Oculo.app in pkg/ is changed, then verified in place or zipped and unpacked.
    void toolRefusesHostileBundles() {
        // Moves `path` to pkg/sig and links it back.
        const auto moveOut = [](const QString& path) {
            return [=](const QDir& d) {
                QVERIFY(QDir().rename(d.filePath(path), d.filePath(u"sig"_s)));
                QVERIFY(
                    QFile::link(u"../"_s.repeated(path.count(u'/')) + u"sig"_s, d.filePath(path)));
            };
        };
        const auto openFolders = [](const QDir& d) {
            QVERIFY(QFile::setPermissions(d.filePath(u"Oculo.app/lib"_s),
                                          QFileDevice::Permissions(0x7777)));
        };
        enum class As { folder, zip, zipWithFifo };
        const struct {
            const char* name;
            std::function<void(const QDir&)> change;
            const char* refusal; // what the tool says; empty when it accepts
            As as = As::folder;
        } cases[] = {
            {"signature outside", moveOut(u"Oculo.app/_CodeSignature"_s), "ture is a link"},
            {"zipped beside the app", moveOut(u"Oculo.app/_CodeSignature"_s), "ture is a link",
             As::zip},
            {"manifest a link", moveOut(u"Oculo.app/_CodeSignature/CodeResources"_s),
             "Resources is a link"},
            {"open folders", openFolders, "writable by other users"},
            {"open folders zipped", openFolders, "", As::zip},
            {"app a link", moveOut(u"Oculo.app"_s), "not a folder"},
            {"fifo", [](const QDir& d) { writeBytes(d.filePath(u"Oculo.app/fifo"_s), {}); },
             "fifo is a device, fifo or socket", As::zipWithFifo},
            {"name not UTF-8",
             [this](const QDir& d) {
                 const QByteArray name = QFile::encodeName(d.path()) + "/Oculo.app/lib/\xff";
                 QVERIFY(::mkdir(name.constData(), 0755) == 0);
                 bundle::signBundle(d.filePath(u"Oculo.app"_s), key);
             },
             "is not named in UTF-8"},
        };
        const auto run = [](const QStringList& arguments) {
            QProcess tool;
            tool.start(qEnvironmentVariable("OCULO_TEST_BINARY_DIR") + u"/tools/oculo-bundle"_s,
                       arguments);
            tool.waitForFinished(60000);
            return tool.exitCode() == 0 ? QByteArray() : tool.readAllStandardError() + "(failed)";
        };
        for (const auto& c : cases) {
            QTemporaryDir dir;
            const QDir pkg(dir.filePath(u"pkg"_s));
            makeBundle(pkg.filePath(u"Oculo.app"_s), 2, key);
            c.change(pkg);
            QString app = pkg.filePath(u"Oculo.app"_s);
            QByteArray said;
            if (c.as != As::folder) {
                QCOMPARE(bundle::packZip(pkg.path(), dir.filePath(u"p.zip"_s)), std::nullopt);
                QByteArray zip = readBytes(dir.filePath(u"p.zip"_s));
                if (c.as == As::zipWithFifo) {
                    // libarchive writes no fifo: the central directory is made to say one.
                    const qsizetype at = zip.lastIndexOf("pkg/Oculo.app/fifo") - 46;
                    writeBytes(dir.filePath(u"p.zip"_s), zip.replace(at + 40, 2, "\xa4\x11"));
                }
                said = run({u"unpack"_s, dir.filePath(u"p.zip"_s), dir.filePath(u"out"_s)});
                app = dir.filePath(u"out/pkg/Oculo.app"_s);
            }
            if (said.isEmpty()) {
                said = run({u"verify"_s, app, appId, team});
            }
            QVERIFY2(QByteArray(c.refusal).isEmpty() ? said.isEmpty() : said.contains(c.refusal),
                     c.name + (": " + said));
            // Whatever the archive says, unpacked folders are writable by their owner alone.
            if (c.as == As::zip) {
                QCOMPARE(QFileInfo(app + u"/lib"_s).permissions() & 0x7777, 0x7755);
            }
            // Qt cannot name what is not UTF-8.
            std::filesystem::remove_all(dir.path().toStdString());
        }
    }

    // Against the test HTTPS server: each failure leaves the running build-1
    // bundle as it was and no work folder behind.
    void installerChecksEveryStep() {
        TestHttpsServer server;
        QTemporaryDir packages;
        const auto packageOf = [&](const char* name, int build, const QByteArray& signer) {
            const QString folder = packages.filePath(QLatin1String(name));
            makeBundle(folder + u"/Oculo.app"_s, build, signer);
            bundle::packZip(folder + u"/Oculo.app"_s, folder + u".zip"_s);
            return readBytes(folder + u".zip"_s);
        };
        const auto zipOf = [&](const QList<ZipEntry>& entries) {
            writeZip(packages.filePath(u"raw.zip"_s), entries);
            return readBytes(packages.filePath(u"raw.zip"_s));
        };
        const auto hashOf = [](const QByteArray& package) {
            return u"sha256:"_s +
                   QString::fromLatin1(
                       QCryptographicHash::hash(package, QCryptographicHash::Sha256).toHex());
        };
        enum class Running { signedBundle, unsignedBundle, translocated, relaunchFails };
        const QByteArray good = packageOf("good", 2, key);
        // Downloads, too, trust only the pinned certificate.
        const UpdateServer pinned = pinnedTo(server, server.certificate().toPem());
        const QString noShell = u"No shell."_s;
        const struct {
            const char* name;
            QByteArray package;
            QString message; // empty: installed
            QString hash = {};
            int status = 200;
            Running running = Running::signedBundle;
        } cases[] = {
            {"installs", good, {}, hashOf(good).toUpper()},
            {"translocated", good, installmessages::translocated, {}, 200, Running::translocated},
            {"404", good, installmessages::downloadStatus, {}, 404},
            {"digest mismatch", good, installmessages::digestMismatch, hashOf("other")},
            {"not a zip", "\x1f\x8b\x08 gzip", installmessages::packaging},
            {"two apps", zipOf({{"A.app/x"}, {"B.app/x"}}), installmessages::singleApp},
            {"app in a subfolder", zipOf({{"sub/Oculo.app/x"}}), installmessages::singleApp},
            {"unsigned", good, installmessages::noTeamIdentifier, {}, 200, Running::unsignedBundle},
            {"build equal", packageOf("equal", 1, key), installmessages::buildNotNewer},
            {"build not offered", packageOf("three", 3, key), installmessages::buildNotOffered},
            {"other key", packageOf("other", 2, otherKey), installmessages::signatureCheck},
            {"relaunch fails", good, noShell, {}, 200, Running::relaunchFails},
        };
        for (const auto& c : cases) {
            QTemporaryDir root;
            const bool translocated = c.running == Running::translocated;
            const QString folder = root.filePath(translocated ? u".mount_Oculo"_s : u"Apps"_s);
            const QString running = folder + u"/Oculo.app"_s;
            makeBundle(running, 1, c.running == Running::unsignedBundle ? QByteArray() : key);
            const auto before = snapshot(root.path());
            auto* swapper = new RecordingSwapper;
            if (c.running == Running::relaunchFails) {
                swapper->relaunchError = noShell;
            }
            BundleInstaller installer({running, appId, 1, pinned},
                                      std::unique_ptr<BundleSwapper>(swapper));
            QSignalSpy failed(&installer, &UpdateInstaller::failed);
            QSignalSpy installed(&installer, &UpdateInstaller::installed);
            const qsizetype requests = server.requests.size();
            if (!translocated) {
                server.enqueue({c.status, c.package});
            }
            const QUrl url(server.baseUrl().toString() + u"/p.zip"_s);
            const QString hash = c.hash.isEmpty() ? hashOf(c.package) : c.hash;
            installer.install({u"2"_s, 2, url, hash, {}, false});
            QTRY_VERIFY_WITH_TIMEOUT(failed.size() + installed.size() == 1, 60000);
            // No work folder stays behind: failures leave the whole folder as it was.
            if (c.message.isEmpty()) {
                QCOMPARE(
                    QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                    QStringList{u"Oculo.app"_s});
                QCOMPARE(snapshot(running), snapshot(packages.filePath(u"good/Oculo.app"_s)));
                QCOMPARE(
                    swapper->relaunched,
                    QStringList{
                        u"%1 %2/oculo"_s.arg(QCoreApplication::applicationPid()).arg(running)});
                continue;
            }
            QCOMPARE(failed.value(0).value(0).value<UpdateError>().errorDescription, c.message);
            QVERIFY2(snapshot(root.path()) == before, c.name);
            if (translocated) {
                QCOMPARE(server.requests.size(), requests);
            }
        }
    }

    // A build-1 bundle installs build 2 from the server, quits, and build 2 starts.
    void installsAndRelaunchesEndToEnd() {
        TestHttpsServer server;
        QTemporaryDir root;
        const QString probe = QCoreApplication::applicationDirPath() + u"/bundle_probe"_s;
        const QString running = root.filePath(u"Apps/Oculo.app"_s);
        const QString next = root.filePath(u"next/Oculo.app"_s);
        makeBundle(running, 1, key, probe);
        makeBundle(next, 2, key, probe);
        QCOMPARE(bundle::packZip(next, root.filePath(u"p.zip"_s)), std::nullopt);
        const QByteArray package = readBytes(root.filePath(u"p.zip"_s));
        writeBytes(root.filePath(u"cert.pem"_s), server.certificate().toPem());
        server.enqueue({200, package});
        // Beside the bundle a crash left a work folder; the next start removes it, and
        // nothing else named alike, nor a folder an installation still holds.
        const QDir apps(root.filePath(u"Apps"_s));
        const QStringList kept{u".oculo-update-Held12"_s, u".oculo-update-keep-me"_s,
                               u".oculo-update-link12"_s};
        for (const QString& name : {u".oculo-update-Crash1"_s, kept[0], kept[1]}) {
            QVERIFY(apps.mkpath(name + u"/f"_s));
        }
        QVERIFY(QFile::link(kept[1], apps.filePath(kept[2])));
        const int held = ::open(QFile::encodeName(apps.filePath(kept[0])).constData(), O_RDONLY);
        QVERIFY(::flock(held, LOCK_EX) == 0);

        QProcess old;
        // Qt's network thread may still be tearing down its TLS state when the probe
        // exits; that race is Qt's, so leaks are not checked in the probes.
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"ASAN_OPTIONS"_s, env.value(u"ASAN_OPTIONS"_s) + u":detect_leaks=0"_s);
        old.setProcessEnvironment(env);
        old.start(running + u"/oculo"_s,
                  {server.baseUrl().toString() + u"/p.zip"_s,
                   u"sha256:"_s + *bundle::sha256Hex(root.filePath(u"p.zip"_s)),
                   root.filePath(u"cert.pem"_s)});
        QTRY_VERIFY_WITH_TIMEOUT(old.state() == QProcess::NotRunning, 120000);
        const auto report = [&root] { return readBytes(root.filePath(u"Apps/report"_s)); };
        QVERIFY2(old.exitCode() == 0, (report() + old.readAllStandardError()).constData());
        QTRY_COMPARE_WITH_TIMEOUT(report(), QByteArray("started 1\nstarted 2\n"), 60000);
        QCOMPARE(snapshot(running), snapshot(next));
        ::close(held);
        QCOMPARE(apps.entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 kept + QStringList({u"Oculo.app"_s, u"report"_s}));
    }

    // Checks trust only the pinned certificate: another one, or a file without one, stops them
    // before anything reaches the server.
    void pinnedBuildChecksOnlyItsServer() {
        TestHttpsServer server;
        const QString unreadable = u"This build of Oculo trusts only the update server "
                                   u"certificate in %1, which couldn't be read."_s.arg(caFile);
        for (const auto& [pem, failure] : std::initializer_list<std::pair<QByteArray, QString>>{
                 {{}, unreadable},
                 {makeLocalIdentity("other").localCertificate().toPem(),
                  u"A secure connection to the update server could not be established."_s},
                 {server.certificate().toPem(), {}}}) {
            UpdateClient client(pinnedTo(server, pem));
            QSignalSpy checked(&client, &UpdateClient::fetchFinished);
            server.enqueue({200, R"({"isUpdateAvailable":false})"});
            client.fetch({appId, u"1"_s, 1}, {6, 1, 0});
            QVERIFY(checked.wait(30000));
            QCOMPARE(checked.value(0)
                         .value(0)
                         .value<FetchResult>()
                         .error.value_or(UpdateError())
                         .errorDescription,
                     failure);
        }
        QCOMPARE(server.requests.size(), 1);
    }
};

OCULO_TEST_MAIN(TestBundleInstaller)
#include "test_bundle_installer.moc"
