// Measures one magnifier on the headless Wayland desktop of bench/wayland_bench:
//   wayland_bench_probe NAME PROGRAM [ARGS...]
// starts PROGRAM over a full-screen cell pattern, finds its picture on screen,
// then measures (1) the frames per second and CPU while the pointer rests
// beside the magnifier, so that it sees part of itself, (2) while the pointer
// moves every 100 ms, the CPU per frame shown, frames per second and the time
// from each move to the first screen showing the new spot in the middle of the
// picture. CPU is the program's own (all its threads), from /proc.

#include "WaylandProbe.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QProcess>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

using oculo::test::MutterDesktop;

namespace {

constexpr int moves = 40;
constexpr int moveIntervalMs = 100;
constexpr int restMs = 4000;

// Nanoseconds the process's threads spent on a CPU.
qint64 cpuNs(qint64 pid) {
    qint64 total = 0;
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    const auto names = tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& task : names) {
        QFile stat(tasks.filePath(task + QStringLiteral("/schedstat")));
        if (stat.open(QIODevice::ReadOnly)) {
            total += stat.readAll().split(' ').value(0).toLongLong();
        }
    }
    return total;
}

void waitUntil(const std::function<bool()>& done, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < timeoutMs) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return -1;
    }
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, std::size_t(p * double(values.size())))];
}

} // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() < 3) {
        std::fprintf(stderr, "usage: wayland_bench_probe NAME PROGRAM [ARGS...]\n");
        return 2;
    }
    const QString name = arguments.at(1);
    oculo::test::CellPattern pattern;
    pattern.showCovering();
    MutterDesktop desktop;
    QString error;
    if (!desktop.open(&error)) {
        std::fprintf(stderr, "%s: %s\n", qPrintable(name), qPrintable(error));
        return 1;
    }
    waitUntil([&] { return desktop.showsPatternInPlace(); }, 30000);
    desktop.movePointer({1700, 950}); // a headless mutter has no pointer image before
    QProcess program;
    program.setStandardOutputFile(QProcess::nullDevice());
    program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    program.start(arguments.at(2), arguments.mid(3));
    desktop.movePointer({1700, 950});
    waitUntil([&] { return !desktop.magnifiedArea().isEmpty(); }, 60000);
    const QRect window = desktop.magnifiedArea();
    if (window.isEmpty() || !program.waitForStarted()) {
        std::fprintf(stderr, "%s: no magnified picture on screen\n", qPrintable(name));
        return 1;
    }
    const qint64 pid = program.processId();
    const bool leftIsWider = window.left() > 1919 - window.right();
    const int bandLeft = leftIsWider ? 60 : window.right() + 60;

    // At rest with part of itself in view.
    const QPoint beside(leftIsWider ? window.left() - 60 : window.right() + 60,
                        window.center().y());
    desktop.movePointer(beside);
    waitUntil([&] { return desktop.quietForMs() > 1000; }, 5000);
    quint64 pictures = desktop.pictures();
    qint64 cpu = cpuNs(pid);
    waitUntil([] { return false; }, restMs);
    const double restFps = double(desktop.pictures() - pictures) * 1000.0 / restMs;
    const double restCpuMsPerSecond = double(cpuNs(pid) - cpu) / 1e6 / (restMs / 1000.0);

    // Following.
    // A picture may show a move some moves late; it settles that move and
    // every one before it.
    std::vector<double> latencies;
    std::vector<std::pair<QPoint, qint64>> unseen; // target, when moved (ns)
    QElapsedTimer clock;
    clock.start();
    QObject::connect(&desktop, &MutterDesktop::pictureArrived, &app, [&] {
        const auto shown = desktop.shownAt(desktop.magnifiedArea());
        for (std::size_t i = 0; shown && i < unseen.size(); ++i) {
            if ((*shown - unseen[i].first).manhattanLength() <= 10) {
                latencies.push_back(double(clock.nsecsElapsed() - unseen[i].second) / 1e6);
                unseen.erase(unseen.begin(), unseen.begin() + qsizetype(i) + 1);
                break;
            }
        }
    });
    desktop.movePointer({bandLeft, 300});
    waitUntil([&] { return desktop.quietForMs() > 1000; }, 5000);
    pictures = desktop.pictures();
    cpu = cpuNs(pid);
    QElapsedTimer phase;
    phase.start();
    for (int i = 1; i <= moves; ++i) {
        const QPoint target(bandLeft + (i * 29) % 400, 300 + (i * 17) % 500);
        unseen.emplace_back(target, clock.nsecsElapsed());
        desktop.movePointer(target);
        waitUntil([] { return false; }, moveIntervalMs);
    }
    waitUntil([] { return false; }, 500);
    const double seconds = double(phase.elapsed()) / 1000.0;
    const quint64 shown = desktop.pictures() - pictures;
    const double cpuMs = double(cpuNs(pid) - cpu) / 1e6;
    program.terminate();
    if (!program.waitForFinished(5000)) {
        program.kill();
        program.waitForFinished();
    }
    std::printf("%-10s CPU per frame %.2f ms (%llu frames), %.1f frames/s following, "
                "at rest beside itself %.1f frames/s and %.1f ms CPU/s, move to picture "
                "median %.0f ms, p90 %.0f ms (%zu of %d moves seen)\n",
                qPrintable(name), shown > 0 ? cpuMs / double(shown) : -1.0,
                static_cast<unsigned long long>(shown), double(shown) / seconds, restFps,
                restCpuMsPerSecond, percentile(latencies, 0.5), percentile(latencies, 0.9),
                latencies.size(), moves);
    return 0;
}
