// The screen-cast session against a fake desktop portal on a private session
// bus: what the user sees when sharing is refused or ends, and the session
// opened anew when the monitors change.

#include "platform/wayland/WaylandCaptureBackend.h"
#include "platform/wayland/WaylandCaptureStream.h"
#include "platform/wayland/WaylandScreenCast.h"
#include "support/TestEnvironment.h"
#include "support/fakes/FakePortal.h"

#include <QDBusArgument>
#include <QDBusMetaType>
#include <QDBusUnixFileDescriptor>
#include <QDBusVariant>
#include <QElapsedTimer>
#include <QScreen>
#include <QSignalSpy>
#include <QTimer>

#include <optional>
#include <sys/socket.h>
#include <unistd.h>

using namespace oculo;
using namespace oculo::wayland;
using namespace std::chrono_literals;

namespace fake {

// A D-Bus structure of two fields: (ii) for a place or a size, (ua{sv}) for a
// shared monitor as Start lists it.
template <typename A, typename B>
struct Two {
    A first;
    B second;
};
template <typename A, typename B>
QDBusArgument& operator<<(QDBusArgument& argument, const Two<A, B>& two) {
    argument.beginStructure();
    argument << two.first << two.second;
    argument.endStructure();
    return argument;
}
template <typename A, typename B>
const QDBusArgument& operator>>(const QDBusArgument& argument, Two<A, B>& two) {
    argument.beginStructure();
    argument >> two.first >> two.second;
    argument.endStructure();
    return argument;
}
using Pair = Two<int, int>;
using Monitor = Two<uint, QVariantMap>;

} // namespace fake

Q_DECLARE_METATYPE(fake::Pair)
Q_DECLARE_METATYPE(fake::Monitor)

namespace {

// The portal's screen casts as far as Oculo uses them. OpenPipeWireRemote
// hands out one end of a socket pair that never answers: enough for PipeWire
// to take it, and streams simply never see a picture.
class FakeScreenCast : public QDBusVirtualObject {
public:
    FakeScreenCast() {
        m_resend.setInterval(10);
        QObject::connect(&m_resend, &QTimer::timeout, &m_resend,
                         [this] { m_bus->send(m_response); });
    }
    ~FakeScreenCast() override {
        for (const int fd : m_peers) {
            ::close(fd);
        }
    }

    QString introspect(const QString& /*path*/) const override { return {}; }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        const QString member = message.member();
        if (member == QLatin1String("Get")) {
            const bool version =
                message.arguments().value(1).toString() == QLatin1String("version");
            connection.send(offered ? message.createReply(QVariant::fromValue(
                                          QDBusVariant(version ? 4U : cursorModes)))
                                    : message.createErrorReply(QDBusError::UnknownInterface,
                                                               QStringLiteral("none")));
            return true;
        }
        m_resend.stop();
        if (member == QLatin1String("Close")) {
            closed.append(message.path());
            connection.send(message.createReply());
            return true;
        }
        if (member == QLatin1String("OpenPipeWireRemote")) {
            int fds[2] = {-1, -1};
            if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
                return false;
            }
            m_peers.append(fds[1]);
            connection.send(
                message.createReply(QVariant::fromValue(QDBusUnixFileDescriptor(fds[0]))));
            ::close(fds[0]);
            return true;
        }
        const QVariantMap options = qdbus_cast<QVariantMap>(message.arguments().constLast());
        QVariantMap results;
        uint code = 0;
        if (member == QLatin1String("CreateSession")) {
            session =
                QStringLiteral("/org/freedesktop/portal/desktop/session/fake/s%1").arg(++sessions);
            results.insert(QStringLiteral("session_handle"), session);
        } else if (member == QLatin1String("SelectSources")) {
            tokensGiven.append(options.value(QStringLiteral("restore_token")).toString());
            cursorModeAsked = options.value(QStringLiteral("cursor_mode")).toUInt();
        } else if (member == QLatin1String("Start")) {
            code = startCode;
            QList<fake::Monitor> streams;
            for (const QRect& monitor : std::as_const(monitors)) {
                streams.append(
                    {uint(40 + streams.size()),
                     {{QStringLiteral("position"),
                       QVariant::fromValue(fake::Pair{monitor.x(), monitor.y()})},
                      {QStringLiteral("size"),
                       QVariant::fromValue(fake::Pair{monitor.width(), monitor.height()})}}});
            }
            results.insert(QStringLiteral("streams"), QVariant::fromValue(streams));
            results.insert(QStringLiteral("restore_token"),
                           QStringLiteral("token-%1").arg(sessions));
        }
        if (!answerElsewhere || member != QLatin1String("CreateSession")) {
            oculo::test::answerRequest(connection, message, code, results);
            return true;
        }
        // The caller can follow another path only once it has read the reply,
        // so the answer is said again until its next call comes.
        const QString path =
            portal::portalPath() + QStringLiteral("/request/elsewhere/%1").arg(sessions);
        connection.send(message.createReply(QVariant::fromValue(QDBusObjectPath(path))));
        m_bus = connection;
        m_response = oculo::test::portalResponse(path, code, results);
        m_resend.start();
        return true;
    }

    void endSession(const QDBusConnection& connection) const {
        connection.send(QDBusMessage::createSignal(session,
                                                   QStringLiteral("org.freedesktop.portal.Session"),
                                                   QStringLiteral("Closed"))
                        << QVariantMap());
    }

    bool offered = true;
    uint cursorModes = 7;
    uint startCode = 0;
    bool answerElsewhere = false;
    QList<QRect> monitors;

    QString session;
    int sessions = 0;
    QStringList tokensGiven;
    uint cursorModeAsked = 0;
    QStringList closed;

