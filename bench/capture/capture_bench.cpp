// What capturing costs: CPU per frame (this process and the X server) of
// grabbing a rectangle, drawing the pointer in and enlarging it to 2x; the same
// per picture option (filters, smooth scaling, crosshair) against none; the frame
// rate a stream sustains while the screen changes all the time; the same grab
// with plain GetImage; and the CPU an idle stream uses. Runs on its own Xvfb.

#include "platform/x11/X11CaptureSession.h"
#include "platform/x11/X11CaptureStream.h"
#include "platform/x11/X11DisplaySource.h"
#include "support/XvfbSession.h"

#include <QDir>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QPainter>
#include <QRandomGenerator>
#include <QRasterWindow>
#include <QThread>
#include <QTimer>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <map>
#include <string>
#include <vector>

using namespace oculo;

namespace {

struct Options {
    bool quick = false;
    int framesPerSize = 300;
    int rateSeconds = 10;
    int idleSeconds = 5;
};

qint64 threadCpuNs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return qint64(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

qint64 processCpuNs() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return (qint64(usage.ru_utime.tv_sec) + usage.ru_stime.tv_sec) * 1'000'000'000 +
           (qint64(usage.ru_utime.tv_usec) + usage.ru_stime.tv_usec) * 1'000;
}

// Run time of a process's main thread in nanoseconds (the scheduler's own
// account, unlike utime/stime in /proc/<pid>/stat, which move in 10 ms ticks).
qint64 serverCpuNs(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/schedstat");
    qint64 runNs = 0;
    file >> runNs;
    return runNs;
}

// Run time of this process's threads by name, in nanoseconds.
std::map<std::string, qint64> threadCpuByName() {
    std::map<std::string, qint64> result;
    const QStringList tasks =
        QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& task : tasks) {
        const std::string dir = "/proc/self/task/" + task.toStdString();
        std::ifstream commFile(dir + "/comm");
        std::string comm;
        std::getline(commFile, comm);
        std::ifstream statFile(dir + "/schedstat");
        qint64 runNs = 0;
        statFile >> runNs;
        result[comm] += runNs;
    }
    return result;
}

// The Xvfb that XvfbSession started: a child of this process.
pid_t findServerPid() {
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString& entry : entries) {
        bool isPid = false;
        const int pid = entry.toInt(&isPid);
        if (!isPid) {
            continue;
        }
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string line;
        std::getline(stat, line);
        const auto close = line.rfind(')');
        if (line.find("(Xvfb)") == std::string::npos || close == std::string::npos) {
            continue;
        }
        char state = 0;
        int parent = 0;
        if (std::sscanf(line.c_str() + close + 1, " %c %d", &state, &parent) == 2 &&
            parent == getpid()) {
            return pid;
        }
    }
    return -1;
}

// Paints noise over the captured area; while animating, every repaint differs.
class NoiseWindow : public QRasterWindow {
public:
    explicit NoiseWindow(const QRect& geometry) {
        setFlags(Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint);
        setGeometry(geometry);
        m_noise = QImage(geometry.size() + QSize(64, 64), QImage::Format_RGB32);
        auto* pixels = reinterpret_cast<quint32*>(m_noise.bits());
        QRandomGenerator::global()->fillRange(pixels, m_noise.sizeInBytes() / 4);
        m_timer.setInterval(15);
        QObject::connect(&m_timer, &QTimer::timeout, this, [this] {
            m_offset = (m_offset + 7) % 64;
            update();
        });
    }
    void animate(bool on) { on ? m_timer.start() : m_timer.stop(); }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.drawImage(QPoint(-m_offset, -(m_offset / 2)), m_noise);
    }

private:
    QImage m_noise;
    QTimer m_timer;
    int m_offset = 0;
};

struct Percentiles {
    double medianMs = 0;
    double p95Ms = 0;
};

