// Global shortcuts through a fake desktop portal on a private session bus.

#include "ShortcutRig.h"
#include "app/ApplicationCore.h"
#include "app/GlobalShortcutActions.h"
#include "app/MagnifierWindow.h"
#include "platform/portal/PortalGlobalShortcuts.h"
#include "platform/portal/PortalRequest.h"
#include "shell/AppDelegate.h"
#include "shell/SystemSettingsSections.h"
#include "state/MagnifierState.h"
#include "support/TestEnvironment.h"
#include "support/fakes/FakePortal.h"

#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QKeySequenceEdit>
#include <QLabel>
#include <QSignalSpy>

#include <memory>

using namespace oculo;
using namespace oculo::portal;
using Status = GlobalShortcuts::Status;

namespace {

// The portal's global shortcuts as far as Oculo uses them; every request is
// answered at once through its Request object, `refused` is never bound.
class FakePortal : public QDBusVirtualObject {
public:
    FakePortal(bool offered, QString refused)
        : m_offered(offered)
        , m_refused(std::move(refused)) {}

    QString introspect(const QString& /*path*/) const override { return {}; }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        const QList<QVariant> arguments = message.arguments();
        if (message.member() == QLatin1String("Get")) {
            connection.send(m_offered ? message.createReply(QVariant::fromValue(QDBusVariant(1U)))
                                      : message.createErrorReply(QDBusError::UnknownInterface,
                                                                 QStringLiteral("none")));
            return true;
        }
        if (message.member() == QLatin1String("Close")) {
            ++closed;
            connection.send(message.createReply());
            return true;
        }
        QVariantMap results;
        if (message.member() == QLatin1String("CreateSession")) {
            session = QStringLiteral("/org/freedesktop/portal/desktop/session/fake/s%1")
                          .arg(++m_sessions);
            results.insert(QStringLiteral("session_handle"), session);
        } else if (message.member() == QLatin1String("BindShortcuts")) {
            QList<PortalShortcut> bound;
            for (const PortalShortcut& shortcut :
                 qdbus_cast<QList<PortalShortcut>>(arguments.value(1))) {
                triggers.insert(
                    shortcut.id,
                    shortcut.properties.value(QStringLiteral("preferred_trigger")).toString());
                if (shortcut.id != m_refused) {
                    bound.append(shortcut);
                }
            }
            results.insert(QStringLiteral("shortcuts"), QVariant::fromValue(bound));
        }
        oculo::test::answerRequest(connection, message, 0U, results);
        return true;
    }

    void activate(const QDBusConnection& connection, const QString& id, const QString& in) const {
        connection.send(
            QDBusMessage::createSignal(portalPath(),
                                       QStringLiteral("org.freedesktop.portal.GlobalShortcuts"),
                                       QStringLiteral("Activated"))
            << QVariant::fromValue(QDBusObjectPath(in)) << id << qulonglong(0) << QVariantMap());
    }

    QHash<QString, QString> triggers;
    QString session;
    int closed = 0;

private:
    bool m_offered;
    QString m_refused;
    int m_sessions = 0;
};

using Rig = oculo::test::ShortcutRig<PortalGlobalShortcuts>;

} // namespace

class TestPortalGlobalShortcuts : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void thePortalBindsReportsAndActivates() {
        if (!QDBusConnection::sessionBus().isConnected()) {
            QSKIP("no private session bus: dbus-daemon is needed (scripts/bootstrap installs it)");
        }
        const struct {
            const char* name;
            bool offered;
        } cases[] = {{"portal without global shortcuts", false}, {"portal with them", true}};
        for (const auto& c : cases) {
            const QString name = QString::fromLatin1(c.name);
            FakePortal portal(c.offered, GlobalShortcutActions::zoomOut);
            oculo::test::FakePortalService service(name, &portal);
            QVERIFY(service.registered);
            QDBusConnection& portalBus = service.bus();
            {
                Rig rig;
                // Until the portal has answered, nothing is offered.
                QSignalSpy answered(&rig.shortcuts, &GlobalShortcuts::statusChanged);
                GlobalShortcutsSection section(*rig.actions);
                auto* edit =
                    section.findChild<QKeySequenceEdit*>(QStringLiteral("globalShortcut.toggle"));
                if (!c.offered) {
                    QTRY_VERIFY(!answered.isEmpty());
                    QCOMPARE(rig.shortcuts.status(GlobalShortcutActions::toggleWindows),
                             Status::notOffered);
                    QVERIFY(!edit->isEnabled());
                    auto* notOffered =
                        section.findChild<QLabel*>(QStringLiteral("globalShortcutsNotOffered"));
                    QCOMPARE(notOffered->text(),
                             QStringLiteral("This desktop does not offer global shortcuts."));
                    QVERIFY(!notOffered->isHidden());
                } else {
                    QTRY_COMPARE(rig.shortcuts.status(GlobalShortcutActions::toggleWindows),
                                 Status::active);
                    QCOMPARE(rig.shortcuts.status(GlobalShortcutActions::zoomOut), Status::refused);
                    QCOMPARE(
                        section.findChild<QLabel*>(QStringLiteral("globalShortcutProblem.zoomOut"))
                            ->text(),
                        QStringLiteral(
                            "The desktop did not accept Super+Alt+- as a global shortcut."));
                    QCOMPARE(portal.triggers.value(GlobalShortcutActions::zoomIn),
                             QStringLiteral("LOGO+ALT+equal"));

                    rig.core->applicationDidFinishLaunching();
                    QTRY_COMPARE(rig.core->windowCount(), 1);
                    MagnifierWindow* window = rig.core->activeWindow();
                    MagnifierState& state = window->state();
                    const double zoom = state.zoomLevel();
                    portal.activate(portalBus, GlobalShortcutActions::zoomIn, portal.session);
                    QTRY_COMPARE(state.zoomLevel(), zoom + MagnifierState::zoomStep);

                    // New keys bind in a session of their own; the old one is closed.
                    const QString oldSession = portal.session;
                    QVERIFY(rig.actions
                                ->setSequence(GlobalShortcutActions::zoomIn,
                                              QKeySequence(Qt::META | Qt::ALT | Qt::Key_0))
                                .isEmpty());
                    QTRY_COMPARE(portal.triggers.value(GlobalShortcutActions::zoomIn),
                                 QStringLiteral("LOGO+ALT+0"));
                    QTRY_COMPARE(rig.shortcuts.status(GlobalShortcutActions::zoomIn),
                                 Status::active);
                    QCOMPARE(portal.closed, 1);
                    // A press in the closed session is not Oculo's any more.
                    portal.activate(portalBus, GlobalShortcutActions::zoomIn, oldSession);
                    portal.activate(portalBus, GlobalShortcutActions::toggleWindows,
                                    portal.session);
                    QTRY_VERIFY(window->isHiddenByUser());
                    QCOMPARE(state.zoomLevel(), zoom + MagnifierState::zoomStep);
                }
            }
        }
    }
};

int main(int argc, char** argv) {
    oculo::test::isolateUserFiles();
    qputenv("DBUS_SESSION_BUS_ADDRESS", oculo::test::startSessionBus());
    QApplication app(argc, argv);
    TestPortalGlobalShortcuts test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_portal_global_shortcuts.moc"
