// The tray panel as a screen reader reaches it: over AT-SPI, from the
// application's node down, on a private X server and private D-Bus buses.

#include "shell/MenuBarView.h"
#include "shell/TrayIcon.h"
#include "shell/WindowRegistry.h"
#include "support/TestEnvironment.h"
#include "views/StateFixture.h"

#include <QAccessible>
#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QScreen>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

using namespace oculo;

namespace {

struct OneWindow : WindowRegistry {
    int windowCount() const override { return 1; }
    MagnifierState* activeState() const override { return &fixture.state; }
    void createNewWindow() override {}
    void quit() override {}
    mutable test::StateFixture fixture;
};

const QString accessible = QStringLiteral("org.a11y.atspi.Accessible");

} // namespace

class TestPanelAccessibility : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void panelRowsHaveNamesAndRoles() {
        OneWindow registry;
        TrayIcon tray(registry);
        QDBusConnection session = QDBusConnection::sessionBus();
        if (!session.isConnected() ||
            !session.interface()->startService(QStringLiteral("org.a11y.Bus")).isValid()) {
            QSKIP("no private session bus with an accessibility bus: dbus-daemon and at-spi2-core "
                  "are needed (scripts/bootstrap installs them)");
        }
        QTRY_VERIFY_WITH_TIMEOUT(QAccessible::isActive(), 20000);
        const QDBusMessage address = session.call(QDBusMessage::createMethodCall(
            QStringLiteral("org.a11y.Bus"), QStringLiteral("/org/a11y/bus"),
            QStringLiteral("org.a11y.Bus"), QStringLiteral("GetAddress")));
        m_bus = QDBusConnection::connectToBus(address.arguments().value(0).toString(),
                                              QStringLiteral("reader"));
        // The application's end of the bus: the other connection of this process.
        for (const QString& name : m_bus.interface()->registeredServiceNames().value()) {
            if (name.startsWith(QLatin1Char(':')) && name != m_bus.baseService() &&
                m_bus.interface()->servicePid(name).value() == static_cast<uint>(getpid())) {
                m_application = name;
            }
        }
        QVERIFY2(!m_application.isEmpty(), "the application is not on the accessibility bus");

        tray.showPanelAt(QGuiApplication::primaryScreen()->geometry().center());
        QTRY_VERIFY(tray.menuBarView().isVisible());
        QStringList tree;
        describe(QStringLiteral("/org/a11y/atspi/accessible/root"), tree);
        for (const char* row :
             {"Oculo: frame", "New Magnifier Window: push button", "Follow Mouse: check box",
              "Select New Region...: push button", "Quit Oculo: push button"}) {
            QVERIFY2(tree.contains(QLatin1String(row)),
                     qPrintable(tree.join(QStringLiteral(", "))));
        }
    }

private:
    // The answer comes from this very thread, so the wait keeps events flowing.
    QVariant call(const QString& path, const QString& interface, const QString& method,
                  const QVariantList& arguments = {}) {
        QDBusMessage message =
            QDBusMessage::createMethodCall(m_application, path, interface, method);
        message.setArguments(arguments);
        return m_bus.call(message, QDBus::BlockWithGui, 5000).arguments().value(0);
    }

    // "name: role" of the node at `path` and of every node below it.
    void describe(const QString& path, QStringList& tree) {
        const QVariant name = call(path, QStringLiteral("org.freedesktop.DBus.Properties"),
                                   QStringLiteral("Get"), {accessible, QStringLiteral("Name")});
        tree.append(name.value<QDBusVariant>().variant().toString() + QStringLiteral(": ") +
                    call(path, accessible, QStringLiteral("GetRoleName")).toString());
        const auto children =
            call(path, accessible, QStringLiteral("GetChildren")).value<QDBusArgument>();
        QStringList paths;
        children.beginArray();
        while (!children.atEnd()) {
            QString service;
            QDBusObjectPath child;
            children.beginStructure();
            children >> service >> child;
            children.endStructure();
            paths.append(child.path());
        }
        children.endArray();
        for (const QString& child : paths) {
            describe(child, tree);
        }
    }

    QDBusConnection m_bus{QString()};
    QString m_application;
};

// A session bus of the test's own, ended with it; the accessibility bus is
// started on it. Empty when dbus-daemon cannot start.
QByteArray startSessionBus() {
    FILE* out = popen("dbus-daemon --session --fork --print-address=1 --print-pid=1", "r");
    char address[1024] = {};
    static pid_t daemon = 0;
    const bool started =
        out && fgets(address, sizeof address, out) && fscanf(out, "%d", &daemon) == 1;
    if (out) {
        pclose(out);
    }
    if (!started) {
        return {};
    }
    std::atexit([] { kill(daemon, SIGTERM); });
    return QByteArray(address).trimmed();
}

int main(int argc, char** argv) {
    oculo::test::isolateUserFiles();
    oculo::test::useIsolatedXServer(false);
    // Set after the X server, so the buses only ever learn the private display.
    qputenv("DBUS_SESSION_BUS_ADDRESS", startSessionBus());
    qputenv("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1");
    QApplication app(argc, argv);
    TestPanelAccessibility test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_panel_accessibility.moc"