Percentiles percentiles(std::vector<qint64> samples) {
    if (samples.empty()) {
        return {};
    }
    std::sort(samples.begin(), samples.end());
    const auto at = [&](double q) {
        const auto index = std::min(samples.size() - 1, std::size_t(q * double(samples.size())));
        return double(samples[index]) / 1e6;
    };
    return {at(0.5), at(0.95)};
}

CaptureConfiguration configurationFor(const QSizeF& size, const QRectF& displayFrame,
                                      const PictureOptions& picture = {}) {
    CaptureConfiguration configuration;
    configuration.picture = picture;
    configuration.sourceRect = QRectF(QPointF((displayFrame.width() - size.width()) / 2,
                                              (displayFrame.height() - size.height()) / 2),
                                      size);
    configuration.outputSize = QSize(int(size.width() * 2), int(size.height() * 2));
    configuration.showsCursor = true;
    return configuration;
}

void waitFor(int ms) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        usleep(1000);
    }
}

bool measurePerFrame(const DisplayInfo& display, pid_t server, const QSizeF& size,
                     bool sharedMemory, const Options& options) {
    QString error;
    const auto session = x11::X11CaptureSession::open(
        {QByteArray(), sharedMemory}, display, configurationFor(size, display.frame), &error);
    if (!session) {
        std::printf("  could not open a capture session: %s\n", qPrintable(error));
        return false;
    }
    for (int i = 0; i < 10; ++i) {
        session->captureFrame(&error); // warm-up: segment, image pool, caches
    }
    std::vector<qint64> client;
    std::vector<qint64> serverTimes;
    std::vector<qint64> total;
    for (int i = 0; i < options.framesPerSize; ++i) {
        const qint64 c0 = threadCpuNs();
        const qint64 s0 = serverCpuNs(server);
        const auto frame = session->captureFrame(&error);
        const qint64 c1 = threadCpuNs();
        const qint64 s1 = serverCpuNs(server);
        if (!frame) {
            std::printf("  capture failed: %s\n", qPrintable(error));
            return false;
        }
        client.push_back(c1 - c0);
        serverTimes.push_back(s1 - s0);
        total.push_back((c1 - c0) + (s1 - s0));
    }
    const Percentiles c = percentiles(client);
    const Percentiles s = percentiles(serverTimes);
    const Percentiles t = percentiles(total);
    std::printf("  %-9s %4.0fx%-4.0f -> %4dx%-4d  client %6.3f / %6.3f  server %6.3f / %6.3f  "
                "total %6.3f / %6.3f ms\n",
                sharedMemory ? "MIT-SHM" : "GetImage", size.width(), size.height(),
                int(size.width() * 2), int(size.height() * 2), c.medianMs, c.p95Ms, s.medianMs,
                s.p95Ms, t.medianMs, t.p95Ms);
    return session->usesSharedMemory() == sharedMemory;
}

