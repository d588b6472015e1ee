// The tray panel as a screen reader reaches it: over AT-SPI, from the
// application's node down, on a private X server and private D-Bus buses.

#include "app/WindowRegistry.h"
#include "shell/MenuBarView.h"
#include "shell/TrayIcon.h"
#include "support/TestEnvironment.h"
#include "views/StateFixture.h"

#include <QAccessible>
#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QScreen>

using namespace oculo;

namespace {

struct OneWindow : WindowRegistry {
    int windowCount() const override { return 1; }
    MagnifierState* activeState() const override { return &fixture.state; }
    void createNewWindow() override {}
    void quit() override {}
    mutable test::StateFixture fixture;
};

// Reads the accessibility tree as a screen reader does, from the desktop down.
struct TreeReader {
    QDBusConnection bus;

    // The answer may come from this very thread, so the wait keeps events flowing.
    QVariant call(const QString& service, const QString& path, const QString& method,
                  const QVariantList& arguments = {},
                  const QString& interface = QStringLiteral("org.a11y.atspi.Accessible")) const {
        QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
        message.setArguments(arguments);
        return bus.call(message, QDBus::BlockWithGui, 5000).arguments().value(0);
    }

    // "name: role" of the node at `path` and of every node below it.
    void describe(const QString& service, const QString& path, QStringList& tree) const {
        const QVariant name =
            call(service, path, QStringLiteral("Get"),
                 {QStringLiteral("org.a11y.atspi.Accessible"), QStringLiteral("Name")},
                 QStringLiteral("org.freedesktop.DBus.Properties"));
        tree.append(name.value<QDBusVariant>().variant().toString() + QStringLiteral(": ") +
                    call(service, path, QStringLiteral("GetRoleName")).toString());
        using Children = QList<std::pair<QString, QDBusObjectPath>>;
        for (const auto& [owner, child] :
             qdbus_cast<Children>(call(service, path, QStringLiteral("GetChildren")))) {
            describe(owner, child.path(), tree);
        }
    }
};

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
        const TreeReader reader{QDBusConnection::connectToBus(
            address.arguments().value(0).toString(), QStringLiteral("reader"))};
        tray.showPanelAt(QGuiApplication::primaryScreen()->geometry().center());
        QStringList tree;
        reader.describe(QStringLiteral("org.a11y.atspi.Registry"),
                        QStringLiteral("/org/a11y/atspi/accessible/root"), tree);
        for (const char* node : {"Oculo: frame", "New Magnifier Window: push button",
                                 "Follow Mouse: check box", "Quit Oculo: push button"}) {
            QVERIFY2(tree.contains(QLatin1String(node)), qPrintable(tree.join(u", ")));
        }
    }
};

int main(int argc, char** argv) {
    oculo::test::isolateUserFiles();
    oculo::test::useIsolatedXServer(false);
    // Only now, so the buses only ever learn the private display and folders.
    qputenv("DBUS_SESSION_BUS_ADDRESS", oculo::test::startSessionBus());
    qputenv("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1");
    QApplication app(argc, argv);
    TestPanelAccessibility test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_panel_accessibility.moc"
