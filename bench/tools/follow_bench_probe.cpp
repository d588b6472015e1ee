// Drives and measures one run of follow_bench on a prepared X server (see
// bench/follow_bench): starts oculo, moves the pointer with XTest over the
// scene, and prints CPU per second of oculo and of the X server, frames shown
// per second, peak memory and the pointer-to-pixels latency. Then runs each
// peer magnifier over the same scene and pointer path and prints the CPU per
// frame shown side by side, and oculo again with each picture option on
// (filter, smooth scaling, crosshair, all of them), seeded into its settings,
// all of them with the controls shown, and each in a large window.
//
// Usage: follow_bench_probe --oculo PATH --server-pid PID --scene-pid PID
//                           [--seconds S] [--baseline-seconds S] [--latency-samples N]
//                           [--warp-samples N] [--big-frame X,Y,WIDTH,HEIGHT]
//                           [--peer 'NAME|TITLE PREFIX|COMMAND']...

#include "X11Probe.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <map>
#include <numbers>
#include <optional>
#include <thread>
#include <tuple>
#include <unistd.h>
#include <vector>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// The scene (follow_bench_scene) is 510 x 300 at the top-left corner, red = x / 2.
constexpr QPoint sceneRestPoint{255, 150};

// Another magnifier measured beside oculo: started with `sh -c "exec COMMAND"`,
// its window found by the start of its title.
struct Peer {
    QString name;
    QString titlePrefix;
    QString command;
};

struct Options {
    QString oculo;
    pid_t serverPid = 0;
    pid_t scenePid = 0;
    double seconds = 20;
    double baselineSeconds = 20;
    int latencySamples = 40;
    int warpSamples = 20;
    QRect bigFrame; // the large window's frame; none leaves those phases out
    std::vector<Peer> peers;
};

std::optional<Options> parseOptions(const QStringList& arguments) {
    Options options;
    for (qsizetype i = 1; i + 1 < arguments.size(); i += 2) {
        const QString& name = arguments.at(i);
        const QString& value = arguments.at(i + 1);
        if (name == QLatin1String("--oculo")) {
            options.oculo = value;
        } else if (name == QLatin1String("--server-pid")) {
            options.serverPid = value.toInt();
        } else if (name == QLatin1String("--scene-pid")) {
            options.scenePid = value.toInt();
        } else if (name == QLatin1String("--seconds")) {
            options.seconds = value.toDouble();
        } else if (name == QLatin1String("--baseline-seconds")) {
            options.baselineSeconds = value.toDouble();
        } else if (name == QLatin1String("--latency-samples")) {
            options.latencySamples = value.toInt();
        } else if (name == QLatin1String("--warp-samples")) {
            options.warpSamples = value.toInt();
        } else if (name == QLatin1String("--big-frame")) {
            const QStringList sides = value.split(QLatin1Char(','));
            if (sides.size() != 4) {
                return std::nullopt;
            }
            options.bigFrame =
                QRect(sides[0].toInt(), sides[1].toInt(), sides[2].toInt(), sides[3].toInt());
        } else if (name == QLatin1String("--peer")) {
            const QStringList parts = value.split(QLatin1Char('|'));
            if (parts.size() != 3) {
                return std::nullopt;
            }
            options.peers.push_back({parts.at(0), parts.at(1), parts.at(2)});
        } else {
            return std::nullopt;
        }
    }
    if (options.oculo.isEmpty() || options.serverPid <= 0 || options.scenePid <= 0 ||
        options.seconds <= 0) {
        return std::nullopt;
    }
    return options;
}

// CPU time of a whole process (its live threads), in milliseconds, from the
// scheduler's nanosecond counts: the clock ticks of /proc/PID/stat (10 ms)
// cannot resolve a cost of under 1 ms/s. Falls back to the ticks.
std::optional<double> cpuMilliseconds(pid_t pid) {
    const QString taskDir = QStringLiteral("/proc/%1/task").arg(pid);
    double nanoseconds = 0;
    bool found = false;
    for (const QString& tid : QDir(taskDir).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile schedstat(taskDir + QLatin1Char('/') + tid + QStringLiteral("/schedstat"));
        if (schedstat.open(QIODevice::ReadOnly)) {
            nanoseconds += schedstat.readAll().split(' ').first().toDouble();
            found = true;
        }
    }
    if (found) {
        return nanoseconds / 1e6;
    }
    QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!file.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    const QByteArray stat = file.readAll();
    // The command name may hold spaces; the fields after it start with the state.
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13) {
        return std::nullopt;
    }
    const double ticks = fields.at(11).toDouble() + fields.at(12).toDouble();
    return ticks * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// CPU milliseconds of each thread of a process, summed by thread name.
