// The built oculo program, used as a person would on a private X server with a
// window manager and a tray host: its icon appears in the tray and the first
// magnifier opens; the magnifier shows the area under the pointer enlarged and
// follows it; the scroll wheel zooms; SIGTERM quits cleanly and the zoom comes
// back at the next start; the tray panel opens a second magnifier and quits; a
// second start hands over to the first; the panel outlives the tray host and
// the icon comes back with it; a lost X server ends it with its settings saved.

#include "X11Probe.h"
#include "support/TestEnvironment.h"
#include "support/X11TestSupport.h"
#include "support/XvfbSession.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>

using oculo::test::PatternWindow;

namespace {

// 400 x 400 at the screen's top-left corner, far from the magnifier near the
// centre: four coloured quadrants under a 40 px wide black vertical stripe.
constexpr QRect patternRect{0, 0, 400, 400};
constexpr QPoint patternCentre{200, 200};
constexpr int stripeWidth = 40;
const QRgb topLeftColour = PatternWindow::quadrantColor(false, false).rgb();
const QRgb topRightColour = PatternWindow::quadrantColor(true, false).rgb();
const QRgb bottomLeftColour = PatternWindow::quadrantColor(false, true).rgb();
const QRgb bottomRightColour = PatternWindow::quadrantColor(true, true).rgb();

// X keysyms of the panel's Quit shortcut.
constexpr uint32_t controlKey = 0xffe3;
constexpr uint32_t letterQ = 0x71;

// The sanitizer build on a loaded machine starts and reacts slowly.
constexpr int startTimeoutMs = 30000;
constexpr int reactionTimeoutMs = 10000;
// Lets a popup take its grabs, or hover controls settle, before the next input.
constexpr int settleMs = 300;
// A panel is a tall popup; the icon's tooltips are short ones.
constexpr int minimumPanelHeight = 100;

bool isNear(QRgb actual, QRgb expected) {
    return std::abs(qRed(actual) - qRed(expected)) < 40 &&
           std::abs(qGreen(actual) - qGreen(expected)) < 40 &&
           std::abs(qBlue(actual) - qBlue(expected)) < 40;
}

bool isDark(QRgb pixel) {
    return qGray(pixel) < 60;
}

// Width of the dark run through the middle of `row`, 0 if the middle is not dark.
int darkRunWidthThroughCentre(const QImage& image, int row) {
    const int centre = image.width() / 2;
    if (image.isNull() || !isDark(image.pixel(centre, row))) {
        return 0;
    }
    int left = centre;
    while (left > 0 && isDark(image.pixel(left - 1, row))) {
        --left;
    }
    int right = centre;
    while (right + 1 < image.width() && isDark(image.pixel(right + 1, row))) {
        ++right;
    }
    return right - left + 1;
}

void stop(QProcess& process) {
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(5000);
    }
}

} // namespace

