#include "update/BundleInstaller.h"

#include "platform/BundleSwapper.h"
#include "update/bundle/BundleArchive.h"
#include "update/bundle/BundleSignature.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QtConcurrent/QtConcurrentRun>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace oculo {

QString installmessages::permission(const QString& folder) {
    return QStringLiteral("Oculo doesn't have permission to replace itself in %1.").arg(folder);
}

QString installmessages::architecture() {
    return QStringLiteral("The downloaded update is built for a different kind of computer (this "
                          "computer needs the %1 version).")
        .arg(bundle::machineName(bundle::hostMachine()));
}

namespace {

const QString packageName = QStringLiteral("package");
const QString extractedName = QStringLiteral("extracted");
const QString workFolderPrefix = QStringLiteral(".oculo-update-");

bool isWritable(const QString& path) {
    return ::access(QFile::encodeName(path).constData(), W_OK) == 0;
}

// A read-only file system, or the private mount of a self-mounting image.
bool isOnTemporaryOrReadOnlyMount(const QString& path) {
    struct statvfs info {};
    if (::statvfs(QFile::encodeName(path).constData(), &info) == 0 &&
        (info.f_flag & ST_RDONLY) != 0) {
        return true;
    }
    return path.contains(QLatin1String("/.mount_"));
}

QString messageFor(bundle::Failure::Kind kind) {
    using Kind = bundle::Failure::Kind;
    switch (kind) {
    case Kind::wrongIdentity:
        return installmessages::wrongIdentity;
    case Kind::notNewer:
        return installmessages::buildNotNewer;
    case Kind::notOffered:
        return installmessages::buildNotOffered;
    case Kind::architecture:
        return installmessages::architecture();
    case Kind::unreadable:
        return installmessages::signatureUnreadable;
    case Kind::requirement:
        return installmessages::requirement;
    case Kind::signature:
        break;
    }
    return installmessages::signatureCheck;
}

} // namespace