private:
    QList<int> m_peers;
    QTimer m_resend;
    std::optional<QDBusConnection> m_bus;
    QDBusMessage m_response;
};

} // namespace

class TestScreenCastPortal : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void sharingRefusedEndedOrChangedLeavesAWayBack() {
        if (!QDBusConnection::sessionBus().isConnected()) {
            QSKIP("no private session bus: dbus-daemon is needed (scripts/bootstrap installs it)");
        }
        qDBusRegisterMetaType<fake::Pair>();
        qDBusRegisterMetaType<fake::Monitor>();
        qDBusRegisterMetaType<QList<fake::Monitor>>();
        const QRect screen = QGuiApplication::primaryScreen()->geometry();
        const QString unavailable = QStringLiteral(
            "This desktop offers no screen sharing to applications, so Oculo cannot show the "
            "screen.");
        const struct {
            const char* name;
            bool portal = true;
            bool offered = true;
            uint cursorModes = 7;
            uint startCode = 0;
            bool answerElsewhere = false;
            bool monitorRemoved = false;
            QString refusal{}; // the sentence shown instead of the screen
        } cases[] = {
            {.name = "share dialog cancelled",
             .startCode = 1,
             .refusal = QStringLiteral(
                 "Screen sharing was not allowed, so Oculo cannot show the screen.")},
            {.name = "share dialog refused",
             .startCode = 2,
             .refusal =
                 QStringLiteral("The system did not share the screen, so Oculo cannot show it.")},
            {.name = "portal without screen casts", .offered = false, .refusal = unavailable},
            {.name = "no portal", .portal = false, .refusal = unavailable},
            {.name = "pointer only drawn into the picture", .cursorModes = 3},
            {.name = "answer on a path of the portal's choosing", .answerElsewhere = true},
            {.name = "monitor removed after the start", .monitorRemoved = true},
        };
        for (const auto& c : cases) {
            const QString name = QString::fromLatin1(c.name);
            FakeScreenCast portal;
            portal.offered = c.offered;
            portal.cursorModes = c.cursorModes;
            portal.startCode = c.startCode;
            portal.answerElsewhere = c.answerElsewhere;
            portal.monitors = {screen};
            if (c.monitorRemoved) {
                portal.monitors.append(screen.translated(screen.width(), 0));
            }
            std::optional<oculo::test::FakePortalService> service;
            if (c.portal) {
                service.emplace(name, &portal);
                QVERIFY2(service->registered, c.name);
            }
            WaylandScreenCast cast(QStringLiteral("stored"));
            cast.setScreenChangeDelay(0ms);
            QSignalSpy tokens(&cast, &WaylandScreenCast::restoreTokenChanged);
            QSignalSpy ended(&cast, &WaylandScreenCast::sessionEnded);
            WaylandDisplaySource displays(cast);

            QElapsedTimer clock;
            clock.start();
            DisplayQueryResult result = QCoro::waitFor(displays.queryDisplays());
            // Far below any of the walk's timeouts: nothing waited on an answer that never came.
            QVERIFY2(clock.elapsed() < 5000, c.name);
            if (!c.refusal.isEmpty()) {
                QVERIFY2(result.error, c.name);
                QCOMPARE(result.error->kind, DisplayQueryError::Kind::CaptureRefused);
                QVERIFY(result.error->canAskAgain);
                QCOMPARE(result.error->description, c.refusal);
                QVERIFY(!cast.isLive());
                // A session left half set up is closed, not kept with its stream nodes.
                QTRY_COMPARE(portal.closed.size(), portal.sessions);
            } else {
                QVERIFY2(!result.error, c.name);
                QCOMPARE(result.displays.size(), 1);
                QCOMPARE(portal.tokensGiven, QStringList{QStringLiteral("stored")});
                QCOMPARE(tokens.value(0).value(0).toString(), QStringLiteral("token-1"));
                // A desktop that only draws the pointer in is asked for that, and following it is
                // off.
                const bool followable = (c.cursorModes & 4U) != 0;
                QCOMPARE(portal.cursorModeAsked, followable ? 4U : 2U);
                QCOMPARE(cast.pointerUnavailableReason().isEmpty(), followable);

                const DisplayInfo shown{
                    .id = 1, .name = name, .frame = portal.monitors.constLast()};
                CaptureConfiguration configuration;
                configuration.sourceRect = QRectF(0, 0, 100, 100);
                configuration.outputSize = QSize(200, 200);
                WaylandCaptureStream stream(cast, shown, configuration);
                QSignalSpy failed(&stream, &CaptureStream::failed);
                QVERIFY(!QCoro::waitFor(stream.start()));
                if (c.monitorRemoved) {
                    // A burst of changes opens one session, with the newest token,
                    // and the displays are listed from it.
                    const QString first = portal.session;
                    portal.monitors.removeLast();
                    for (int i = 0; i < 3; ++i) {
                        cast.noteScreensChanged();
                    }
                    result = QCoro::waitFor(displays.queryDisplays());
                    QVERIFY(!result.error);
                    QCOMPARE(portal.sessions, 2);
                    QCOMPARE(cast.streams().size(), 1);
                    QCOMPARE(portal.tokensGiven.constLast(), QStringLiteral("token-1"));
                    QVERIFY(portal.closed.contains(first));
                    // The removed monitor's window is told; the new session stays.
                    QTRY_VERIFY(!failed.isEmpty());
                    QVERIFY(cast.isLive());
                    // A stream that ends as the screens change is no reason to stop sharing.
                    cast.noteScreensChanged();
                    cast.noteScreenLost();
                    result = QCoro::waitFor(displays.queryDisplays());
                    QVERIFY(!result.error);
                    QCOMPARE(portal.sessions, 3);
                    QVERIFY(ended.isEmpty());
                }
                // The desktop ends the session: every stream is told, and the
                // next query says so once instead of asking unasked.
                portal.endSession(service->bus());
                QTRY_COMPARE(ended.size(), 1);
                QTRY_VERIFY(!failed.isEmpty());
                const int walked = portal.sessions;
                result = QCoro::waitFor(displays.queryDisplays());
                QVERIFY(result.error && result.error->canAskAgain);
                QCOMPARE(portal.sessions, walked);
            }
            // Asking again walks the portal anew, with the newest token.
            const int walked = portal.sessions;
            result = QCoro::waitFor(displays.queryDisplays());
            QCOMPARE(portal.sessions, walked + (c.portal && c.offered ? 1 : 0));
            if (c.refusal.isEmpty()) {
                QCOMPARE(portal.tokensGiven.constLast(), QStringLiteral("token-%1").arg(walked));
            }
        }
    }
};

int main(int argc, char** argv) {
    oculo::test::isolateUserFiles();
    qputenv("DBUS_SESSION_BUS_ADDRESS", oculo::test::startSessionBus(/*activation=*/false));
    QGuiApplication app(argc, argv);
    TestScreenCastPortal test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_screencast_portal.moc"
