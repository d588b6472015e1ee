// A stand-in for Oculo inside test bundles: notes which build started in
// "report" beside its bundle and, given a package, installs it like Oculo.
// Arguments: <package URL> <"sha256:" hash> <trusted certificate file>.
#include "platform/unix/RenameExchangeSwapper.h"
#include "update/BundleInstaller.h"
#include "update/bundle/AppIdentity.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

using namespace oculo;

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const QString bundle = AppIdentity::runningBundlePath();
    const AppIdentity identity = AppIdentity::ofRunningApplication();
    QFile report(QFileInfo(bundle).absoluteDir().filePath(QStringLiteral("report")));
    const auto note = [&report](const QString& line) {
        if (report.open(QIODevice::Append)) {
            report.write(line.toUtf8() + '\n');
            report.close();
        }
    };
    note(QStringLiteral("started %1").arg(identity.currentBuild));
    if (args.size() != 4) {
        return 0;
    }
    BundleInstaller installer({.bundlePath = bundle,
                               .bundleIdentifier = identity.bundleIdentifier,
                               .currentBuild = identity.currentBuild,
                               .server = UpdateServer::configured({}, args[3])},
                              std::make_unique<RenameExchangeSwapper>());
    QObject::connect(&installer, &UpdateInstaller::installed, &app,
                     [] { QCoreApplication::exit(0); });
    QObject::connect(&installer, &UpdateInstaller::failed, &app, [&note](const UpdateError& error) {
        note(error.errorDescription);
        QCoreApplication::exit(1);
    });
    installer.install(
        {QStringLiteral("2"), identity.currentBuild + 1, QUrl(args[1]), args[2], {}, false});
    return QCoreApplication::exec();
}
