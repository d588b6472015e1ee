// The built oculo program on a private headless Wayland desktop (mutter, the
// GNOME screen-cast portal, PipeWire; see wayland-session.sh), looked at and
// driven from outside (tools/waylandprobe). Over a full-screen pattern whose
// every cell says where it is, the magnifier shows the cells around the pointer
// at the zoom and follows the pointer; with itself in view it comes to rest; a
// fixed region shows that region; when the portal ends the session the picture
// goes, and starting Oculo again shares the screen anew.

#include "WaylandProbe.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>

#include <csignal>
#include <cstdio>
#include <functional>
#include <optional>
#include <unistd.h>
#include <vector>

using oculo::test::MutterDesktop;

namespace {

// mutter renders in software on a loaded machine; the sanitizer build starts slowly.
constexpr int timeoutMs = 30000;

} // namespace

class WaylandE2ETest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() {
        m_sinceNudge.start();
        m_pattern.showCovering();
        QVERIFY(QTest::qWaitForWindowExposed(&m_pattern));
        QString error;
        QVERIFY2(m_desktop.open(&error), qPrintable(error));
        // Exposed comes before full screen: a pattern still in a small window
        // would look like a magnified picture.
        QTRY_VERIFY2_WITH_TIMEOUT(nudged([this] { m_pattern.update(); }) &&
                                      m_desktop.showsPatternInPlace(),
                                  qPrintable(dumpScreen()), timeoutMs);
        // Away from where the window opens, whatever the compositor chose. A
        // headless mutter has no pointer image until the pointer first moves.
        m_desktop.movePointer({1700, 950});
        startOculo(m_oculo);
        QTRY_VERIFY_WITH_TIMEOUT(!m_desktop.magnifiedArea().isEmpty(), timeoutMs);
        m_window = m_desktop.magnifiedArea();
    }

    void showsTheCellsAroundThePointerAtTheZoomAndFollowsIt() {
        for (const QPoint target : {farFromWindow(0.25), farFromWindow(0.75)}) {
            m_desktop.movePointer(target);
            QTRY_VERIFY2_WITH_TIMEOUT(pointedAt(target), qPrintable(report(target)), timeoutMs);
        }
        // The pointer's image comes only when it changes; it is drawn in every picture.
        QTRY_VERIFY2_WITH_TIMEOUT(
            showsPointer(),
            qPrintable(QStringLiteral("no pointer drawn: ") + report(farFromWindow(0.75))),
            timeoutMs);
    }

    // The magnifier sees part of itself: each repaint would damage the screen
    // and bring the next picture, forever, unless an unchanged crop repaints nothing.
    void comesToRestWithItselfInView() {
        const QRect window = m_desktop.magnifiedArea();
        const bool roomOnTheLeft = window.left() > 200;
        const QPoint beside(roomOnTheLeft ? window.left() - 60 : window.right() + 60,
                            window.center().y());
        m_desktop.movePointer(beside);
        QTRY_VERIFY2_WITH_TIMEOUT(pointedAt(beside), qPrintable(report(beside)), timeoutMs);
        QTRY_VERIFY2_WITH_TIMEOUT(m_desktop.quietForMs() > 1500,
                                  "the screen never stopped changing", timeoutMs);
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
        const QPoint away = farFromWindow(0.1);
        m_desktop.movePointer(away);
        QTRY_VERIFY2_WITH_TIMEOUT(jiggled(away) && showsAround(centre), qPrintable(report(centre)),
                                  timeoutMs);
    }

    void placeholderWhenTheSessionEndsThenANewSession() {
        const QPoint centre = farFromWindow(0.5);
        const QPoint away = farFromWindow(0.1);
        QVERIFY(showsAround(centre));
        // The portal's backend going away ends its sessions, as "Stop sharing" does.
        ::kill(qEnvironmentVariableIntValue("OCULO_SESSION_PORTAL_PID"), SIGTERM);
        QTRY_VERIFY2_WITH_TIMEOUT(jiggled(away) && m_desktop.magnifiedArea().isEmpty(),
                                  qPrintable(dumpScreen()), timeoutMs);
        m_portalBackend.start(QStringLiteral("/usr/libexec/xdg-desktop-portal-gnome"), {});
        QTRY_VERIFY_WITH_TIMEOUT(QDBusConnection::sessionBus().interface()->isServiceRegistered(
                                     QStringLiteral("org.freedesktop.impl.portal.desktop.gnome")),
                                 timeoutMs);
        QVERIFY2(!showsAround(centre), "the picture came back before anyone asked");
        // Starting Oculo again hands over to the running one, which asks anew;
        // a person who sees nothing happen starts it once more.
        QProcess second;
        const auto startAgain = [&] {
            startOculo(second);
            second.waitForFinished(timeoutMs);
        };
        startAgain();
        QTRY_VERIFY2_WITH_TIMEOUT(nudged(startAgain) && showsAround(centre),
                                  qPrintable(report(centre)), timeoutMs);
    }

    void cleanupTestCase() {
        stopOculo();
        m_portalBackend.kill();
        m_portalBackend.waitForFinished();
    }