class OculoE2ETest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() {
        QVERIFY2(m_probe.isConnected(), qPrintable(m_probe.errorString()));
        QVERIFY(m_home.isValid());
        // Nothing drawn over the pattern: the captured pointer stays invisible.
        m_pattern.setCursor(Qt::BlankCursor);
        m_pattern.setStripeWidth(stripeWidth);
        m_pattern.show();
        QVERIFY(QTest::qWaitForWindowExposed(&m_pattern));
        startTrayHost();
    }

    void startsInTheTrayWithOneMagnifier() {
        startOculo();
        QVERIFY2(!m_probe.rootGeometry(m_magnifier).intersects(patternRect.adjusted(0, 0, 99, 99)),
                 "the magnifier opened over the pattern; expected it near the screen's centre");
        QCOMPARE(magnifierCount(), 1);
    }

    void showsTheAreaUnderThePointerEnlargedAndFollowsIt() {
        m_probe.movePointer(patternCentre);
        // Pattern centre at the magnifier's centre, enlarged twice.
        const auto showsQuadrants = [this] {
            const QImage shown = magnifierContent();
            const QPoint c(shown.width() / 2, shown.height() / 2);
            return !shown.isNull() && isNear(shown.pixel(c.x() - 120, c.y() - 60), topLeftColour) &&
                   isNear(shown.pixel(c.x() + 120, c.y() - 60), topRightColour) &&
                   isNear(shown.pixel(c.x() - 120, c.y() + 30), bottomLeftColour) &&
                   isNear(shown.pixel(c.x() + 120, c.y() + 30), bottomRightColour);
        };
        QTRY_VERIFY_WITH_TIMEOUT(showsQuadrants(), reactionTimeoutMs);
        m_stripeAtZoom2 = stripeWidthShown();
        QVERIFY2(m_stripeAtZoom2 >= 60 && m_stripeAtZoom2 <= 110,
                 qPrintable(QStringLiteral("stripe shown %1 px wide at zoom 2, expected about 80")
                                .arg(m_stripeAtZoom2)));

        // Half a stripe to the right puts the stripe's right edge under the centre line.
        m_probe.movePointer(patternCentre + QPoint(stripeWidth / 2 + 10, 0));
        QTRY_VERIFY_WITH_TIMEOUT(isNear(centrePixelAboveMiddle(), topRightColour),
                                 reactionTimeoutMs);
        m_probe.movePointer(patternCentre);
        QTRY_VERIFY_WITH_TIMEOUT(isDark(centrePixelAboveMiddle()), reactionTimeoutMs);
    }

    void wheelZoomsAndTheZoomOutlivesATerminateSignal() {
        QVERIFY2(m_stripeAtZoom2 > 0, "needs the magnifier showing the pattern");
        m_probe.movePointer(m_probe.rootGeometry(m_magnifier).center());
        QTest::qWait(settleMs);
        for (int step = 0; step < 4; ++step) { // 2.0 -> 3.0
            m_probe.clickButton(4);
            QTest::qWait(50);
        }
        m_probe.movePointer(patternCentre);
        QTRY_VERIFY2_WITH_TIMEOUT(showsZoomedOneAndAHalfTimes(), qPrintable(stripeReport()),
                                  reactionTimeoutMs);

        // Straight away, before the settings debounce would have written the zoom.
        m_oculo.terminate();
        QVERIFY2(m_oculo.waitForFinished(reactionTimeoutMs), "oculo still runs 10 s after SIGTERM");
        QCOMPARE(m_oculo.exitStatus(), QProcess::NormalExit);
        QCOMPARE(m_oculo.exitCode(), 0);

        startOculo();
        QTRY_VERIFY2_WITH_TIMEOUT(showsZoomedOneAndAHalfTimes(),
                                  qPrintable(QStringLiteral("after a restart: ") + stripeReport()),
                                  reactionTimeoutMs);
    }

    void trayPanelOpensASecondMagnifierAndQuits() {
        const uint32_t panel = openPanel();
        QVERIFY(panel != 0);
        // The first row, "New Magnifier Window", sits at the panel's top.
        const QRect frame = m_probe.rootGeometry(panel);
        m_probe.click(QPoint(frame.center().x(), frame.top() + 16));
        QTRY_VERIFY2_WITH_TIMEOUT(!m_probe.isViewable(panel),
                                  "the panel stayed open after its first row was clicked",
                                  reactionTimeoutMs);
        QTRY_COMPARE_WITH_TIMEOUT(magnifierCount(), 2, reactionTimeoutMs);
        QTest::qWait(settleMs);
        QCOMPARE(magnifierCount(), 2); // the click made exactly one
        m_framesAtQuit = magnifierFrames();

        QVERIFY(openPanel() != 0);
        QVERIFY2(m_probe.pressKeys({controlKey, letterQ}), "no Control or Q key on the keyboard");
        QVERIFY2(m_oculo.waitForFinished(reactionTimeoutMs),
                 "oculo still runs after Quit Oculo in its panel");
        QCOMPARE(m_oculo.exitStatus(), QProcess::NormalExit);
        QCOMPARE(m_oculo.exitCode(), 0);
    }

    // Both magnifiers open at the quit come back where they were. A second start
    // hands over and ends; the first keeps its magnifiers, the one minimised
    // restored. With the tray host gone, right-clicking a magnifier opens the panel.
    void secondStartHandsOverAndThePanelOutlivesTheTray() {
        startOculo();
        QTRY_COMPARE_WITH_TIMEOUT(magnifierFrames(), m_framesAtQuit, reactionTimeoutMs);
        QTRY_VERIFY_WITH_TIMEOUT(magnifiers().contains(m_probe.activeWindow()), reactionTimeoutMs);
        m_magnifier = m_probe.activeWindow();
        // Qt asks for a new window's activation once it sees it mapped; on a loaded
        // machine that request can reach the window manager after the iconify and
        // undo it, so the iconify is asked for until it holds.
        const auto iconified = [&] {
            return QTest::qWaitFor(
                [&] {
                    const bool viewable = m_probe.isViewable(m_magnifier);
                    if (viewable) {
                        m_probe.iconify(m_magnifier);
                    }
                    return !viewable;
                },
                reactionTimeoutMs);
        };
        QVERIFY(iconified());
        QTest::qWait(settleMs);
        QVERIFY(iconified());
        QProcess second;
        second.setProcessEnvironment(m_oculo.processEnvironment());
        second.setProcessChannelMode(QProcess::ForwardedChannels);
        second.start(m_oculo.program(), {});
        QVERIFY2(second.waitForFinished(startTimeoutMs), "a second oculo kept running");
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);
        QVERIFY(isOculoRunning());
        QTRY_COMPARE_WITH_TIMEOUT(magnifierCount(), 2, reactionTimeoutMs);

        stop(m_trayHost);
        m_probe.movePointer(m_probe.rootGeometry(m_magnifier).center());
        QTest::qWait(settleMs);
        m_probe.clickButton(3);
        QTRY_VERIFY2_WITH_TIMEOUT(findPanel() != 0, "no panel after a right-click",
                                  reactionTimeoutMs);
        startTrayHost(); // the icon follows a tray host that comes back
        QTRY_VERIFY2_WITH_TIMEOUT(findWindowOf(m_trayWindow, m_oculoPid, QLatin1String("oculo")),
                                  "no icon in the new tray host", startTimeoutMs);
    }

    // A logout ends the X server under a running Oculo, with the pointer at rest
    // or moving: it says so, ends with status 1 (never a crash) and keeps the
    // zoom changed just before, still waiting for its save delay.
    void endsWithTheSettingsSavedWhenItsXServerGoes() {
        stop(m_oculo); // its session folders are taken over
        const QString settings = m_home.filePath(QStringLiteral("config/Oculo/settings.json"));
        for (int round = 0; round < 5; ++round) {
            QFile::remove(settings);
            oculo::test::XvfbSession::Options options;
            options.windowManager = true;
            auto server = std::make_unique<oculo::test::XvfbSession>(options);
            QVERIFY2(server->isRunning(), qPrintable(server->errorString()));
            oculo::probe::X11Probe probe(server->display().toLocal8Bit());
            QProcessEnvironment environment = m_oculo.processEnvironment();
            environment.insert(QStringLiteral("DISPLAY"), server->display());
            QProcess oculo;
            oculo.setProcessEnvironment(environment);
            oculo.start(m_oculo.program(), {});
            const auto pid = static_cast<pid_t>(oculo.processId());
            uint32_t magnifier = 0;
            QTRY_VERIFY_WITH_TIMEOUT((magnifier = probe.findWindow(pid, QStringLiteral("Oculo"))),
                                     startTimeoutMs);

            // 2.0 -> 2.5; the panel opens once the wheel was taken.
            const QPoint centre = probe.rootGeometry(magnifier).center();
            probe.movePointer(centre);
            QTest::qWait(settleMs);
            for (const int button : {4, 4, 3}) {
                probe.clickButton(button);
            }
            QTRY_VERIFY_WITH_TIMEOUT(findPanel(probe, pid) != 0, reactionTimeoutMs);
            for (int step = 0; round % 2 == 1 && step < 10; ++step) {
                probe.movePointer(centre + QPoint(step * 7, step * 3));
            }
            server.reset();

            QVERIFY(oculo.waitForFinished(reactionTimeoutMs));
            const QString errors = QString::fromLocal8Bit(oculo.readAllStandardError());
            QVERIFY2(oculo.exitStatus() == QProcess::NormalExit && oculo.exitCode() == 1 &&
                         errors.contains(QLatin1String("Oculo lost its connection to the X "
                                                       "server and ends.")) &&
                         !errors.contains(QLatin1String("Sanitizer")),
                     qPrintable(QStringLiteral("round %1, status %2, code %3: %4")
                                    .arg(round)
                                    .arg(oculo.exitStatus())
                                    .arg(oculo.exitCode())
                                    .arg(errors)));
            QFile file(settings);
            QVERIFY(file.open(QIODevice::ReadOnly));
            QCOMPARE(QJsonDocument::fromJson(file.readAll())[QLatin1String("oculo.zoomLevel")],
                     QJsonValue(2.5));
        }
    }

    void cleanupTestCase() {
        stop(m_oculo);
        stop(m_trayHost);
    }