// An exclusive lock on a work folder. The kernel drops it when the process ends,
// so the folders of a crashed installation are free to remove.
class WorkFolderLock {
public:
    // Nothing when `path` is no real folder of this user or another process holds it.
    static std::unique_ptr<WorkFolderLock> acquire(const QString& path) {
        const int fd = ::open(QFile::encodeName(path).constData(),
                              O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        struct stat status {};
        if (fd >= 0 && ::fstat(fd, &status) == 0 && status.st_uid == ::getuid() &&
            ::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            return std::unique_ptr<WorkFolderLock>(new WorkFolderLock(fd));
        }
        if (fd >= 0) {
            ::close(fd);
        }
        return nullptr;
    }
    ~WorkFolderLock() { ::close(m_fd); }
    WorkFolderLock(const WorkFolderLock&) = delete;
    WorkFolderLock& operator=(const WorkFolderLock&) = delete;

private:
    explicit WorkFolderLock(int fd)
        : m_fd(fd) {}
    int m_fd;
};

namespace {

// Only folders named exactly as the installer names them, and free to lock.
void removeLeftoverWorkFolders(const QString& folder) {
    static const QRegularExpression ours(QStringLiteral("^\\.oculo-update-[A-Za-z0-9]{6}$"));
    const QDir dir(folder);
    for (const QString& name :
         dir.entryList({workFolderPrefix + QLatin1Char('*')},
                       QDir::Dirs | QDir::Hidden | QDir::NoSymLinks | QDir::NoDotAndDotDot)) {
        const QString path = dir.filePath(name);
        // Held until the folder is gone.
        const auto lock = ours.match(name).hasMatch() ? WorkFolderLock::acquire(path) : nullptr;
        if (lock) {
            QDir(path).removeRecursively();
        }
    }
}

} // namespace

BundleInstaller::BundleInstaller(Options options, std::unique_ptr<BundleSwapper> swapper,
                                 QObject* parent)
    : UpdateInstaller(parent)
    , m_options(std::move(options))
    , m_swapper(std::move(swapper)) {
    m_stallTimer.setSingleShot(true);
    connect(&m_stallTimer, &QTimer::timeout, this, [this] {
        m_downloadError = QStringLiteral("The download stalled, so it was stopped.");
        if (m_reply) {
            m_reply->abort();
        }
    });
    connect(&m_preparation, &QFutureWatcher<Prepared>::finished, this,
            &BundleInstaller::finishPreparation);
    // Off the GUI thread: the folder may be slow to list, the leftovers large.
    if (!m_options.bundlePath.isEmpty()) {
        m_leftoverRemoval = QtConcurrent::run(removeLeftoverWorkFolders,
                                              QFileInfo(m_options.bundlePath).absolutePath());
    }
}

BundleInstaller::~BundleInstaller() {
    if (m_reply) {
        disconnect(m_reply, nullptr, this, nullptr);
        m_reply->abort();
        m_reply->deleteLater();
    }
    // The background work writes into the work folder: it ends before the folder goes.
    m_preparation.disconnect(this);
    m_preparation.waitForFinished();
    m_leftoverRemoval.waitForFinished();
}

std::optional<UpdateError> BundleInstaller::checkCanReplace(const QString& bundlePath) {
    if (isOnTemporaryOrReadOnlyMount(bundlePath)) {
        return UpdateError{installmessages::translocated};
    }
    const QString folder = QFileInfo(bundlePath).absolutePath();
    if (isWritable(bundlePath) && isWritable(folder)) {
        return std::nullopt;
    }
    return UpdateError{installmessages::permission(folder)};
}

std::optional<QString> BundleInstaller::findApp(const QString& folder, UpdateError* error) {
    QDir dir(folder);
    if (!dir.exists()) {
        *error = {installmessages::singleApp};
        return std::nullopt;
    }
    dir.setFilter(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    QStringList apps;
    for (const QFileInfo& entry : dir.entryInfoList()) {
        if (entry.suffix() == QLatin1String("app")) {
            apps.append(entry.absoluteFilePath());
        }
    }
    // A link named "….app" would be exchanged as a link: only a real folder counts.
    if (apps.size() != 1 || !QFileInfo(apps.front()).isDir() ||
        QFileInfo(apps.front()).isSymLink()) {
        *error = {installmessages::singleApp};
        return std::nullopt;
    }
    return apps.front();
}

bool BundleInstaller::isZip(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) && file.read(4) == QByteArrayLiteral("PK\x03\x04");
}

void BundleInstaller::install(const UpdateInfo& update) {
    m_update = update;
    m_downloadError.reset();
    if (m_options.bundlePath.isEmpty()) {
        // Not a bundle: there is nothing signed to compare an update with.
        fail(installmessages::noTeamIdentifier);
        return;
    }
    if (const auto error = checkCanReplace(m_options.bundlePath)) {
        fail(error->errorDescription);
        return;
    }
    if (!m_options.server.trustError.isEmpty()) {
        fail(m_options.server.trustError);
        return;
    }
    // Beside the bundle, so that the exchange stays on one file system. The
    // leftovers go first, so that their removal never meets the new folder.
    m_leftoverRemoval.waitForFinished();
    m_workDir = std::make_unique<QTemporaryDir>(QFileInfo(m_options.bundlePath).absolutePath() +
                                                QLatin1Char('/') + workFolderPrefix +
                                                QStringLiteral("XXXXXX"));
    if (!m_workDir->isValid() ||
        !QFile::setPermissions(m_workDir->path(),
                               QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner)) {
        fail(QStringLiteral("Oculo couldn't prepare a folder for the update (%1).")
                 .arg(m_workDir->errorString()));
        return;
    }
    // Where no lock can be taken, no other start can take one either, and none removes it.
    m_workLock = WorkFolderLock::acquire(m_workDir->path());
    m_package.setFileName(QDir(m_workDir->path()).filePath(packageName));
    if (!m_package.open(QIODevice::WriteOnly)) {
        fail(QStringLiteral("Oculo couldn't store the update (%1).").arg(m_package.errorString()));
        return;
    }

    QNetworkRequest request = m_options.server.request(update.downloadURL);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    m_reply = m_network.get(request);
    connect(m_reply, &QNetworkReply::readyRead, this, &BundleInstaller::readDownload);
    connect(m_reply, &QNetworkReply::finished, this, &BundleInstaller::finishDownload);
    connect(m_reply, &QNetworkReply::downloadProgress, this, [this](qint64 received, qint64 total) {
        if (total > m_options.maxPackageBytes && !m_downloadError) {
            m_downloadError = QStringLiteral("The update package is too large.");
            m_reply->abort();
        } else if (total > 0) {
            Q_EMIT downloadProgress(static_cast<int>(received * 100 / total));
        }
    });
    m_stallTimer.start(m_options.stallTimeout);
}

void BundleInstaller::readDownload() {
    if (!m_reply || m_downloadError || !m_reply->isOpen()) {
        return;
    }
    m_stallTimer.start(m_options.stallTimeout);
    const QByteArray data = m_reply->readAll();
    if (m_package.size() + data.size() > m_options.maxPackageBytes) {
        m_downloadError = QStringLiteral("The update package is too large.");
        m_reply->abort();
    } else if (m_package.write(data) != data.size()) {
        m_downloadError =
            QStringLiteral("Oculo couldn't store the update (%1).").arg(m_package.errorString());
        m_reply->abort();
    }
}

void BundleInstaller::finishDownload() {
    if (!m_reply) {
        return;
    }
    readDownload();
    QNetworkReply* reply = m_reply;
    m_reply = nullptr;
    m_stallTimer.stop();
    disconnect(reply, nullptr, this, nullptr);
    reply->deleteLater();
    const bool stored = m_package.flush();
    m_package.close();

    const ReplyOutcome outcome = classifyReply(*reply);
    if (m_downloadError) {
        fail(*m_downloadError);
    } else if (outcome.kind == ReplyOutcome::Kind::httpStatus) {
        fail(installmessages::downloadStatus);
    } else if (outcome.kind != ReplyOutcome::Kind::ok) {
        fail(QStringLiteral("The download failed (%1).").arg(outcome.errorString));
    } else if (!stored) {
        fail(QStringLiteral("Oculo couldn't store the update (%1).").arg(m_package.errorString()));
    } else {
        Q_EMIT packageStored();
        // Exactly the offered build: an older signed one could be replayed otherwise.
        const bundle::Expectation expected{m_options.bundleIdentifier, QString(),
                                           m_options.currentBuild + 1, bundle::hostMachine(),
                                           m_update->buildNumber};
        m_preparation.setFuture(QtConcurrent::run(
            &BundleInstaller::prepare, m_workDir->path(), m_update->packageHash.mid(7).toLower(),
            expected, bundle::signedTeamIdentifier(m_options.bundlePath)));
    }
}

BundleInstaller::Prepared BundleInstaller::prepare(QString workDir, QString expectedDigest,
                                                   bundle::Expectation expected,
                                                   std::optional<QString> team) {
    const auto release = qScopeGuard([] { bundle::releaseThreadState(); });
    const QDir work(workDir);
    const QString package = work.filePath(packageName);
    const auto digest = bundle::sha256Hex(package);
    if (!digest) {
        return {{}, UpdateError{QStringLiteral("The downloaded update couldn't be read.")}};
    }
    if (*digest != expectedDigest) {
        return {{}, UpdateError{installmessages::digestMismatch}};
    }
    if (!isZip(package)) {
        return {{}, UpdateError{installmessages::packaging}};
    }
    const QString extracted = work.filePath(extractedName);
    if (!work.mkdir(extractedName) || bundle::unpackZip(package, extracted)) {
        return {{}, UpdateError{installmessages::unpacking}};
    }
    UpdateError error;
    const auto app = findApp(extracted, &error);
    if (!app) {
        return {{}, error};
    }
    if (!team) {
        return {{}, UpdateError{installmessages::noTeamIdentifier}};
    }
    expected.team = *team;
    if (const auto failure = bundle::verifyBundle(*app, expected)) {
        return {{}, UpdateError{messageFor(failure->kind)}};
    }
    // The verification found the executable already; it names none only if changed since.
    const auto executable = bundle::executableName(*app);
    if (!executable) {
        return {{}, UpdateError{messageFor(bundle::Failure::Kind::architecture)}};
    }
    return {*app, std::nullopt, *executable};
}

void BundleInstaller::finishPreparation() {
    const Prepared prepared = m_preparation.result();
    if (prepared.error) {
        fail(prepared.error->errorDescription);
        return;
    }
    if (const auto error = m_swapper->exchange(m_options.bundlePath, prepared.newBundle)) {
        fail(*error);
        return;
    }
    const qint64 pid =
        m_options.processId > 0 ? m_options.processId : QCoreApplication::applicationPid();
    if (const auto error =
            m_swapper->relaunch(pid, QDir(m_options.bundlePath).filePath(prepared.executable))) {
        // Nothing would start the new copy: the running one goes back in place.
        if (const auto undo = m_swapper->exchange(m_options.bundlePath, prepared.newBundle)) {
            qWarning("Oculo could not put its previous bundle back: %s", qPrintable(*undo));
        }
        fail(*error);
        return;
    }
    // The previous bundle now lies in the work folder and goes with it.
    finish();
    Q_EMIT installed();
}

void BundleInstaller::fail(const QString& message) {
    finish();
    Q_EMIT failed(UpdateError{message});
}

void BundleInstaller::finish() {
    m_package.close();
    m_workDir.reset();
    m_workLock.reset();
    m_update.reset();
}

} // namespace oculo