std::map<QString, double> threadCpuMilliseconds(pid_t pid) {
    std::map<QString, double> byName;
    const QString taskDir = QStringLiteral("/proc/%1/task").arg(pid);
    const QStringList tids = QDir(taskDir).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& tid : tids) {
        QFile file(taskDir + QLatin1Char('/') + tid + QStringLiteral("/stat"));
        if (!file.open(QIODevice::ReadOnly)) {
            continue;
        }
        const QByteArray stat = file.readAll();
        const qsizetype open = stat.indexOf('(');
        const qsizetype close = stat.lastIndexOf(')');
        const QList<QByteArray> fields = stat.mid(close + 2).split(' ');
        if (open < 0 || fields.size() < 13) {
            continue;
        }
        const double ticks = fields.at(11).toDouble() + fields.at(12).toDouble();
        byName[QString::fromUtf8(stat.mid(open + 1, close - open - 1))] +=
            ticks * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
    }
    return byName;
}

// Peak resident set size (VmHWM) in megabytes.
std::optional<double> peakResidentMegabytes(pid_t pid) {
    QFile file(QStringLiteral("/proc/%1/status").arg(pid));
    if (!file.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (line.startsWith("VmHWM:")) {
            return line.mid(6).trimmed().split(' ').first().toDouble() / 1024.0;
        }
    }
    return std::nullopt;
}

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A smooth path over the scene that keeps a 200 x 150 capture inside it.
QPoint pointerPathAt(double t) {
    constexpr double tau = 2 * std::numbers::pi;
    return {static_cast<int>(std::lround(255 + 140 * std::sin(tau * t / 3.1))),
            static_cast<int>(std::lround(150 + 60 * std::sin(tau * t / 1.7)))};
}

struct PhaseFigures {
    std::optional<double> oculoMsPerSecond;
    std::optional<double> serverMsPerSecond;
    std::optional<double> framesPerSecond;
    QString oculoThreads; // the busiest threads, in ms/s
};

class FollowBench {
public:
    FollowBench(const Options& options, oculo::probe::X11Probe& probe)
        : m_options(options)
        , m_probe(probe) {}

    // Measures for `seconds` with the pointer following the path or parked.
    // The program measured is the one started last (oculo or a peer).
    PhaseFigures measure(double seconds, bool pointerMoving) {
        const auto oculoStart = m_subjectPid > 0 ? cpuMilliseconds(m_subjectPid) : std::nullopt;
        const auto serverStart = cpuMilliseconds(m_options.serverPid);
        const auto threadsStart = threadCpuMilliseconds(m_subjectPid);
        m_probe.takeRepaintCount();
        const auto start = Clock::now();
        auto nextMove = start;
        while (secondsSince(start) < seconds) {
            if (pointerMoving && Clock::now() >= nextMove) {
                m_probe.movePointer(pointerPathAt(secondsSince(start)));
                nextMove += 10ms;
            }
            const auto wait = pointerMoving ? nextMove - Clock::now() : 50ms;
            m_probe.waitForRepaint(static_cast<int>(std::max<long>(
                0, std::chrono::duration_cast<std::chrono::milliseconds>(wait).count())));
        }
        const double elapsed = secondsSince(start);
        PhaseFigures figures;
        const auto oculoEnd = m_subjectPid > 0 ? cpuMilliseconds(m_subjectPid) : std::nullopt;
        const auto serverEnd = cpuMilliseconds(m_options.serverPid);
        if (oculoStart && oculoEnd) {
            figures.oculoMsPerSecond = (*oculoEnd - *oculoStart) / elapsed;
            figures.framesPerSecond = m_probe.takeRepaintCount() / elapsed;
        }
        std::vector<std::pair<double, QString>> threads;
        for (const auto& [name, milliseconds] : threadCpuMilliseconds(m_subjectPid)) {
            const auto before = threadsStart.find(name);
            const double spent =
                milliseconds - (before == threadsStart.end() ? 0.0 : before->second);
            if (spent > 0) {
                threads.emplace_back(spent / elapsed, name);
            }
        }
        std::sort(threads.rbegin(), threads.rend());
        for (size_t i = 0; i < std::min<size_t>(threads.size(), 4); ++i) {
            figures.oculoThreads += QStringLiteral("%1%2 %3")
                                        .arg(i == 0 ? QString() : QStringLiteral(", "))
                                        .arg(threads[i].second)
                                        .arg(threads[i].first, 0, 'f', 1);
        }
        if (serverStart && serverEnd) {
            figures.serverMsPerSecond = (*serverEnd - *serverStart) / elapsed;
        }
        return figures;
    }

