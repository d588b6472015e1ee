#include "docking/DockBand.h"
#include "platform/x11/X11WindowManagerSource.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QScreen>
#include <QTest>
#include <QWidget>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <vector>

using namespace oculo;

namespace {

double cpuMs() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

// One push as the docking controller makes it; this process's windows count as
// another application's.
int push(WindowManagerSource& wm, const DockBand& band) {
    const auto moves = band.moves(wm.clientWindows(), -1);
    for (const DockBand::Move& move : moves) {
        wm.moveWindow(move.window, move.frameY);
    }
    return static_cast<int>(moves.size());
}

} // namespace

// Usage: dock_push_bench [windows] on an X display with an EWMH window manager.
// Prints the CPU time of one push that moves every window out of a bottom band,
// and of the pushes the 500 ms monitor makes once they are clear.
int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const int count = argc > 1 ? std::max(1, std::atoi(argv[1])) : 50;
    X11WindowManagerSource wm;
    std::vector<std::unique_ptr<QWidget>> windows;
    for (int i = 0; i < count; ++i) {
        auto& window = windows.emplace_back(std::make_unique<QWidget>());
        window->setGeometry(20 + 10 * i, 450 + 2 * i, 400, 200);
        window->show();
    }
    const bool listed = QTest::qWaitFor([&] { return wm.clientWindows().size() >= count; }, 20000);
    QTest::qWait(500);
    const QRectF screen(QApplication::primaryScreen()->geometry());
    const DockBand band(DockPosition::bottom,
                        QRectF(screen.left(), screen.bottom() - 200, screen.width(), 200), screen);

    double start = cpuMs();
    const int moved = push(wm, band);
    const double firstPush = cpuMs() - start;
    const bool cleared =
        QTest::qWaitFor([&] { return band.moves(wm.clientWindows(), -1).isEmpty(); }, 20000);
    constexpr int rounds = 100;
    start = cpuMs();
    for (int i = 0; i < rounds; ++i) {
        push(wm, band);
    }
    const double clearPush = (cpuMs() - start) / rounds;
    std::printf("windows %d listed %s moved %d cleared %s\n", count, listed ? "yes" : "no", moved,
                cleared ? "yes" : "no");
    std::printf("push moving them: %.3f ms CPU\nmonitor push, all clear: %.3f ms CPU\n", firstPush,
                clearPush);
    return listed && cleared ? 0 : 1;
}