private:
    void startTrayHost() {
        m_trayHost.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_trayHost.setStandardOutputFile(QProcess::nullDevice());
        m_trayHost.start(
            QStringLiteral("trayer"),
            {QStringLiteral("--edge"), QStringLiteral("top"), QStringLiteral("--align"),
             QStringLiteral("right"), QStringLiteral("--widthtype"), QStringLiteral("request"),
             QStringLiteral("--height"), QStringLiteral("24"), QStringLiteral("--transparent"),
             QStringLiteral("false"), QStringLiteral("--SetDockType"), QStringLiteral("true")});
        QVERIFY2(m_trayHost.waitForStarted(10000),
                 qPrintable(QStringLiteral("cannot start trayer: ") + m_trayHost.errorString()));
        const auto trayerPid = static_cast<pid_t>(m_trayHost.processId());
        QTRY_VERIFY2_WITH_TIMEOUT(m_trayHost.state() != QProcess::Running ||
                                      (m_trayWindow = findWindowOf(m_probe.root(), trayerPid,
                                                                   QLatin1String("trayer"))) != 0,
                                  "trayer showed no window", startTimeoutMs);
        QVERIFY2(m_trayWindow != 0, "trayer ended without showing its window");
    }

    // Starts oculo with this test's settings folder, no session bus (so the
    // icon goes to the X tray) and waits for its icon and first magnifier.
    void startOculo() {
        const QString config = m_home.filePath(QStringLiteral("config"));
        const QString runtime = m_home.filePath(QStringLiteral("runtime"));
        QVERIFY(QDir().mkpath(config) && QDir().mkpath(runtime));
        QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), config);
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
        environment.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
        m_oculo.setProcessEnvironment(environment);
        m_oculo.setProcessChannelMode(QProcess::ForwardedChannels);
        // OCULO_E2E_PROGRAM runs the same checks against another build (e.g. release).
        m_oculo.start(qEnvironmentVariable("OCULO_E2E_PROGRAM", QStringLiteral(OCULO_EXECUTABLE)),
                      {});
        QVERIFY2(m_oculo.waitForStarted(10000),
                 qPrintable(QStringLiteral("cannot start oculo: ") + m_oculo.errorString()));
        m_oculoPid = static_cast<pid_t>(m_oculo.processId());
        m_icon = m_magnifier = 0;
        QTRY_VERIFY2_WITH_TIMEOUT(
            !isOculoRunning() ||
                ((m_icon = findWindowOf(m_trayWindow, m_oculoPid, QLatin1String("oculo"))) != 0 &&
                 (m_magnifier = magnifiers().value(0)) != 0),
            "no icon of oculo in the tray host, or no magnifier window", startTimeoutMs);
        QVERIFY2(isOculoRunning(), "oculo ended before its icon and magnifier appeared");
    }

    bool isOculoRunning() const { return m_oculo.state() != QProcess::NotRunning; }

    // A viewable window below `ancestor` of the process `pid` or of the class `className`.
    uint32_t findWindowOf(uint32_t ancestor, pid_t pid, QLatin1String className) const {
        for (const uint32_t window : m_probe.descendants(ancestor)) {
            if (m_probe.isViewable(window) &&
                (m_probe.ownerPid(window) == pid ||
                 m_probe.classNames(window).contains(className, Qt::CaseInsensitive))) {
                return window;
            }
        }
        return 0;
    }

    uint32_t findPanel() const { return findPanel(m_probe, m_oculoPid); }
    static uint32_t findPanel(const oculo::probe::X11Probe& probe, pid_t pid) {
        uint32_t panel = 0;
        int tallest = minimumPanelHeight - 1;
        for (const uint32_t window : probe.descendants(probe.root())) {
            if (probe.ownerPid(window) != pid || !probe.isOverrideRedirect(window) ||
                !probe.isViewable(window)) {
                continue;
            }
            const QRect frame = probe.rootGeometry(window);
            if (frame.height() > tallest) {
                tallest = frame.height();
                panel = window;
            }
        }
        return panel;
    }

    // Oculo's windows that the window manager manages: the tray icon and the
    // panel are not among them.
    // Where the magnifiers are, left to right.
    QList<QRect> magnifierFrames() const {
        QList<QRect> frames;
        for (const uint32_t window : magnifiers()) {
            frames.append(m_probe.rootGeometry(window));
        }
        std::sort(frames.begin(), frames.end(),
                  [](const QRect& a, const QRect& b) { return a.x() < b.x(); });
        return frames;
    }

    QList<uint32_t> magnifiers() const {
        QList<uint32_t> found;
        for (const uint32_t window : m_probe.managedClients()) {
            if (m_probe.ownerPid(window) == m_oculoPid && m_probe.isViewable(window) &&
                m_probe.title(window) == QLatin1String("Oculo")) {
                found.append(window);
            }
        }
        return found;
    }

    int magnifierCount() const { return static_cast<int>(magnifiers().size()); }

    // Clicks the tray icon and returns the panel that opens, 0 when none does.
    uint32_t openPanel() {
        // A panel that just closed would take the click as "close" instead.
        if (!QTest::qWaitFor([this] { return findPanel() == 0; }, reactionTimeoutMs)) {
            return 0;
        }
        QTest::qWait(settleMs);
        m_probe.click(m_probe.rootGeometry(m_icon).center());
        uint32_t panel = 0;
        if (QTest::qWaitFor([&] { return (panel = findPanel()) != 0; }, reactionTimeoutMs)) {
            QTest::qWait(settleMs);
        }
        return panel;
    }

    QImage magnifierContent() const { return m_probe.grab(m_probe.rootGeometry(m_magnifier)); }

    // The pixel on the centre line, a quarter of the height above the middle:
    // clear of the pointer and of the controls along the bottom.
    QRgb centrePixelAboveMiddle() const {
        const QImage shown = magnifierContent();
        return shown.isNull() ? 0 : shown.pixel(shown.width() / 2, shown.height() / 4);
    }

    int stripeWidthShown() const {
        const QImage shown = magnifierContent();
        return shown.isNull() ? 0 : darkRunWidthThroughCentre(shown, shown.height() / 4);
    }

    // Zoom 3 after zoom 2 widens the stripe by half.
    bool showsZoomedOneAndAHalfTimes() const {
        const double expected = m_stripeAtZoom2 * 1.5;
        return std::abs(stripeWidthShown() - expected) <= expected * 0.1;
    }

    QString stripeReport() const {
        return QStringLiteral("stripe %1 px wide, expected %2 as at zoom 3")
            .arg(stripeWidthShown())
            .arg(m_stripeAtZoom2 * 1.5);
    }

    oculo::probe::X11Probe m_probe;
    PatternWindow m_pattern{patternRect};
    QTemporaryDir m_home;
    QProcess m_trayHost;
    QProcess m_oculo;
    pid_t m_oculoPid = 0;
    uint32_t m_trayWindow = 0;
    uint32_t m_icon = 0;
    uint32_t m_magnifier = 0;
    QList<QRect> m_framesAtQuit;
    int m_stripeAtZoom2 = 0;
};

OCULO_X11_TEST_MAIN(OculoE2ETest, true)

#include "test_oculo_e2e.moc"
