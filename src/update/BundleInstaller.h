#pragma once

#include "update/UpdateInstaller.h"
#include "update/UpdateServer.h"
#include "update/bundle/BundleSignature.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFutureWatcher>
#include <QNetworkAccessManager>
#include <QPointer>
#include <QTemporaryDir>
#include <QTimer>

#include <chrono>
#include <memory>
#include <optional>

class QNetworkReply;

namespace oculo {

class BundleSwapper;
class WorkFolderLock;

// What an installation tells the user when it stops.
namespace installmessages {
inline const QString translocated = QStringLiteral(
    "Oculo is running from a read-only or temporary location. Move Oculo to a folder you can "
    "write to, open it from there, and try again.");
inline const QString downloadStatus = QStringLiteral("The download failed.");
inline const QString digestMismatch = QStringLiteral(
    "The downloaded update is damaged (checksum mismatch), so it was not installed.");
inline const QString packaging =
    QStringLiteral("This update isn't packaged in a way Oculo can install by itself.");
inline const QString unpacking = QStringLiteral("The update package couldn't be unpacked.");
inline const QString singleApp =
    QStringLiteral("The update package doesn't contain a single Oculo app.");
inline const QString noTeamIdentifier =
    QStringLiteral("This copy of Oculo isn't signed, so it can't verify updates. Download the "
                   "update from the Oculo website instead.");
inline const QString wrongIdentity = QStringLiteral("The downloaded app isn't Oculo.");
inline const QString buildNotNewer =
    QStringLiteral("The downloaded app is not newer than the installed one.");
inline const QString buildNotOffered = QStringLiteral(
    "The downloaded app isn't the version that was offered, so it was not installed.");
inline const QString signatureUnreadable =
    QStringLiteral("The downloaded app's signature couldn't be read.");
inline const QString requirement = QStringLiteral("Couldn't build the signature check.");
inline const QString signatureCheck = QStringLiteral(
    "The downloaded app isn't signed by Oculo's developer, so it was not installed.");
QString permission(const QString& folder);
QString architecture();
} // namespace installmessages

// Installs signed bundles: downloads the package into a work folder beside
// the running bundle, checks its digest, unpacks it, verifies the new bundle
// off the GUI thread, swaps it in and starts its relaunch. The work folder
// is removed whatever the outcome; one a crash left behind goes at the next
// start, when the installer is made.
class BundleInstaller : public UpdateInstaller {
    Q_OBJECT

public:
    struct Options {
        // The running bundle; empty when Oculo does not run from one.
        QString bundlePath;
        QString bundleIdentifier;
        qint64 currentBuild = 0;
        // Downloads trust what checks of this server trust.
        UpdateServer server;
        qint64 maxPackageBytes = qint64(1) << 30;
        // A download that receives nothing for this long is stopped.
        std::chrono::milliseconds stallTimeout{60'000};
        // The process the relaunch waits for; this one when not set.
        qint64 processId = 0;
    };

    BundleInstaller(Options options, std::unique_ptr<BundleSwapper> swapper,
                    QObject* parent = nullptr);
    ~BundleInstaller() override;

    void install(const oculo::UpdateInfo& update) override;

    // Why the bundle at `bundlePath` cannot be replaced from here, if it cannot.
    static std::optional<UpdateError> checkCanReplace(const QString& bundlePath);
    // The single "….app" folder directly inside `folder`.
    static std::optional<QString> findApp(const QString& folder, UpdateError* error);
    // Whether the file begins with the ZIP local-header signature.
    static bool isZip(const QString& path);

private:
    struct Prepared {
        QString newBundle;
        std::optional<UpdateError> error;
        // The file name of its executable, to start once it is in place.
        QString executable = {};
    };
    static Prepared prepare(QString workDir, QString expectedDigest, bundle::Expectation expected,
                            std::optional<QString> team);

    void readDownload();
    void finishDownload();
    void finishPreparation();
    void fail(const QString& message);
    void finish();

    Options m_options;
    std::unique_ptr<BundleSwapper> m_swapper;
    QNetworkAccessManager m_network;
    QPointer<QNetworkReply> m_reply;
    QTimer m_stallTimer;
    std::unique_ptr<QTemporaryDir> m_workDir;
    // Held while the work folder is in use, so that another start leaves it alone.
    std::unique_ptr<WorkFolderLock> m_workLock;
    QFuture<void> m_leftoverRemoval;
    QFile m_package;
    std::optional<UpdateInfo> m_update;
    std::optional<QString> m_downloadError;
    QFutureWatcher<Prepared> m_preparation;
};

} // namespace oculo