private:
    // The picture's centre shows `target` and 96 px of it show 48 px of the
    // screen: a zoom of 2. Read beside the centre, where no pointer is drawn.
    bool showsAround(QPoint target) const {
        const auto middle = shownInTheMiddle();
        return middle && (*middle - target).manhattanLength() <= 16;
    }

    // A headless mutter now and then drops a lone pointer event or skips a
    // repaint on a loaded machine; a hand on a mouse never sends just one.
    // After two quiet seconds `nudge` runs again; always true.
    bool nudged(const std::function<void()>& nudge) {
        if (m_desktop.quietForMs() > 2000 && m_sinceNudge.elapsed() > 2000) {
            nudge();
            m_sinceNudge.start();
        }
        return true;
    }

    bool jiggled(QPoint around) {
        return nudged([&] { m_desktop.movePointer(around + QPoint(++m_nudges % 2, 0)); });
    }

    // The picture shows `target` once the pointer rests there.
    bool pointedAt(QPoint target) { return jiggled(target) && showsAround(target); }

    std::optional<QPoint> shownInTheMiddle() const {
        const QRect area = m_desktop.magnifiedArea();
        const auto left = m_desktop.shownAt(area, {-48, -24});
        const auto right = m_desktop.shownAt(area, {48, -24});
        if (!left || !right || std::abs(right->x() - left->x() - 48) > 8 ||
            right->y() != left->y()) {
            return std::nullopt;
        }
        return (*left + *right) / 2 + QPoint(0, 12);
    }

    // The pointer's black outline just below and right of the picture's middle.
    bool showsPointer() const {
        const QImage shot = m_desktop.screen();
        const QRect around = QRect(m_desktop.magnifiedArea().center(), QSize(40, 40)) & shot.rect();
        int outline = 0;
        for (int y = around.top(); y <= around.bottom(); ++y) {
            for (int x = around.left(); x <= around.right(); ++x) {
                const QRgb pixel = shot.pixel(x, y);
                outline += qRed(pixel) < 40 && qGreen(pixel) < 40 && qBlue(pixel) < 40 ? 1 : 0;
            }
        }
        return outline >= 20;
    }

    // What the test's own view of the screen holds, for a failure's message.
    QString dumpScreen() const {
        const QImage shot = m_desktop.screen();
        return QStringLiteral("pictures %1, last %2 ms ago, %3x%4, corner %5 %6")
            .arg(m_desktop.pictures())
            .arg(m_desktop.quietForMs())
            .arg(shot.width())
            .arg(shot.height())
            .arg(shot.isNull() ? 0 : shot.pixel(4, 4), 0, 16)
            .arg(shot.isNull() ? 0 : shot.pixel(shot.width() - 4, shot.height() - 4), 0, 16);
    }

    QString report(QPoint target) const {
        const QRect area = m_desktop.magnifiedArea();
        const QPoint middle = shownInTheMiddle().value_or(QPoint(-1, -1));
        return QStringLiteral("wanted %1,%2 in the picture at %3,%4 %5x%6, its middle shows %7,%8 "
                              "(screen pictures: %9, the last %10 ms ago; pointer at %11,%12)")
            .arg(target.x())
            .arg(target.y())
            .arg(area.x())
            .arg(area.y())
            .arg(area.width())
            .arg(area.height())
            .arg(middle.x())
            .arg(middle.y())
            .arg(m_desktop.pictures())
            .arg(m_desktop.quietForMs())
            .arg(m_desktop.pointer().x())
            .arg(m_desktop.pointer().y());
    }

    // A point at `fraction` across the screen's widest free band beside the window.
    QPoint farFromWindow(double fraction) const {
        const bool leftIsWider = m_window.left() > 1919 - m_window.right();
        const int from = leftIsWider ? 100 : m_window.right() + 100;
        const int to = leftIsWider ? m_window.left() - 100 : 1819;
        return {from + int((to - from) * fraction), 200 + int(680 * fraction)};
    }

    static void startOculo(QProcess& process) {
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

    static void editSettings(const QVariantMap& values) {
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

    oculo::test::CellPattern m_pattern;
    MutterDesktop m_desktop;
    QProcess m_oculo;
    QProcess m_portalBackend;
    QRect m_window;
    QElapsedTimer m_sinceNudge;
    int m_nudges = 0;
};

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("OCULO_SESSION_RUN")) {
        // Runs again inside a private Wayland desktop of its own (with Oculo,
        // which inherits the environment). Qt's Wayland plugin leaves
        // allocations behind at exit that are not Oculo's.
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
