// The built oculo program on a private headless Wayland desktop (mutter, the
// GNOME screen-cast portal, PipeWire; see wayland-session.sh), looked at
// through mutter's own screen cast and driven through its virtual pointer, as
// a person would see and move it. Over a full-screen pattern whose every 8 x 8
// cell says where it is, the magnifier shows the cells around the pointer at
// the zoom and follows the pointer; a fixed region shows that region; when the
// portal ends the session the picture goes, and starting Oculo again shares
// the screen anew.

#include "platform/wayland/PipeWireScreen.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPainter>
#include <QProcess>
#include <QRasterWindow>
#include <QTest>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <unistd.h>
#include <vector>

using namespace oculo::wayland;

namespace {

constexpr int cell = 8;
constexpr int patternBlue = 0x80;
// mutter renders in software on a loaded machine; the sanitizer build starts slowly.
constexpr int timeoutMs = 30000;

// Where the pattern puts a pixel of this colour (the middle of its cell); none
// for anything else (a window frame, a placeholder).
std::optional<QPoint> placeOf(QRgb colour) {
    if (qBlue(colour) != patternBlue) {
        return std::nullopt;
    }
    return QPoint(qRed(colour) * cell + cell / 2, qGreen(colour) * cell + cell / 2);
}

class PatternWindow : public QRasterWindow {
protected:
    void paintEvent(QPaintEvent*) override {
        QImage pattern(size(), QImage::Format_RGB32);
        for (int y = 0; y < pattern.height(); ++y) {
            auto* line = reinterpret_cast<QRgb*>(pattern.scanLine(y));
            for (int x = 0; x < pattern.width(); ++x) {
                line[x] = qRgb(x / cell, y / cell, patternBlue);
            }
        }
        QPainter(this).drawImage(0, 0, pattern);
    }
};

} // namespace

class WaylandE2ETest : public QObject, public ScreenConsumer {
    Q_OBJECT

public:
    void consume(const ScreenPicture* picture, const ScreenCursor& /*cursor*/) override {
        if (picture == nullptr) {
            return;
        }
        QImage copy(picture->size, QImage::Format_RGB32);
        for (int y = 0; y < copy.height(); ++y) {
            std::memcpy(copy.scanLine(y), picture->pixels + y * picture->stride,
                        std::size_t(copy.width()) * 4);
        }
        const std::lock_guard lock(m_screenMutex);
        m_screen = copy;
        m_sinceLastPicture.start();
    }
    void screenLost(const QString& description) override { qWarning() << description; }

public Q_SLOTS:
    void takeNode(uint node) { m_node = node; }

private Q_SLOTS:
    void initTestCase() {
        m_pattern.showFullScreen();
        QVERIFY(QTest::qWaitForWindowExposed(&m_pattern));
        openDesktop();
        startOculo(m_oculo);
        // Away from where the window opens, whatever the compositor chose.
        movePointer({1700, 950});
        QTRY_VERIFY_WITH_TIMEOUT(!magnifiedArea().isEmpty(), timeoutMs);
        m_window = magnifiedArea();
    }

    void showsTheCellsAroundThePointerAtTheZoomAndFollowsIt() {
        for (const QPoint target : {farFromWindow(0.25), farFromWindow(0.75)}) {
            movePointer(target);
            QTRY_VERIFY2_WITH_TIMEOUT(showsAround(target), qPrintable(report(target)), timeoutMs);
        }
    }

    // The magnifier sees part of itself: each repaint would damage the screen
    // and bring the next picture, forever, unless an unchanged crop repaints nothing.
    void comesToRestWithItselfInView() {
        const bool roomOnTheLeft = m_window.left() > 200;
        const QPoint beside(roomOnTheLeft ? m_window.left() - 60 : m_window.right() + 60,
                            m_window.center().y());
        movePointer(beside);
        QTRY_VERIFY_WITH_TIMEOUT(showsAround(beside), timeoutMs);
        QTRY_VERIFY2_WITH_TIMEOUT(quietForMs() > 1500, "the screen never stopped changing",
                                  timeoutMs);
    }

    void showsAFixedRegion() {
        stopOculo();
        const QPoint centre = farFromWindow(0.5);
        editSettings({{QStringLiteral("oculo.mode"), QStringLiteral("fixedRegion")},
                      {QStringLiteral("oculo.fixedRegion.x"), centre.x() - 100},
                      {QStringLiteral("oculo.fixedRegion.y"), centre.y() - 75},
                      {QStringLiteral("oculo.fixedRegion.width"), 200},
                      {QStringLiteral("oculo.fixedRegion.height"), 150}});
        // The restore token the last start stored makes this one silent too.
        startOculo(m_oculo);
        movePointer(farFromWindow(0.1));
        QTRY_VERIFY2_WITH_TIMEOUT(showsAround(centre), qPrintable(report(centre)), timeoutMs);
    }

