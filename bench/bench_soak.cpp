// A long run: ten thousand screen downloads and repeated full 981-record log
// downloads on the simulator, watching time, processor use and memory.
#include "bench_support.h"
#include "session.h"
#include "simulator.h"
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <cstdio>
#include <cstdlib>

namespace {
struct Figures {
    double wallS, cpuS;
};

template <class F>
Figures measure(F&& f)
{
    QElapsedTimer t;
    t.start();
    const double cpu0 = cpuSeconds();
    f();
    return {double(t.nsecsElapsed()) / 1e9, cpuSeconds() - cpu0};
}

// The continuous download's pause between frames is fixed at 100 ms inside
// cmdContinuous_Click, which would make this run 17 minutes. So each frame is
// a "1 Frame" download (open, mode byte, graticule, bars, five blocks, end,
// close) followed by one pass of the event loop, the rest of that cycle.
bool frames(int count)
{
    SimConfig cfg;
    cfg.bytesPerSecond = 0;   // instant: the run measures our side only
    Simulator sim(cfg);
    BenchHost host;
    Session session(sim, host);
    Surface& surface = session.surface;
    ScreenCapture& capture = session.screen;
    int changes = 0;
    surface.onChanged = [&] { ++changes; };

    long rss1000 = 0, rssEnd = 0;
    int bad = 0;
    const Figures f = measure([&] {
        for (int i = 1; i <= count; ++i) {
            capture.cmdDownLoad_Click();
            QCoreApplication::processEvents();
            if (host.text != QStringLiteral("Downloaded 1 Frame\r\n") || !session.status.StatusText.isEmpty())
                ++bad;
            if (i == 1000)
                rss1000 = vmRssKiB();
        }
        rssEnd = vmRssKiB();
    });
    const bool ok = bad == 0 && sim.framesStarted() == count && changes == count && !sim.isOpen();
    std::printf("%d frames  %.1f s   period %.3f ms   CPU %.0f %%   VmRSS at frame 1000 %ld KiB, at frame %d %ld KiB   "
                "(%+ld KiB)   failed frames %d   [%s]\n",
                count, f.wallS, f.wallS * 1e3 / count, f.cpuS / f.wallS * 100, rss1000, count, rssEnd,
                rssEnd - rss1000, bad, ok ? "ok" : "FAILED");
    return ok;
}

bool logs(int repeats)
{
    SimConfig cfg;
    cfg.logRecords = -1;   // never an end marker: every download runs all 981 records
    Simulator sim(cfg);
    BenchHost host;
    Session session(sim, host);
    ErrorLog& log = session.errorLog;

    bool ok = true;
    for (int r = 1; r <= repeats; ++r) {
        const Figures f = measure([&] { log.cmdGetLog_Click(); });
        const bool full = !log.LogFailed && host.messages == 0 &&
                          host.text.endsWith(QStringLiteral("-------- End of Log --------")) &&
                          host.text.contains(QStringLiteral("\n976: ")) && !host.text.contains(QStringLiteral("\n977: "));
        ok &= full;
        std::printf("Get Log %d: 981 records  %.2f s (%.2f ms a record)   CPU %.0f %%   VmRSS %ld KiB   [%s]\n", r,
                    f.wallS, f.wallS * 1e3 / 981, f.cpuS / f.wallS * 100, vmRssKiB(), full ? "ok" : "FAILED");
    }
    return ok;
}
}

int main(int argc, char** argv)
{
    BenchApp app(argc, argv);
    const int count = argc > 1 ? std::max(1000, std::atoi(argv[1])) : 10000;

    const double cpu0 = cpuSeconds();
    QElapsedTimer total;
    total.start();
    bool ok = frames(count);
    ok &= logs(3);
    const double wall = double(total.nsecsElapsed()) / 1e9;
    std::printf("whole run %.1f s   CPU %.0f %%   peak RSS: ru_maxrss %ld KiB, VmHWM %ld KiB\n", wall,
                (cpuSeconds() - cpu0) / wall * 100, peakRssKiB(), procStatusKiB("VmHWM:"));
    return ok ? 0 : 1;
}
