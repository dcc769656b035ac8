// `corvactl capture` as a script sees it, a whole process from start to exit
// on the drop-in simulator at 1 MB/s, against the time the frame exchange
// itself takes (the same "1 Frame" on the in-process simulator, fresh state
// each time, as in a new process). Target: at most the exchange + 60 ms.
#include "bench_support.h"
#include "session.h"
#include "simulator.h"
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <vector>

namespace {
constexpr double kRate = 1e6;
constexpr double kAllowanceMs = 60;

struct Figures {
    double mean, min, max;
};

Figures figures(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    double sum = 0;
    for (double x : v)
        sum += x;
    return {sum / double(v.size()), v.front(), v.back()};
}

// `clicks` "1 Frame" downloads from a fresh start, in milliseconds.
double exchangeMs(int mode, int clicks)
{
    SimConfig cfg;
    cfg.bytesPerSecond = kRate;
    cfg.modes = {mode};
    Simulator sim(cfg);
    BenchHost host;
    Session session(sim, host);
    ScreenCapture& screen = session.screen;
    screen.graticuleDir = QStringLiteral(CORVA_BENCH_GRATICULES);
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < clicks; ++i)
        screen.cmdDownLoad_Click();
    const double ms = double(t.nsecsElapsed()) / 1e6;
    if (host.text != QStringLiteral("Downloaded 1 Frame\r\n"))
        benchFail("the in-process exchange failed");
    return ms;
}

double processMs(int mode, const QString& out)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LD_LIBRARY_PATH"), QStringLiteral(CORVA_BENCH_SIMLIB));
    env.insert(QStringLiteral("CORVASIM_RATE"), QString::number(kRate));
    env.insert(QStringLiteral("CORVASIM_MODES"), QString::number(mode));
    QProcess p;
    p.setProcessEnvironment(env);
    p.setStandardErrorFile(QProcess::nullDevice());   // its status line, every run
    QElapsedTimer t;
    t.start();
    p.start(QStringLiteral(CORVA_BENCH_CORVACTL),
            {QStringLiteral("capture"), QStringLiteral("-o"), out, QStringLiteral("--graticules"),
             QStringLiteral(CORVA_BENCH_GRATICULES)});
    p.waitForFinished(30000);
    const double ms = double(t.nsecsElapsed()) / 1e6;
    if (p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        benchFail("corvactl capture failed");
    return ms;
}
}   // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    QTemporaryDir tmp;
    const QString out = tmp.filePath(QStringLiteral("bench.png"));
    std::printf("corvactl capture at %.0f B/s, %d runs each, milliseconds\n", kRate, runs);
    std::printf("%-32s %-28s %-28s %s\n", "display", "exchange mean (min - max)", "process mean (min - max)",
                "over");
    bool ok = true;
    // Mode 1 takes one exchange; an audio display (11) takes two, the first
    // fetching the levels for the bars.
    for (const auto& [mode, clicks, name] : {std::tuple{1, 1, "waveform, 1 exchange"}, std::tuple{11, 2, "audio, 2 exchanges"}}) {
        std::vector<double> ex, pr;
        for (int i = 0; i < runs; ++i) {
            ex.push_back(exchangeMs(mode, clicks));
            pr.push_back(processMs(mode, out));
        }
        const Figures e = figures(ex), p = figures(pr);
        const double over = p.mean - e.mean;
        std::printf("%-32s %6.1f (%6.1f - %6.1f)        %6.1f (%6.1f - %6.1f)        %+5.1f\n", name, e.mean, e.min,
                    e.max, p.mean, p.min, p.max, over);
        ok = ok && over <= kAllowanceMs;
    }
    std::printf("target: process mean within exchange mean + %.0f ms: %s\n", kAllowanceMs, ok ? "met" : "MISSED");
    return ok ? 0 : 1;
}