    void placeholderWhenTheSessionEndsThenANewSession() {
        const QPoint centre = farFromWindow(0.5);
        QVERIFY(showsAround(centre));
        // The portal's backend going away ends its sessions, as "Stop sharing" does.
        ::kill(qEnvironmentVariableIntValue("OCULO_SESSION_PORTAL_PID"), SIGTERM);
        QTRY_VERIFY_WITH_TIMEOUT(magnifiedArea().isEmpty(), timeoutMs);
        m_portalBackend.start(QStringLiteral("/usr/libexec/xdg-desktop-portal-gnome"), {});
        QTRY_VERIFY_WITH_TIMEOUT(QDBusConnection::sessionBus().interface()->isServiceRegistered(
                                     QStringLiteral("org.freedesktop.impl.portal.desktop.gnome")),
                                 timeoutMs);
        QVERIFY2(!showsAround(centre), "the picture came back before anyone asked");
        // Starting Oculo again hands over to the running one, which asks anew.
        QProcess second;
        startOculo(second);
        QVERIFY(second.waitForFinished(timeoutMs));
        QTRY_VERIFY2_WITH_TIMEOUT(showsAround(centre), qPrintable(report(centre)), timeoutMs);
    }

    void cleanupTestCase() {
        stopOculo();
        m_connection.reset();
        m_portalBackend.kill();
        m_portalBackend.waitForFinished();
    }

private:
    void openDesktop() {
        QDBusConnection bus = QDBusConnection::sessionBus();
        const auto mutter = QStringLiteral("org.gnome.Mutter.RemoteDesktop");
        const auto cast = QStringLiteral("org.gnome.Mutter.ScreenCast");
        QDBusInterface desktop(mutter, QStringLiteral("/org/gnome/Mutter/RemoteDesktop"), mutter,
                               bus);
        const QDBusReply<QDBusObjectPath> session = desktop.call(QStringLiteral("CreateSession"));
        QVERIFY2(session.isValid(), qPrintable(session.error().message()));
        m_desktop = std::make_unique<QDBusInterface>(mutter, session.value().path(),
                                                     mutter + QStringLiteral(".Session"), bus);
        QDBusInterface casts(cast, QStringLiteral("/org/gnome/Mutter/ScreenCast"), cast, bus);
        const QDBusReply<QDBusObjectPath> castSession =
            casts.call(QStringLiteral("CreateSession"),
                       QVariantMap{{QStringLiteral("remote-desktop-session-id"),
                                    m_desktop->property("SessionId")}});
        QVERIFY2(castSession.isValid(), qPrintable(castSession.error().message()));
        QDBusInterface castControl(cast, castSession.value().path(),
                                   cast + QStringLiteral(".Session"), bus);
        // The pointer hidden: the pattern underneath stays readable.
        const QDBusReply<QDBusObjectPath> stream =
            castControl.call(QStringLiteral("RecordMonitor"), QString(),
                             QVariantMap{{QStringLiteral("cursor-mode"), 0U}});
        QVERIFY2(stream.isValid(), qPrintable(stream.error().message()));
        m_stream = stream.value().path();
        bus.connect(cast, m_stream, cast + QStringLiteral(".Stream"),
                    QStringLiteral("PipeWireStreamAdded"), this, SLOT(takeNode(uint)));
        const QDBusReply<void> started = m_desktop->call(QStringLiteral("Start"));
        QVERIFY2(started.isValid(), qPrintable(started.error().message()));
        QTRY_VERIFY_WITH_TIMEOUT(m_node != 0, timeoutMs);
        QString error;
        m_connection = PipeWireConnection::connect(-1, &error);
        QVERIFY2(m_connection, qPrintable(error));
        m_connection->attach(m_connection->addScreen(m_node, {}), this);
    }

    void movePointer(QPoint to) {
        m_desktop->call(QStringLiteral("NotifyPointerMotionAbsolute"), m_stream, double(to.x()),
                        double(to.y()));
    }

    qint64 quietForMs() {
        const std::lock_guard lock(m_screenMutex);
        return m_sinceLastPicture.elapsed();
    }

    QImage screen() {
        const std::lock_guard lock(m_screenMutex);
        return m_screen;
    }

