// The built oculo program, started like a user would on a private X server with
// a window manager: its magnifier shows the area under the pointer enlarged,
// follows the pointer, zooms with the scroll wheel, ends on SIGTERM and comes
// back with the zoom it saved.

#include "X11Probe.h"
#include "support/TestEnvironment.h"

#include <QDir>
#include <QPainter>
#include <QProcess>
#include <QTemporaryDir>
#include <QWidget>

#include <csignal>
#include <optional>

namespace {

// 400 x 400 at the screen's top-left corner, far from the magnifier near the
// centre: four coloured quadrants under a 40 px wide black vertical stripe.
constexpr QRect patternRect{0, 0, 400, 400};
constexpr QPoint patternCentre{200, 200};
constexpr int stripeWidth = 40;
constexpr QRgb topLeftColour = qRgb(230, 60, 60);
constexpr QRgb topRightColour = qRgb(60, 200, 60);
constexpr QRgb bottomLeftColour = qRgb(60, 60, 230);
constexpr QRgb bottomRightColour = qRgb(230, 200, 40);

class PatternWindow : public QWidget {
public:
    PatternWindow()
        : QWidget(nullptr, Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint) {
        // Nothing drawn over the pattern: the captured pointer stays invisible.
        setCursor(Qt::BlankCursor);
        setGeometry(patternRect);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        const int half = patternRect.width() / 2;
        painter.fillRect(0, 0, half, half, QColor(topLeftColour));
        painter.fillRect(half, 0, half, half, QColor(topRightColour));
        painter.fillRect(0, half, half, half, QColor(bottomLeftColour));
        painter.fillRect(half, half, half, half, QColor(bottomRightColour));
        painter.fillRect(half - stripeWidth / 2, 0, stripeWidth, patternRect.height(), Qt::black);
    }
};

bool isNear(QRgb actual, QRgb expected) {
    return std::abs(qRed(actual) - qRed(expected)) < 40 &&
           std::abs(qGreen(actual) - qGreen(expected)) < 40 &&
           std::abs(qBlue(actual) - qBlue(expected)) < 40;
}

bool isDark(QRgb pixel) {
    return qGray(pixel) < 60;
}

// Width of the dark run through the middle of `row` of `image`, 0 if the
// middle is not dark.
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

} // namespace

class FollowMouseE2ETest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() {
        QVERIFY2(m_probe.isConnected(), qPrintable(m_probe.errorString()));
        m_pattern.show();
        QVERIFY(QTest::qWaitForWindowExposed(&m_pattern));

        QVERIFY(m_config.isValid());
        startOculo();
        if (QTest::currentTestFailed()) {
            return;
        }
        const QRect magnifier = m_probe.rootGeometry(m_magnifier);
        QVERIFY2(!magnifier.intersects(patternRect.adjusted(0, 0, 100, 100)),
                 "the magnifier opened over the pattern; expected it near the screen's centre");
    }

    void showsTheAreaUnderThePointerEnlarged() {
        m_probe.movePointer(patternCentre);

        // Pattern centre at the magnifier's centre, enlarged twice: red top-left,
        // green top-right, blue bottom-left, the stripe 80 px wide between them.
        const auto showsQuadrants = [this] {
            const QImage shown = magnifierContent();
            const QPoint c(shown.width() / 2, shown.height() / 2);
            return !shown.isNull() && isNear(shown.pixel(c.x() - 120, c.y() - 60), topLeftColour) &&
                   isNear(shown.pixel(c.x() + 120, c.y() - 60), topRightColour) &&
                   isNear(shown.pixel(c.x() - 120, c.y() + 30), bottomLeftColour) &&
                   isNear(shown.pixel(c.x() + 120, c.y() + 30), bottomRightColour);
        };
        QTRY_VERIFY_WITH_TIMEOUT(showsQuadrants(), 5000);
        m_stripeAtZoom2 = stripeWidthShown();
        QVERIFY2(m_stripeAtZoom2 >= 60 && m_stripeAtZoom2 <= 110,
                 qPrintable(QStringLiteral("stripe shown %1 px wide at zoom 2, expected about 80")
                                .arg(m_stripeAtZoom2)));

        // Follows the pointer: half a stripe to the right puts the stripe's
        // right edge under the magnifier's centre line.
        m_probe.movePointer(patternCentre + QPoint(stripeWidth / 2 + 10, 0));
        QTRY_VERIFY_WITH_TIMEOUT(isNear(centrePixelAboveMiddle(), topRightColour), 5000);
        m_probe.movePointer(patternCentre);
        QTRY_VERIFY_WITH_TIMEOUT(isDark(centrePixelAboveMiddle()), 5000);
    }

    void scrollWheelOverTheMagnifierZoomsIn() {
        if (m_stripeAtZoom2 == 0) {
            QSKIP("needs the magnifier showing the pattern");
        }
        const QRect magnifier = m_probe.rootGeometry(m_magnifier);
        m_probe.movePointer(magnifier.center());
        QTest::qWait(300);
        for (int step = 0; step < 4; ++step) { // 2.0 -> 3.0
            m_probe.clickButton(4);
            QTest::qWait(50);
        }
        QTest::qWait(300);
        m_probe.movePointer(patternCentre);

        const double expected = m_stripeAtZoom2 * 1.5;
        QTRY_VERIFY2_WITH_TIMEOUT(std::abs(stripeWidthShown() - expected) <= expected * 0.1,
                                  qPrintable(QStringLiteral("stripe %1 px wide after zooming from "
                                                            "2 to 3, expected %2 (it was %3)")
                                                 .arg(stripeWidthShown())
                                                 .arg(expected)
                                                 .arg(m_stripeAtZoom2)),
                                  5000);
    }

    void endsOnTerminateLeavingNoProcess() { stopOculo(); }

    void restartsWithTheSavedZoom() {
        if (m_stripeAtZoom2 == 0) {
            QSKIP("needs the magnifier showing the pattern");
        }
        m_probe.movePointer(patternCentre);
        startOculo();
        if (QTest::currentTestFailed()) {
            return;
        }
        const double expected = m_stripeAtZoom2 * 1.5;
        QTRY_VERIFY2_WITH_TIMEOUT(std::abs(stripeWidthShown() - expected) <= expected * 0.1,
                                  qPrintable(QStringLiteral("stripe %1 px wide after a restart, "
                                                            "expected %2 as at the saved zoom 3")
                                                 .arg(stripeWidthShown())
                                                 .arg(expected)),
                                  5000);
        stopOculo();
    }

    void cleanupTestCase() {
        if (m_oculo.state() != QProcess::NotRunning) {
            m_oculo.kill();
            m_oculo.waitForFinished(5000);
        }
    }

