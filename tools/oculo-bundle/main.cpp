// oculo-bundle: signs, packages, verifies and unpacks Oculo bundles with the
// same code the installer uses. Exit status 0 on success; reasons go to stderr.
#include "update/bundle/BundleArchive.h"
#include "update/bundle/BundleSignature.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringList>
#include <QTextStream>

#include <sys/stat.h>

using namespace oculo;

namespace {

int usage() {
    QTextStream(stderr) << "usage:\n"
                           "  oculo-bundle keygen <private key file>\n"
                           "  oculo-bundle sign <bundle folder> <private key file>\n"
                           "  oculo-bundle package <bundle folder> <zip file>\n"
                           "  oculo-bundle verify <bundle folder> <identifier> <team>\n"
                           "  oculo-bundle unpack <zip file> <empty folder>\n";
    return 2;
}

int failWith(const QString& reason) {
    QTextStream(stderr) << reason << '\n';
    return 1;
}

int keygen(const QString& keyPath) {
    if (QFileInfo::exists(keyPath)) {
        return failWith(QStringLiteral("%1 exists; not overwriting a key").arg(keyPath));
    }
    const QByteArray pem = bundle::generatePrivateKeyPem();
    // Created readable by its owner only, before any secret is written.
    const mode_t previous = ::umask(077);
    QSaveFile file(keyPath);
    const bool written = !pem.isEmpty() && file.open(QIODevice::WriteOnly) &&
                         file.write(pem) == pem.size() && file.commit();
    ::umask(previous);
    if (!written) {
        return failWith(QStringLiteral("%1 cannot be written").arg(keyPath));
    }
    QTextStream(stdout) << "team " << *bundle::teamIdentifierOfPrivateKey(pem) << '\n';
    return 0;
}

int sign(const QString& bundlePath, const QString& keyPath) {
    QFile key(keyPath);
    if (!key.open(QIODevice::ReadOnly)) {
        return failWith(QStringLiteral("%1 cannot be read").arg(keyPath));
    }
    const QByteArray pem = key.readAll();
    if (const auto error = bundle::signBundle(bundlePath, pem)) {
        return failWith(*error);
    }
    QTextStream(stdout) << "signed for team " << *bundle::teamIdentifierOfPrivateKey(pem) << '\n';
    return 0;
}

int package(const QString& bundlePath, const QString& zipPath) {
    if (!bundle::signedTeamIdentifier(bundlePath)) {
        return failWith(QStringLiteral("%1 is not a signed bundle").arg(bundlePath));
    }
    if (const auto error = bundle::packZip(bundlePath, zipPath)) {
        return failWith(*error);
    }
    const auto digest = bundle::sha256Hex(zipPath);
    if (!digest) {
        return failWith(QStringLiteral("%1 cannot be read").arg(zipPath));
    }
    QTextStream(stdout) << "sha256:" << *digest << '\n';
    return 0;
}

int verify(const QString& bundlePath, const QString& identifier, const QString& team) {
    if (const auto failure = bundle::verifyBundle(bundlePath, {identifier, team, 0})) {
        return failWith(failure->detail);
    }
    return 0;
}

int unpack(const QString& zipPath, const QString& folder) {
    if (!QDir().mkpath(folder) || !QDir(folder).isEmpty()) {
        return failWith(QStringLiteral("%1 must be an empty folder").arg(folder));
    }
    if (const auto error = bundle::unpackZip(zipPath, folder)) {
        return failWith(*error);
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    const QString command = args.value(0);
    if (command == QLatin1String("keygen") && args.size() == 2) {
        return keygen(args[1]);
    }
    if (command == QLatin1String("sign") && args.size() == 3) {
        return sign(args[1], args[2]);
    }
    if (command == QLatin1String("package") && args.size() == 3) {
        return package(args[1], args[2]);
    }
    if (command == QLatin1String("verify") && args.size() == 4) {
        return verify(args[1], args[2], args[3]);
    }
    if (command == QLatin1String("unpack") && args.size() == 3) {
        return unpack(args[1], args[2]);
    }
    return usage();
}