    bool startOculo() {
        m_process.setProgram(m_options.oculo);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), m_config.path());
        m_process.setProcessEnvironment(environment);
        m_process.setProcessChannelMode(QProcess::ForwardedChannels);
        m_process.start();
        if (!m_process.waitForStarted(10000)) {
            return false;
        }
        m_oculoPid = static_cast<pid_t>(m_process.processId());
        m_subjectPid = m_oculoPid;
        const auto start = Clock::now();
        while (secondsSince(start) < 30 && m_process.state() == QProcess::Running) {
            if (const uint32_t window = m_probe.findWindow(m_oculoPid, QStringLiteral("Oculo"))) {
                m_magnifier = window;
                return m_probe.watchRepaints(window);
            }
            std::this_thread::sleep_for(100ms);
        }
        return false;
    }

    // Sets `values` in the settings oculo reads at its next start, keeping the
    // rest of what it saved.
    bool seedSettings(const QJsonObject& values) {
        const QString folder = m_config.path() + QStringLiteral("/Oculo");
        QFile file(folder + QStringLiteral("/settings.json"));
        QJsonObject settings;
        if (file.open(QIODevice::ReadOnly)) {
            settings = QJsonDocument::fromJson(file.readAll()).object();
            file.close();
        }
        for (auto it = values.begin(); it != values.end(); ++it) {
            settings.insert(it.key(), it.value());
        }
        const QByteArray data = QJsonDocument(settings).toJson();
        return QDir().mkpath(folder) && file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
               file.write(data) == data.size();
    }

    QRect magnifierRect() const { return m_probe.rootGeometry(m_magnifier); }

    // The screen x shown at the magnifier's centre column, read from the
    // scene's gradient above the middle, away from the pointer and controls.
    std::optional<int> shownX() const {
        const QRect rect = magnifierRect();
        const QImage strip = m_probe.grab(QRect(rect.center().x() - 2, rect.top() + 20, 5, 1));
        if (strip.width() != 5) {
            return std::nullopt;
        }
        int red = 0;
        for (int x = 0; x < 5; ++x) {
            const QRgb pixel = strip.pixel(x, 0);
            if (qGreen(pixel) > 40) { // not the scene (it has no green)
                return std::nullopt;
            }
            red += qRed(pixel);
        }
        return (red * 2 + 2) / 5 + 1;
    }

    bool waitUntilShowing(int x, std::chrono::milliseconds timeout) {
        const auto deadline = Clock::now() + timeout;
        while (Clock::now() < deadline) {
            const auto shown = shownX();
            if (shown && std::abs(*shown - x) <= 6) {
                return true;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            m_probe.waitForRepaint(static_cast<int>(std::max<long>(1, left.count())));
        }
        return false;
    }

    // Milliseconds from each pointer jump to the first repaint showing it.
    // `warp` jumps as a program does (no raw motion); each jump follows a
    // rest of `restMs` plus up to 120 ms.
    std::vector<double> measureLatency(int samples, int& misses, bool warp = false,
                                       int restMs = 60) {
        std::vector<double> latencies;
        QRandomGenerator random(20261206);
        int x = sceneRestPoint.x();
        for (int i = 0; i < samples; ++i) {
            int target = x;
            while (std::abs(target - x) < 50) {
                target = random.bounded(130, 381);
            }
            x = target;
            m_probe.takeRepaintCount();
            if (warp) {
                m_probe.warpPointer({x, sceneRestPoint.y()});
            } else {
                m_probe.movePointer({x, sceneRestPoint.y()});
            }
            const auto start = Clock::now();
            if (waitUntilShowing(x, 1000ms)) {
                latencies.push_back(secondsSince(start) * 1000);
            } else {
                ++misses;
            }
            // Uneven pauses so the moves do not lock onto oculo's own timers.
            std::this_thread::sleep_for(std::chrono::milliseconds(restMs + random.bounded(0, 120)));
        }
        return latencies;
    }

    std::optional<double> peakMemory() const { return peakResidentMegabytes(m_oculoPid); }

    // Runs `peer` over the scene while the pointer follows the same path as
    // for oculo; empty figures with `error` set when it never showed a frame.
    PhaseFigures measurePeer(const Peer& peer, double seconds, QString* error) {
        QProcess process;
        process.setProgram(QStringLiteral("/bin/sh"));
        process.setArguments({QStringLiteral("-c"), QStringLiteral("exec ") + peer.command});
        process.setProcessChannelMode(QProcess::MergedChannels); // shown only on failure
        m_probe.movePointer(sceneRestPoint);
        process.start();
        if (!process.waitForStarted(10000)) {
            *error = QStringLiteral("could not start it: %1").arg(process.errorString());
            return {};
        }
        m_subjectPid = static_cast<pid_t>(process.processId());
        PhaseFigures figures;
        const auto start = Clock::now();
        uint32_t window = 0;
        while (window == 0 && secondsSince(start) < 30 && process.state() == QProcess::Running) {
            window = m_probe.findWindowTitled(peer.titlePrefix);
            if (window == 0) {
                std::this_thread::sleep_for(100ms);
            }
        }
        if (window == 0) {
            *error = QStringLiteral("no window titled \"%1...\" appeared").arg(peer.titlePrefix);
        } else if (!m_probe.watchRepaints(window) || !m_probe.waitForRepaint(10000)) {
            *error = QStringLiteral("its window never repainted");
        } else {
            std::this_thread::sleep_for(1s);
            figures = measure(seconds, true);
        }
        process.terminate();
        if (!process.waitForFinished(5000)) {
            process.kill();
            process.waitForFinished(5000);
        }
        if (!error->isEmpty()) {
            *error += QStringLiteral("; its last output: ") +
                      QString::fromLocal8Bit(process.readAll().right(400)).trimmed();
        }
        m_subjectPid = 0;
        return figures;
    }

    QString stopOculo() {
        if (m_process.state() == QProcess::NotRunning) {
            return QStringLiteral("oculo had already ended (exit code %1)")
                .arg(m_process.exitCode());
        }
        m_process.terminate();
        if (!m_process.waitForFinished(5000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
            return QStringLiteral("oculo ignored SIGTERM for 5 s and was killed");
        }
        return m_process.exitStatus() == QProcess::NormalExit
                   ? QStringLiteral("oculo exited with code %1 on SIGTERM")
                         .arg(m_process.exitCode())
                   : QStringLiteral("oculo ended by SIGTERM");
    }

private:
    Options m_options;
    oculo::probe::X11Probe& m_probe;
    QTemporaryDir m_config;
    QProcess m_process;
    pid_t m_oculoPid = 0;
    pid_t m_subjectPid = 0;
    uint32_t m_magnifier = 0;
};

QString figure(const std::optional<double>& value, int precision = 2) {
    return value ? QString::number(*value, 'f', precision) : QStringLiteral("-");
}

void printRow(const char* name, const PhaseFigures& figures) {
    std::printf("  %-48s %12s %16s %11s\n", name, qPrintable(figure(figures.oculoMsPerSecond)),
                qPrintable(figure(figures.serverMsPerSecond)),
                qPrintable(figure(figures.framesPerSecond)));
}

QString loadAverage() {
    QFile file(QStringLiteral("/proc/loadavg"));
    if (!file.open(QIODevice::ReadOnly)) {
        return QStringLiteral("unknown");
    }
    return QString::fromLatin1(file.readAll().split(' ').mid(0, 3).join(' '));
}

// CPU per frame shown: the program's own, and what it added to the X server
// beyond the scene alone.
struct FrameCost {
    double framesPerSecond = 0;
    double own = 0;
    double server = 0;
    double both() const { return own + server; }
};

std::optional<FrameCost> frameCost(const PhaseFigures& figures, const PhaseFigures& baseline) {
    if (!figures.oculoMsPerSecond || !figures.serverMsPerSecond || !figures.framesPerSecond ||
        !baseline.serverMsPerSecond || *figures.framesPerSecond < 1) {
        return std::nullopt;
    }
    const double fps = *figures.framesPerSecond;
    return FrameCost{fps, *figures.oculoMsPerSecond / fps,
                     std::max(0.0, *figures.serverMsPerSecond - *baseline.serverMsPerSecond) / fps};
}

// The scene-only figures of two phases, the X server's averaged.
PhaseFigures averageServer(const PhaseFigures& before, const PhaseFigures& after) {
    PhaseFigures average = before;
    if (before.serverMsPerSecond && after.serverMsPerSecond) {
        average.serverMsPerSecond = (*before.serverMsPerSecond + *after.serverMsPerSecond) / 2;
    }
    return average;
}

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    const auto index = static_cast<size_t>(std::lround(p * static_cast<double>(values.size() - 1)));
    return values.at(index);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const auto options = parseOptions(QCoreApplication::arguments());
    if (!options) {
        std::fprintf(stderr, "usage: follow_bench_probe --oculo PATH --server-pid PID --scene-pid "
                             "PID [--seconds S] [--baseline-seconds S] [--latency-samples N] "
                             "[--warp-samples N] [--big-frame X,Y,WIDTH,HEIGHT] [--peer ...]\n");
        return 2;
    }
    oculo::probe::X11Probe probe;
    if (!probe.isConnected()) {
        std::fprintf(stderr, "follow_bench: %s\n", qPrintable(probe.errorString()));
        return 1;
    }
    const auto sceneStart = Clock::now();
    while (probe.findWindow(options->scenePid) == 0) {
        if (secondsSince(sceneStart) > 10) {
            std::fprintf(stderr, "follow_bench: the scene window did not appear\n");
            return 1;
        }
        std::this_thread::sleep_for(100ms);
    }

    FollowBench bench(*options, probe);
    const QString loadAtStart = loadAverage();
    std::fprintf(stderr, "follow_bench: baseline, %.0f s\n", options->baselineSeconds);
    const PhaseFigures baseline = bench.measure(options->baselineSeconds, true);

    probe.movePointer(sceneRestPoint);
    if (!bench.startOculo()) {
        std::fprintf(stderr, "follow_bench: no magnifier window titled \"Oculo\" appeared\n");
        std::printf("follow_bench: %s\n", qPrintable(bench.stopOculo()));
        return 1;
    }
    if (!bench.waitUntilShowing(sceneRestPoint.x(), 10000ms)) {
        const auto shown = bench.shownX();
        std::fprintf(stderr,
                     "follow_bench: the magnifier never showed the scene under the pointer "
                     "(its centre shows %s)\n",
                     shown ? qPrintable(QStringLiteral("x = %1").arg(*shown)) : "something else");
        std::printf("follow_bench: %s\n", qPrintable(bench.stopOculo()));
        return 1;
    }
    // Read once it shows the scene: the window is found as soon as it exists,
    // possibly before it has its saved size (a one-off 799x599 reading).
    const QRect magnifier = bench.magnifierRect();
    std::this_thread::sleep_for(1s);

    // A new window shows its controls until the pointer has been over it once.
    std::fprintf(stderr, "follow_bench: following the pointer, controls shown, %.0f s\n",
                 options->seconds);
    const PhaseFigures followingFresh = bench.measure(options->seconds, true);
    probe.movePointer(magnifier.center());
    std::this_thread::sleep_for(500ms);
    probe.movePointer(sceneRestPoint);
    std::this_thread::sleep_for(1s);

    std::fprintf(stderr, "follow_bench: following the pointer, %.0f s\n", options->seconds);
    const PhaseFigures following = bench.measure(options->seconds, true);
    probe.movePointer(sceneRestPoint);
    std::this_thread::sleep_for(1s);
    std::fprintf(stderr, "follow_bench: pointer at rest, %.0f s\n", options->seconds);
    const PhaseFigures restChanging = bench.measure(options->seconds, false);

    // A stopped scene leaves its last picture on the screen: a still screen.
    kill(options->scenePid, SIGSTOP);
    std::this_thread::sleep_for(1s);
    std::fprintf(stderr, "follow_bench: pointer at rest over a still screen, %.0f s\n",
                 options->seconds);
    const PhaseFigures restStill = bench.measure(options->seconds, false);
    kill(options->scenePid, SIGCONT);

    std::fprintf(stderr, "follow_bench: latency, %d jumps\n", options->latencySamples);
    int misses = 0;
    const std::vector<double> latencies = bench.measureLatency(options->latencySamples, misses);
    // Programs warp the pointer (window managers, scripts, accessibility
    // tools); after a long rest the tracker samples slowly.
    std::fprintf(stderr, "follow_bench: warps after short and long rests, %d jumps each\n",
                 options->warpSamples);
    int shortMisses = 0;
    int longMisses = 0;
    const std::vector<double> warpsShort =
        bench.measureLatency(options->warpSamples, shortMisses, true, 60);
    const std::vector<double> warpsLong =
        bench.measureLatency(options->warpSamples, longMisses, true, 2000);
    const auto peak = bench.peakMemory();
    const QString ending = bench.stopOculo();

    // Each picture option in a fresh start; the controls are hidden first, as
    // in "following", unless the phase is about them. A filter changes the
    // colours shownX() reads, so the start is given a fixed time instead.
    const QJsonObject everythingOn{
        {QStringLiteral("oculo.colorFilter"), QStringLiteral("invertLightness")},
        {QStringLiteral("oculo.smoothing"), QStringLiteral("smooth")},
        {QStringLiteral("oculo.crosshair"), true}};
    const QJsonObject everythingOff{{QStringLiteral("oculo.colorFilter"), QStringLiteral("none")},
                                    {QStringLiteral("oculo.smoothing"), QStringLiteral("pixels")},
                                    {QStringLiteral("oculo.crosshair"), false}};
    QRect bigMagnifier;
    const auto measureOption = [&](const QString& name, const QJsonObject& values,
                                   bool hideControls) -> std::optional<PhaseFigures> {
        std::fprintf(stderr, "follow_bench: following, %s, %.0f s\n", qPrintable(name),
                     options->seconds);
        probe.movePointer(sceneRestPoint);
        if (!bench.seedSettings(values) || !bench.startOculo()) {
            std::fprintf(stderr, "follow_bench: oculo did not start with %s\n", qPrintable(name));
            bench.stopOculo();
            return std::nullopt;
        }
        std::this_thread::sleep_for(2s);
        if (hideControls) {
            probe.movePointer(bench.magnifierRect().center());
            std::this_thread::sleep_for(500ms);
            probe.movePointer(sceneRestPoint);
        }
        std::this_thread::sleep_for(1s);
        if (values.contains(QStringLiteral("oculo.windowFrame.width"))) {
            bigMagnifier = bench.magnifierRect();
        }
        const PhaseFigures figures = bench.measure(options->seconds, true);
        bench.stopOculo();
        bench.seedSettings(everythingOff);
        return figures;
    };
    std::vector<std::pair<QString, PhaseFigures>> optionPhases;
    for (const auto& [name, values] : std::vector<std::pair<QString, QJsonObject>>{
             {QStringLiteral("invert lightness"),
              {{QStringLiteral("oculo.colorFilter"), QStringLiteral("invertLightness")}}},
             {QStringLiteral("smooth"),
              {{QStringLiteral("oculo.smoothing"), QStringLiteral("smooth")}}},
             {QStringLiteral("crosshair"), {{QStringLiteral("oculo.crosshair"), true}}},
             {QStringLiteral("everything on"), everythingOn}}) {
        if (const auto figures = measureOption(name, values, true)) {
            optionPhases.emplace_back(name, *figures);
        }
    }
    const auto controlsOn =
        measureOption(QStringLiteral("new window (controls), everything on"), everythingOn, false);

    // The cost grows with the pixels shown: the same options in a large window,
    // its frame seeded where the picture never shows the window itself.
    std::vector<std::pair<QString, PhaseFigures>> bigPhases;
    if (options->bigFrame.isValid()) {
        QJsonObject frame;
        const QRect& big = options->bigFrame;
        const std::pair<const char*, int> sides[] = {
            {"x", big.x()}, {"y", big.y()}, {"width", big.width()}, {"height", big.height()}};
        for (const auto& [key, side] : sides) {
            frame.insert(QStringLiteral("oculo.windowFrame.") + QLatin1String(key), side);
        }
        const auto framed = [&frame](const QJsonObject& values) {
            QJsonObject all = frame;
            for (auto it = values.begin(); it != values.end(); ++it) {
                all.insert(it.key(), it.value());
            }
            return all;
        };
        const QJsonObject all = framed(everythingOn);
        for (const auto& [name, values, hide] :
             {std::tuple{QStringLiteral("everything off"), frame, true},
              std::tuple{QStringLiteral("invert lightness"),
                         framed({{QStringLiteral("oculo.colorFilter"),
                                  QStringLiteral("invertLightness")}}),
                         true},
              std::tuple{QStringLiteral("smooth"),
                         framed({{QStringLiteral("oculo.smoothing"), QStringLiteral("smooth")}}),
                         true},
              std::tuple{QStringLiteral("crosshair"),
                         framed({{QStringLiteral("oculo.crosshair"), true}}), true},
              std::tuple{QStringLiteral("everything on"), all, true},
              std::tuple{QStringLiteral("controls shown, everything on"), all, false}}) {
            if (const auto figures = measureOption(
                    QStringLiteral("%1x%2 window, ").arg(big.width()).arg(big.height()) + name,
                    values, hide)) {
                bigPhases.emplace_back(name, *figures);
            }
        }
    }

    // The peers follow the same path over the same scene, one after the other.
    // The scene's own X server cost drifts over minutes, so each program is
    // measured against scene-only phases just before and just after it.
    std::vector<PhaseFigures> sceneOnly{baseline};
    const auto measureSceneOnly = [&] {
        std::fprintf(stderr, "follow_bench: scene only, %.0f s\n", options->baselineSeconds);
        sceneOnly.push_back(bench.measure(options->baselineSeconds, true));
    };
    std::vector<std::tuple<QString, PhaseFigures, QString>> peers;
    for (const Peer& peer : options->peers) {
        measureSceneOnly();
        std::fprintf(stderr, "follow_bench: %s following the pointer, %.0f s\n",
                     qPrintable(peer.name), options->seconds);
        QString error;
        const PhaseFigures figures = bench.measurePeer(peer, options->seconds, &error);
        peers.emplace_back(peer.name, figures, error);
    }
    measureSceneOnly();
    const QString loadAtEnd = loadAverage();
    // Oculo is bracketed by the first two, peer i by the next ones.
    const auto sceneAround = [&sceneOnly](size_t program) {
        return averageServer(sceneOnly.at(program), sceneOnly.at(program + 1));
    };
    const PhaseFigures oculoScene = sceneAround(0);

    std::printf("follow_bench: magnifier %dx%d at (%d, %d) on a %dx%d Xvfb, zoom 2 (fresh "
                "settings), scene repainted 30 times a second\n",
                magnifier.width(), magnifier.height(), magnifier.x(), magnifier.y(),
                probe.screenSize().width(), probe.screenSize().height());
    std::printf("  %-48s %12s %16s %11s\n", "phase", "oculo ms/s", "X server ms/s", "frames/s");
    printRow("scene only, pointer moving", oculoScene);
    printRow("following, new window (controls)", followingFresh);
    printRow("following the pointer", following);
    printRow("pointer at rest, screen changing", restChanging);
    printRow("pointer at rest, screen still", restStill);
    for (const auto& [name, figures] : optionPhases) {
        printRow(qPrintable(QStringLiteral("following, ") + name), figures);
    }
    if (controlsOn) {
        printRow("following, new window (controls), everything on", *controlsOn);
    }
    for (const auto& [name, figures] : bigPhases) {
        printRow(qPrintable(QStringLiteral("following, large window, ") + name), figures);
    }
    for (const auto& [name, figures] :
         {std::pair{"following, new window", &followingFresh}, std::pair{"following", &following},
          std::pair{"at rest, changing", &restChanging}, std::pair{"at rest, still", &restStill}}) {
        if (!figures->oculoThreads.isEmpty()) {
            std::printf("  oculo threads, %s (ms/s): %s\n", name,
                        qPrintable(figures->oculoThreads));
        }
    }
    if (oculoScene.serverMsPerSecond && following.serverMsPerSecond) {
        std::printf("  X server CPU added by oculo while following: %.1f ms/s (following minus "
                    "scene only)\n",
                    *following.serverMsPerSecond - *oculoScene.serverMsPerSecond);
    }
    std::printf("  peak RSS of oculo (VmHWM): %s MB\n", qPrintable(figure(peak)));
    for (const auto& [name, values, missed] :
         {std::tuple{"latency pointer -> pixels", &latencies, misses},
          std::tuple{"warp after 60-180 ms rest -> pixels", &warpsShort, shortMisses},
          std::tuple{"warp after 2-2.1 s rest -> pixels", &warpsLong, longMisses}}) {
        if (values->empty()) {
            std::printf("  %s: no jump was shown within 1 s (%d jumps)\n", name, missed);
        } else {
            std::printf("  %s: median %.1f ms, min %.1f, p90 %.1f, max %.1f "
                        "(%zu jumps, %d not shown within 1 s)\n",
                        name, percentile(*values, 0.5), percentile(*values, 0),
                        percentile(*values, 0.9), percentile(*values, 1), values->size(), missed);
        }
    }
    std::printf("  targets: following < 10 ms/s oculo and < 10 ms/s X server at 30 fps; at rest "
                "over a still screen <= 1 ms/s each; peak RSS < 60 MB; latency < 70 ms; warps "
                "median <= 120 ms, p90 <= 200 ms\n");
    std::printf("  %s\n", qPrintable(ending));

    std::printf("following side by side, CPU per frame shown in ms (X server: beyond the scene "
                "alone); load average at the start %s, at the end %s\n",
                qPrintable(loadAtStart), qPrintable(loadAtEnd));
    QString sceneFigures;
    for (const PhaseFigures& figures : sceneOnly) {
        sceneFigures += (sceneFigures.isEmpty() ? QString() : QStringLiteral(", ")) +
                        figure(figures.serverMsPerSecond);
    }
    std::printf("  X server ms/s for the scene alone, before, between and after the programs: "
                "%s\n",
                qPrintable(sceneFigures));
    std::printf("  %-30s %9s %9s %10s %9s\n", "program", "frames/s", "own", "X server", "both");
    const auto oculoCost = frameCost(following, oculoScene);
    const auto printCost = [](const QString& name, const std::optional<FrameCost>& cost) {
        if (cost) {
            std::printf("  %-30s %9.1f %9.3f %10.3f %9.3f\n", qPrintable(name),
                        cost->framesPerSecond, cost->own, cost->server, cost->both());
        }
    };
    printCost(QStringLiteral("oculo"), oculoCost);
    std::vector<std::optional<FrameCost>> peerCosts;
    for (size_t i = 0; i < peers.size(); ++i) {
        const auto& [name, figures, error] = peers[i];
        peerCosts.push_back(frameCost(figures, sceneAround(i + 1)));
        if (!error.isEmpty()) {
            std::printf("  %-10s not measured: %s\n", qPrintable(name), qPrintable(error));
        } else if (!peerCosts.back()) {
            std::printf("  %-10s not measured: it showed no frames\n", qPrintable(name));
        }
        printCost(name, peerCosts.back());
    }
    for (size_t i = 0; i < peers.size(); ++i) {
        const QString& name = std::get<0>(peers[i]);
        const auto& peerCost = peerCosts[i];
        if (oculoCost && peerCost && peerCost->own > 0 && peerCost->both() > 0) {
            std::printf("  oculo / %s: own %.2f, with the X server %.2f\n", qPrintable(name),
                        oculoCost->own / peerCost->own, oculoCost->both() / peerCost->both());
        }
    }
    const auto printRatio = [](const QString& to, const std::optional<FrameCost>& cost,
                               const std::optional<FrameCost>& base) {
        if (cost && base && base->own > 0 && base->both() > 0) {
            std::printf("    / %s: own %.2f, with the X server %.2f\n", qPrintable(to),
                        cost->own / base->own, cost->both() / base->both());
        }
    };
    const auto printAgainstPeers = [&](const std::optional<FrameCost>& cost) {
        for (size_t i = 0; i < peers.size(); ++i) {
            printRatio(std::get<0>(peers[i]), cost, peerCosts[i]);
        }
    };
    std::optional<FrameCost> everythingOnCost;
    for (const auto& [option, figures] : optionPhases) {
        const auto cost = frameCost(figures, oculoScene);
        printCost(QStringLiteral("oculo, ") + option, cost);
        printRatio(QStringLiteral("everything off"), cost, oculoCost);
        printAgainstPeers(cost);
        if (option == QStringLiteral("everything on")) {
            everythingOnCost = cost;
        }
    }
    if (controlsOn) {
        const auto cost = frameCost(*controlsOn, oculoScene);
        printCost(QStringLiteral("oculo, controls, all on"), cost);
        printRatio(QStringLiteral("everything on, controls away"), cost, everythingOnCost);
        printAgainstPeers(cost);
    }
    if (!options->bigFrame.isValid()) {
        std::printf("  large window: not measured (--quick leaves it out)\n");
    } else if (!bigPhases.empty()) {
        std::printf("  in a %dx%d window at (%d, %d):\n", bigMagnifier.width(),
                    bigMagnifier.height(), bigMagnifier.x(), bigMagnifier.y());
    }
    const auto bigOffCost =
        bigPhases.empty() ? std::nullopt : frameCost(bigPhases.front().second, oculoScene);
    std::optional<FrameCost> bigOnCost;
    for (const auto& [option, figures] : bigPhases) {
        const auto cost = frameCost(figures, oculoScene);
        printCost(QStringLiteral("oculo large, ") + option, cost);
        if (option == QStringLiteral("everything on")) {
            bigOnCost = cost;
        }
        if (option.startsWith(QStringLiteral("controls"))) {
            printRatio(QStringLiteral("everything on, controls away, same window"), cost,
                       bigOnCost);
        } else if (option != bigPhases.front().first) {
            printRatio(QStringLiteral("everything off, same window"), cost, bigOffCost);
        }
        printAgainstPeers(cost);
    }
    std::printf("  targets against kmag: own <= 0.30, with the X server <= 0.50; each option "
                "<= 1.3 times everything off at the same size; controls shown <= 1.2 times away\n");
    return 0;
}