// Client CPU per frame with each picture option against everything off, at the
// smallest and a large window size (2x enlargement, as following starts).
bool measurePictureOptions(const DisplayInfo& display, const Options& options) {
    struct Case {
        const char* name;
        PictureOptions picture;
        double zoom = 0; // 0: about 2, as following starts
    };
    const PictureOptions smooth{ColorFilter::none, Scaling::smooth, false};
    const Case cases[] = {
        {"everything off", {}},
        {"invert", {ColorFilter::invert, Scaling::pixels, false}},
        {"invert lightness", {ColorFilter::invertLightness, Scaling::pixels, false}},
        {"greyscale", {ColorFilter::grayscale, Scaling::pixels, false}},
        {"smooth", {ColorFilter::none, Scaling::smooth, false}},
        {"smooth + invert lightness", {ColorFilter::invertLightness, Scaling::smooth, false}},
        {"crosshair", {ColorFilter::none, Scaling::pixels, true}},
        {"everything on", {ColorFilter::invertLightness, Scaling::smooth, true}},
        // Zoom steps off the pixel grid, each against crisp at the same zoom.
        {"everything off, zoom 1.5", {}, 1.5},
        {"smooth, zoom 1.5", smooth, 1.5},
        {"everything off, zoom 2.5", {}, 2.5},
        {"smooth, zoom 2.5", smooth, 2.5},
    };
    for (const QSize output : {QSize(400, 330), QSize(1400, 1000)}) {
        // A fractional origin, as when the pointer is followed: smooth scaling mixes.
        const QSizeF source(output.width() / 2.0 + 0.5, output.height() / 2.0 + 0.5);
        double offMs = 0;
        for (const Case& each : cases) {
            CaptureConfiguration configuration = configurationFor(
                each.zoom > 0 ? QSizeF(output) / each.zoom : source, display.frame, each.picture);
            configuration.outputSize = output;
            QString error;
            const auto session =
                x11::X11CaptureSession::open({QByteArray(), true}, display, configuration, &error);
            if (!session) {
                std::printf("  could not open a capture session: %s\n", qPrintable(error));
                return false;
            }
            for (int i = 0; i < 10; ++i) {
                session->captureFrame(&error);
            }
            std::vector<qint64> client;
            for (int i = 0; i < options.framesPerSize; ++i) {
                const qint64 c0 = threadCpuNs();
                if (!session->captureFrame(&error)) {
                    std::printf("  capture failed: %s\n", qPrintable(error));
                    return false;
                }
                client.push_back(threadCpuNs() - c0);
            }
            const Percentiles c = percentiles(client);
            offMs = each.picture == PictureOptions() ? c.medianMs : offMs;
            std::printf("  %4dx%-4d %-26s client %6.3f / %6.3f ms  %.2fx everything off\n",
                        output.width(), output.height(), each.name, c.medianMs, c.p95Ms,
                        c.medianMs / offMs);
        }
    }
    return true;
}

double sustainedRate(const DisplayInfo& display, NoiseWindow& noise, const QSizeF& size,
                     int seconds) {
    X11CaptureStream stream({}, display, configurationFor(size, display.frame));
    int frames = 0;
    QObject::connect(&stream, &CaptureStream::frameCaptured, [&frames] { ++frames; });
    noise.animate(true);
    if (const auto error = stream.startNow()) {
        std::printf("  could not start the stream: %s\n", qPrintable(error->description));
        return 0;
    }
    waitFor(500);
    frames = 0;
    QElapsedTimer timer;
    timer.start();
    waitFor(seconds * 1000);
    const double rate = frames * 1000.0 / double(timer.elapsed());
    stream.stopNow();
    noise.animate(false);
    return rate;
}

