// The built oculo program next to a real tray host (trayer) on a private X
// server with a window manager, driven through its tray icon as a user would:
// the icon shows up in the tray, a click opens the panel, the panel opens a
// second magnifier and quits the program cleanly.

#include "TrayTestSupport.h"
#include "support/TestEnvironment.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

namespace {

// X keysyms of the keys the panel's shortcuts use.
constexpr uint32_t controlKey = 0xffe3;
constexpr uint32_t letterQ = 0x71;

// The sanitizer build on a loaded machine starts and reacts slowly.
constexpr int startTimeoutMs = 30000;
constexpr int reactionTimeoutMs = 10000;

// Enough for the popup to have taken the pointer and keyboard grabs after it maps.
constexpr int settleMs = 300;

// A panel is a tall popup; tooltips of the icon are short ones.
constexpr int minimumPanelHeight = 100;

bool hasClass(const QStringList& classNames, QLatin1String name) {
    return classNames.contains(name, Qt::CaseInsensitive);
}

void stop(QProcess& process) {
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(5000);
    }
}

} // namespace

class TrayE2ETest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() {
        QVERIFY2(m_display.isConnected(), "cannot connect to the test's X server");
        QVERIFY(m_home.isValid());
        startTrayHost();
        if (QTest::currentTestFailed()) {
            return;
        }
        startOculo();
    }

    void iconAppearsInTheTray() {
        QTRY_VERIFY2_WITH_TIMEOUT(oculoEnded() || (m_icon = findTrayIcon()) != 0,
                                  "no window of oculo inside the tray host", startTimeoutMs);
        QVERIFY2(!oculoEnded(), "oculo ended before its icon appeared in the tray");
        QTRY_VERIFY_WITH_TIMEOUT(!m_display.rootGeometry(m_icon).isEmpty(), reactionTimeoutMs);
        // The first magnifier opens by itself.
        QTRY_COMPARE_WITH_TIMEOUT(magnifierCount(), 1, startTimeoutMs);
    }

    void panelOpensFromTheIconAndAddsAMagnifier() {
        if (m_icon == 0) {
            QSKIP("needs oculo's tray icon");
        }
        uint32_t panel = 0;
        openPanel(panel);
        if (QTest::currentTestFailed()) {
            return;
        }
        // The first row, "New Magnifier Window", sits at the panel's top.
        const QRect frame = m_display.rootGeometry(panel);
        m_display.click(QPoint(frame.center().x(), frame.top() + 16));
        QTRY_VERIFY2_WITH_TIMEOUT(!m_display.isViewable(panel),
                                  "the panel stayed open after its first row was clicked",
                                  reactionTimeoutMs);
        QTRY_COMPARE_WITH_TIMEOUT(magnifierCount(), 2, reactionTimeoutMs);
        // Stays at two: the click made exactly one.
        QTest::qWait(settleMs);
        QCOMPARE(magnifierCount(), 2);
    }

    void quitFromThePanelEndsOculoCleanly() {
        if (m_icon == 0) {
            QSKIP("needs oculo's tray icon");
        }
        uint32_t panel = 0;
        openPanel(panel);
        if (QTest::currentTestFailed()) {
            return;
        }
        QVERIFY2(m_display.isViewable(panel), "the panel closed before Ctrl+Q");
        QVERIFY2(m_display.pressKeys({controlKey, letterQ}), "no Control or Q key on the keyboard");
        QVERIFY2(m_oculo.waitForFinished(reactionTimeoutMs),
                 "oculo still runs after Quit Oculo in its panel");
        QCOMPARE(m_oculo.exitStatus(), QProcess::NormalExit);
        QCOMPARE(m_oculo.exitCode(), 0);
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
        QVERIFY2(
            m_trayHost.waitForStarted(10000),
            qPrintable(QStringLiteral("cannot start trayer: %1").arg(m_trayHost.errorString())));
        const auto trayHostShown = [this] {
            m_trayWindow = findTrayHostWindow();
            return m_trayWindow != 0;
        };
        QTRY_VERIFY2_WITH_TIMEOUT(m_trayHost.state() != QProcess::Running || trayHostShown(),
                                  "trayer showed no window", startTimeoutMs);
        QVERIFY2(m_trayWindow != 0, "trayer ended without showing its window");
    }

    // A settings and runtime folder of its own and no session bus, so the icon
    // goes to the X tray rather than to a status-notifier host.
    void startOculo() {
        const QString config = m_home.filePath(QStringLiteral("config"));
        const QString runtime = m_home.filePath(QStringLiteral("runtime"));
        QVERIFY(QDir().mkpath(config));
        QVERIFY(QDir().mkpath(runtime));
        QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), config);
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
        environment.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
        m_oculo.setProcessEnvironment(environment);
        m_oculo.setProcessChannelMode(QProcess::ForwardedChannels);
        m_oculo.start(QStringLiteral(OCULO_EXECUTABLE), {});
        QVERIFY2(m_oculo.waitForStarted(10000),
                 qPrintable(QStringLiteral("cannot start oculo: %1").arg(m_oculo.errorString())));
        m_oculoPid = static_cast<pid_t>(m_oculo.processId());
    }

    bool oculoEnded() const { return m_oculo.state() == QProcess::NotRunning; }

    uint32_t findTrayHostWindow() const {
        const auto trayerPid = static_cast<pid_t>(m_trayHost.processId());
        for (const uint32_t window : m_display.descendants(m_display.root())) {
            if (m_display.isViewable(window) &&
                (m_display.ownerPid(window) == trayerPid ||
                 hasClass(m_display.classNames(window), QLatin1String("trayer")))) {
                return window;
            }
        }
        return 0;
    }

    // Qt's icon window, reparented into the tray host by the embedding.
    uint32_t findTrayIcon() const {
        for (const uint32_t window : m_display.descendants(m_trayWindow)) {
            if (m_display.isViewable(window) &&
                (m_display.ownerPid(window) == m_oculoPid ||
                 hasClass(m_display.classNames(window), QLatin1String("oculo")))) {
                return window;
            }
        }
        return 0;
    }

    uint32_t findPanel() const {
        uint32_t panel = 0;
        int tallest = minimumPanelHeight - 1;
        for (const uint32_t window : m_display.descendants(m_display.root())) {
            if (m_display.ownerPid(window) != m_oculoPid || !m_display.isOverrideRedirect(window) ||
                !m_display.isViewable(window)) {
                continue;
            }
            const QRect frame = m_display.rootGeometry(window);
            if (frame.height() > tallest) {
                tallest = frame.height();
                panel = window;
            }
        }
        return panel;
    }

    int magnifierCount() const {
        int count = 0;
        for (const uint32_t window : m_display.managedClients()) {
            if (m_display.ownerPid(window) == m_oculoPid &&
                m_display.title(window) == QLatin1String("Oculo")) {
                ++count;
            }
        }
        return count;
    }

    // Clicks the centre of the tray icon and waits for the panel to show.
    void openPanel(uint32_t& panel) {
        panel = 0;
        // A panel that just closed would take the click as "close" instead.
        QTRY_COMPARE_WITH_TIMEOUT(findPanel(), uint32_t{0}, reactionTimeoutMs);
        QTest::qWait(settleMs);
        const QRect icon = m_display.rootGeometry(m_icon);
        QVERIFY2(!icon.isEmpty(), "oculo's tray icon is gone");
        m_display.click(icon.center());
        QTRY_VERIFY2_WITH_TIMEOUT((panel = findPanel()) != 0,
                                  "no panel after a click on the tray icon", reactionTimeoutMs);
        QTest::qWait(settleMs);
    }

    oculo::test::TrayTestDisplay m_display;
    QTemporaryDir m_home;
    QProcess m_trayHost;
    QProcess m_oculo;
    pid_t m_oculoPid = 0;
    uint32_t m_trayWindow = 0;
    uint32_t m_icon = 0;
};

OCULO_X11_TEST_MAIN(TrayE2ETest, true)

#include "test_tray_e2e.moc"
