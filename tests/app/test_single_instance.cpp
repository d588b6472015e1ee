#include "app/SingleInstance.h"
#include "support/TestEnvironment.h"

#include <QLockFile>
#include <QTemporaryDir>

#include <pwd.h>
#include <unistd.h>

using namespace oculo;

class TestSingleInstance : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // With no usable runtime folder (Qt's fallback taken by a file), the lock
    // is this user's own: another user's lock in the shared folder blocks nothing.
    void singleInstanceWithoutRuntimeFolderIgnoresOtherUsersLocks() {
        QTemporaryDir temp;
        const QString taken = temp.filePath(
            QStringLiteral("runtime-%1").arg(QString::fromLocal8Bit(getpwuid(geteuid())->pw_name)));
        QVERIFY(QFile(taken).open(QIODevice::WriteOnly));
        qputenv("TMPDIR", QFile::encodeName(temp.path()));
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(taken));
        qunsetenv("DBUS_SESSION_BUS_ADDRESS");
        QLockFile shared(temp.filePath(QStringLiteral("org.oculo.Oculo.lock")));
        QVERIFY(shared.tryLock(0));
        SingleInstance instance(QStringLiteral("org.oculo.Oculo"));
        QCOMPARE(instance.claim(), SingleInstance::Claim::primary);
    }
};

OCULO_TEST_MAIN(TestSingleInstance)
#include "test_single_instance.moc"