void idleCost(const DisplayInfo& display, pid_t server, int seconds) {
    X11CaptureStream stream({}, display, configurationFor(QSizeF(960, 540), display.frame));
    int frames = 0;
    QObject::connect(&stream, &CaptureStream::frameCaptured, [&frames] { ++frames; });
    if (const auto error = stream.startNow()) {
        std::printf("  could not start the stream: %s\n", qPrintable(error->description));
        return;
    }
    waitFor(1000);
    frames = 0;
    const qint64 p0 = processCpuNs();
    const qint64 s0 = serverCpuNs(server);
    const auto threads0 = threadCpuByName();
    QElapsedTimer timer;
    timer.start();
    // Sleep rather than spin the event loop, so the figure is the stream's own.
    QThread::msleep(static_cast<unsigned long>(seconds) * 1000);
    QCoreApplication::processEvents();
    const double elapsedS = double(timer.elapsed()) / 1000.0;
    const double processMsPerS = double(processCpuNs() - p0) / 1e6 / elapsedS;
    const double serverMsPerS = double(serverCpuNs(server) - s0) / 1e6 / elapsedS;
    const auto threads1 = threadCpuByName();
    const auto captureThread = [&](const std::map<std::string, qint64>& m) {
        const auto it = m.find("oculo-capture");
        return it == m.end() ? 0 : it->second;
    };
    const double captureMsPerS =
        double(captureThread(threads1) - captureThread(threads0)) / 1e6 / elapsedS;
    std::printf("  idle 960x540 stream, %d frames in %.1f s: capture thread %.3f ms/s + X server "
                "%.3f ms/s = %.3f ms CPU per second\n"
                "  (whole bench process %.3f ms/s, which includes its own GUI thread and the "
                "reading of these counters)\n",
                frames, elapsedS, captureMsPerS, serverMsPerS, captureMsPerS + serverMsPerS,
                processMsPerS);
    stream.stopNow();
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        if (qstrcmp(argv[i], "--quick") == 0) {
            options = Options{true, 30, 2, 1};
        }
    }

    test::XvfbSession::Options serverOptions;
    serverOptions.width = 1920;
    serverOptions.height = 1080;
    test::XvfbSession xserver(serverOptions);
    if (!xserver.isRunning()) {
        std::fprintf(stderr, "capture_bench: %s\n", qPrintable(xserver.errorString()));
        return 1;
    }
    qputenv("DISPLAY", xserver.display().toLocal8Bit());
    qputenv("QT_QPA_PLATFORM", "xcb");
    qunsetenv("WAYLAND_DISPLAY");
    QGuiApplication app(argc, argv);

    const pid_t server = findServerPid();
    const DisplayQueryResult displays = X11DisplaySource().queryDisplaysNow();
    if (server <= 0 || displays.displays.isEmpty()) {
        std::fprintf(stderr, "capture_bench: no X server process or no display\n");
        return 1;
    }
    const DisplayInfo display = displays.displays.first();

    // Noise over the largest captured rectangle (960 x 540 in the middle) and a margin.
    NoiseWindow noise(QRect(QPoint(0, 0), QSize(1000, 580))
                          .translated(int(display.frame.width() - 1000) / 2,
                                      int(display.frame.height() - 580) / 2));
    noise.show();
    waitFor(500);

    std::printf("capture_bench%s on Xvfb %s (%dx%d), pointer drawn in\n",
                options.quick ? " --quick" : "", qPrintable(xserver.display()),
                int(display.frame.width()), int(display.frame.height()));
    std::printf("CPU per frame (grab + pointer + 2x enlargement), median / 95th percentile, %d "
                "frames each.\n",
                options.framesPerSize);
    std::printf("  client: thread CPU clock of the grabbing thread; server: Xvfb's run time "
                "from /proc/<pid>/schedstat\n  (ns resolution; /proc/<pid>/stat utime+stime "
                "count 10 ms ticks, too coarse for one frame).\n");
    const QList<QSizeF> sizes{QSizeF(200, 165), QSizeF(400, 300), QSizeF(960, 540)};
    bool ok = true;
    for (const QSizeF& size : sizes) {
        ok = measurePerFrame(display, server, size, true, options) && ok;
    }
    for (const QSizeF& size : sizes) {
        ok = measurePerFrame(display, server, size, false, options) && ok;
    }

    std::printf("Picture options, client CPU per frame (median / 95th percentile), MIT-SHM:\n");
    ok = measurePictureOptions(display, options) && ok;

    std::printf(
        "Sustained frame rate while noise under the rectangle changes every 15 ms (%d s each):\n",
        options.rateSeconds);
    for (const QSizeF& size : sizes) {
        std::printf("  %4.0fx%-4.0f %.1f frames/s\n", size.width(), size.height(),
                    sustainedRate(display, noise, size, options.rateSeconds));
    }

    std::printf("Idle stream over a static screen, pointer at rest (%d s):\n", options.idleSeconds);
    idleCost(display, server, options.idleSeconds);
    std::printf("Targets: 200x165 < 0.2 ms and 960x540 < 1.5 ms per frame (median, client + "
                "server); 30 frames/s at 960x540; idle < 0.5 ms CPU per second.\n");
    return ok ? 0 : 1;
}