    // Pattern cells away from their place: the magnified picture.
    QRect magnifiedArea() {
        const QImage shot = screen();
        QRect area;
        int count = 0;
        for (int y = 0; y < shot.height(); y += 2) {
            const auto* line = reinterpret_cast<const QRgb*>(shot.constScanLine(y));
            for (int x = 0; x < shot.width(); x += 2) {
                const auto place = placeOf(line[x]);
                if (place && (std::abs(place->x() - x) > cell || std::abs(place->y() - y) > cell)) {
                    area |= QRect(x, y, 2, 2);
                    ++count;
                }
            }
        }
        return count > 1000 ? area : QRect();
    }

    // The centre of the picture shows `target`, and 96 px to its right lie
    // 48 px of the screen: a zoom of 2.
    bool showsAround(QPoint target) {
        const QRect area = magnifiedArea();
        const QImage shot = screen();
        if (area.isEmpty()) {
            return false;
        }
        const auto middle = placeOf(shot.pixel(area.center()));
        const auto right = placeOf(shot.pixel(area.center() + QPoint(96, 0)));
        return middle && right && (*middle - target).manhattanLength() <= 2 * cell &&
               std::abs(right->x() - middle->x() - 48) <= cell && right->y() == middle->y();
    }

    QString report(QPoint target) {
        const QRect area = magnifiedArea();
        const auto middle = placeOf(screen().pixel(area.center()));
        return QStringLiteral("wanted %1,%2 in the picture at %3,%4 %5x%6, its middle shows %7,%8")
            .arg(target.x())
            .arg(target.y())
            .arg(area.x())
            .arg(area.y())
            .arg(area.width())
            .arg(area.height())
            .arg(middle ? middle->x() : -1)
            .arg(middle ? middle->y() : -1);
    }

    // A point at `fraction` across the screen's widest free band beside the window.
    QPoint farFromWindow(double fraction) const {
        const QRect screen(0, 0, 1920, 1080);
        const bool leftIsWider = m_window.left() > screen.right() - m_window.right();
        const int from = leftIsWider ? 100 : m_window.right() + 100;
        const int to = leftIsWider ? m_window.left() - 100 : screen.right() - 100;
        return {from + int((to - from) * fraction), 200 + int(680 * fraction)};
    }

    void startOculo(QProcess& process) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("wayland"));
        process.setProcessEnvironment(environment);
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.setStandardOutputFile(QProcess::nullDevice());
        process.start(QStringLiteral(OCULO_EXECUTABLE), {});
        QVERIFY(process.waitForStarted());
    }

    void stopOculo() {
        if (m_oculo.state() != QProcess::NotRunning) {
            m_oculo.terminate();
            if (!m_oculo.waitForFinished(timeoutMs)) {
                m_oculo.kill();
                m_oculo.waitForFinished();
            }
        }
    }

    void editSettings(const QVariantMap& values) {
        QFile file(qEnvironmentVariable("XDG_CONFIG_HOME") +
                   QStringLiteral("/Oculo/settings.json"));
        QVERIFY(file.open(QIODevice::ReadWrite));
        QJsonObject settings = QJsonDocument::fromJson(file.readAll()).object();
        for (auto it = values.cbegin(); it != values.cend(); ++it) {
            settings.insert(it.key(), QJsonValue::fromVariant(it.value()));
        }
        file.resize(0);
        file.write(QJsonDocument(settings).toJson());
    }

    PatternWindow m_pattern;
    std::unique_ptr<QDBusInterface> m_desktop;
    QString m_stream;
    uint m_node = 0;
    std::unique_ptr<PipeWireConnection> m_connection;
    std::mutex m_screenMutex;
    QImage m_screen;
    QElapsedTimer m_sinceLastPicture;
    QProcess m_oculo;
    QProcess m_portalBackend;
    QRect m_window;
};

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("OCULO_SESSION_RUN")) {
        // Runs again inside a private Wayland desktop of its own. Qt's Wayland
        // plugin leaves allocations behind at exit that are not Oculo's.
        qputenv("ASAN_OPTIONS", qgetenv("ASAN_OPTIONS") + ":detect_leaks=0");
        std::vector<char*> arguments{const_cast<char*>(OCULO_SESSION_SCRIPT)};
        arguments.insert(arguments.end(), argv, argv + argc);
        arguments.push_back(nullptr);
        execv(OCULO_SESSION_SCRIPT, arguments.data());
        std::perror(OCULO_SESSION_SCRIPT);
        return 1;
    }
    qputenv("QT_QPA_PLATFORM", "wayland");
    QGuiApplication app(argc, argv);
    WaylandE2ETest test;
    return QTest::qExec(&test, argc, argv);
}
#include "test_wayland_e2e.moc"