private:
    // Starts oculo with this test's settings folder and waits for its magnifier.
    void startOculo() {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), m_config.path());
        m_oculo.setProcessEnvironment(environment);
        m_oculo.setProcessChannelMode(QProcess::ForwardedChannels);
        // OCULO_E2E_PROGRAM runs the same checks against another build (e.g. release).
        const QString program =
            qEnvironmentVariable("OCULO_E2E_PROGRAM", QStringLiteral(OCULO_EXECUTABLE));
        m_oculo.start(program, {});
        QVERIFY2(m_oculo.waitForStarted(10000), qPrintable(m_oculo.errorString()));
        m_oculoPid = static_cast<pid_t>(m_oculo.processId());
        m_magnifier = 0;

        // The sanitizer build starts slowly.
        QTRY_VERIFY_WITH_TIMEOUT(
            m_oculo.state() != QProcess::Running ||
                (m_magnifier = m_probe.findWindow(m_oculoPid, QStringLiteral("Oculo"))) != 0,
            20000);
        QVERIFY2(m_magnifier != 0, "oculo ended without showing its magnifier window");
    }

    // SIGTERM (there is no tray to quit from here): oculo must end and leave
    // no process of its own behind.
    void stopOculo() {
        const QList<pid_t> children = childrenOf(m_oculoPid);
        m_oculo.terminate();
        QVERIFY2(m_oculo.waitForFinished(10000), "oculo did not end within 10 s of SIGTERM");
        const bool endedCleanly =
            (m_oculo.exitStatus() == QProcess::NormalExit && m_oculo.exitCode() == 0) ||
            (m_oculo.exitStatus() == QProcess::CrashExit && m_oculo.exitCode() == SIGTERM);
        QVERIFY2(endedCleanly, qPrintable(QStringLiteral("oculo ended with status %1, code %2")
                                              .arg(m_oculo.exitStatus())
                                              .arg(m_oculo.exitCode())));
        for (const pid_t child : children) {
            QTRY_VERIFY2_WITH_TIMEOUT(
                !QDir(QStringLiteral("/proc/%1").arg(child)).exists(),
                qPrintable(QStringLiteral("oculo's child process %1 outlived it").arg(child)),
                5000);
        }
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

    static QList<pid_t> childrenOf(pid_t parent) {
        QList<pid_t> children;
        const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
        for (const QString& entry : entries) {
            bool isPid = false;
            const pid_t pid = entry.toInt(&isPid);
            if (!isPid) {
                continue;
            }
            QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
            if (!stat.open(QIODevice::ReadOnly)) {
                continue;
            }
            const QByteArray text = stat.readAll();
            const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
            if (fields.size() > 1 && fields.at(1).toInt() == parent) {
                children.append(pid);
            }
        }
        return children;
    }

    oculo::bench::X11Probe m_probe;
    PatternWindow m_pattern;
    QTemporaryDir m_config;
    QProcess m_oculo;
    pid_t m_oculoPid = 0;
    uint32_t m_magnifier = 0;
    int m_stripeAtZoom2 = 0;
};

OCULO_X11_TEST_MAIN(FollowMouseE2ETest, true)

#include "test_follow_mouse_e2e.moc"
