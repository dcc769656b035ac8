// The continuous download through FTDI's own D2XX library over the emulated
// FTDI chip, side by side with our simulator: the frame period against what
// the link allows (link time, one latency period for the short last packet of
// each of the six answers, the 100 ms pause), and the CPU time of each thread
// while streaming and while idle between clicks. Run by hand; FTDI's library
// must have been built by the ftdi_real_library test.
#include "bench_support.h"
#include "dynamic_d2xx.h"
#include "session.h"
#include "simulator.h"
#include <QDirIterator>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <ctime>
#include <map>
#include <memory>
#include <unistd.h>
#include <vector>

namespace {
constexpr double kRate = 1.0e6;
constexpr int kLatencyMs = 16;
constexpr int kFrames = 40;
constexpr double kIdleSeconds = 3;

// CPU seconds of each live thread, by thread id, with its name.
struct Threads {
    std::map<int, std::pair<QString, double>> cpu;
    double process = cpuSeconds();   // the threads already ended count here too

    static Threads now()
    {
        Threads t;
        QDirIterator it(QStringLiteral("/proc/self/task"), QDir::Dirs | QDir::NoDotAndDotDot);
        while (it.hasNext()) {
            const QString dir = it.next();
            QFile comm(dir + QStringLiteral("/comm")), sched(dir + QStringLiteral("/schedstat"));
            if (!comm.open(QIODevice::ReadOnly) || !sched.open(QIODevice::ReadOnly))
                continue;
            // Nanoseconds on a CPU: finer than the clock ticks of /proc/<tid>/stat.
            const double secs = sched.readAll().split(' ').value(0).toDouble() / 1e9;
            t.cpu[QFileInfo(dir).fileName().toInt()] = {QString::fromLatin1(comm.readAll().trimmed()), secs};
        }
        return t;
    }
};

double threadCpuMs()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

// Passes each call on, adding up the calling thread's CPU time inside the
// driver library by call: where the main thread's share goes.
class MeteredD2xx : public D2xx {
public:
    explicit MeteredD2xx(D2xx& d) : d_(d) {}
    FT_STATUS ListDevices(void* a, void* b, DWORD f) override { return m(0, [&] { return d_.ListDevices(a, b, f); }); }
    FT_STATUS OpenEx(void* a, DWORD f, FT_HANDLE* h) override { return m(1, [&] { return d_.OpenEx(a, f, h); }); }
    FT_STATUS Write(FT_HANDLE h, void* b, DWORD n, DWORD* w) override { return m(2, [&] { return d_.Write(h, b, n, w); }); }
    FT_STATUS SetTimeouts(FT_HANDLE h, ULONG r, ULONG w) override { return m(3, [&] { return d_.SetTimeouts(h, r, w); }); }
    FT_STATUS GetQueueStatus(FT_HANDLE h, DWORD* q) override { return m(4, [&] { return d_.GetQueueStatus(h, q); }); }
    FT_STATUS Read(FT_HANDLE h, void* b, DWORD n, DWORD* r) override
    {
        return m(n == 1 ? 5 : 6, [&] { return d_.Read(h, b, n, r); });
    }
    FT_STATUS Close(FT_HANDLE h) override { return m(7, [&] { return d_.Close(h); }); }
    QString summary(double wallSeconds) const
    {
        static const char* const names[] = {"ListDevices", "OpenEx", "Write", "SetTimeouts", "GetQueueStatus",
                                            "Read of 1", "Read of more", "Close"};
        QString s;
        for (int i = 0; i < 8; ++i)
            if (count_[i])
                s += QStringLiteral("%1 %2 x %3 %, ").arg(names[i]).arg(count_[i]).arg(ms_[i] / wallSeconds / 10, 0, 'f', 1);
        return s.chopped(2);
    }

private:
    template <class F>
    FT_STATUS m(int i, F&& call)
    {
        const double from = threadCpuMs();
        const FT_STATUS st = call();
        ms_[i] += threadCpuMs() - from;
        ++count_[i];
        return st;
    }
    D2xx& d_;
    double ms_[8] = {};
    long count_[8] = {};
};

struct CpuShare {
    double main = 0, programOthers = 0, library = 0, process = 0;   // per cent of one core
};

// Between two snapshots: the main thread, the program's other threads (those
// there before the driver library was loaded) and the rest of the process.
CpuShare share(const Threads& a, const Threads& b, const std::vector<int>& programThreads, double wall)
{
    CpuShare s;
    auto used = [&](int tid) {
        const auto from = a.cpu.find(tid), to = b.cpu.find(tid);
        return from == a.cpu.end() || to == b.cpu.end() ? 0.0 : to->second.second - from->second.second;
    };
    const int mainTid = int(getpid());
    double program = 0;
    for (int tid : programThreads) {
        const double u = used(tid);
        program += u;
        (tid == mainTid ? s.main : s.programOthers) += u / wall * 100;
    }
    s.process = (b.process - a.process) / wall * 100;
    s.library = std::max(0.0, (b.process - a.process - program) / wall * 100);
    return s;
}

struct Result {
    double mean = 0, lo = 0, hi = 0, expected = 0;
    int frames = 0;
    CpuShare streaming, idle;
    QString failure, calls;
};

Result run(D2xx& driver, const std::vector<int>& programThreads)
{
    Result r;
    BenchHost host;
    MeteredD2xx d2xx(driver);
    Session session(d2xx, host);
    Surface& surface = session.surface;
    ScreenCapture& capture = session.screen;
    std::vector<qint64> shown;
    QElapsedTimer clock;
    clock.start();
    surface.onChanged = [&] {
        shown.push_back(clock.nsecsElapsed());
        if (int(shown.size()) == kFrames)
            capture.cmdStop_Click();
    };
    const Threads before = Threads::now();
    capture.cmdContinuous_Click();
    const double wall = double(clock.nsecsElapsed()) / 1e9;
    r.streaming = share(before, Threads::now(), programThreads, wall);
    r.calls = d2xx.summary(wall);

    // Idle between clicks: the event loop alone, the device closed.
    const Threads idleFrom = Threads::now();
    QElapsedTimer idle;
    idle.start();
    QEventLoop loop;
    QTimer::singleShot(int(kIdleSeconds * 1000), &loop, &QEventLoop::quit);
    loop.exec();
    r.idle = share(idleFrom, Threads::now(), programThreads, double(idle.nsecsElapsed()) / 1e9);

    r.frames = int(shown.size());
    if (r.frames != kFrames || !session.status.StatusText.isEmpty())
        r.failure = QStringLiteral("ended after %1 of %2 frames: %3").arg(r.frames).arg(kFrames).arg(host.text.simplified());
    const Periods p = framePeriods(shown);
    r.mean = p.mean;
    r.lo = p.lo;
    r.hi = p.hi;
    // Five blocks and the mode byte, each answer's short last packet one latency period late.
    r.expected = (ScreenCapture::kBlocks * ScreenCapture::kBlockBytes + 1) / kRate * 1e3 +
                 (ScreenCapture::kBlocks + 1) * kLatencyMs + 100.0;
    return r;
}

bool report(const char* name, const Result& r)
{
    if (!r.failure.isEmpty()) {
        std::printf("%-30s %s   [MISSED]\n", name, qPrintable(r.failure));
        return false;
    }
    const double off = (r.mean - r.expected) / r.expected * 100;
    const bool periodOk = std::abs(off) <= 3;
    const bool streamingOk = r.streaming.main + r.streaming.programOthers <= 3;
    const bool idleOk = r.idle.main + r.idle.programOthers < 0.5;
    std::printf("%-30s period %7.2f ms (%.2f - %.2f)  limit %7.2f ms  %+5.1f %% [%s]\n", name, r.mean, r.lo, r.hi,
                r.expected, off, periodOk ? "ok" : "MISSED");
    std::printf("%-30s CPU streaming: main %5.1f %%, program's other threads %4.1f %%, library's threads %4.1f %%, process %5.1f %% [%s]\n",
                "", r.streaming.main, r.streaming.programOthers, r.streaming.library, r.streaming.process, streamingOk ? "ok" : "MISSED");
    std::printf("%-30s main thread inside the driver: %s\n", "", qPrintable(r.calls));
    std::printf("%-30s CPU idle:      main %5.1f %%, program's other threads %4.1f %%, library's threads %4.1f %%, process %5.1f %% [%s]\n",
                "", r.idle.main, r.idle.programOthers, r.idle.library, r.idle.process, idleOk ? "ok" : "MISSED");
    return periodOk && streamingOk && idleOk;
}

std::vector<int> liveThreads()
{
    std::vector<int> tids;
    for (const auto& [tid, v] : Threads::now().cpu)
        tids.push_back(tid);
    return tids;
}
} // namespace

int main(int argc, char** argv)
{
    // FTDI's library must find the emulated chip as its libusb: the loader
    // path is read at start-up, so start again with it if need be.
    const QByteArray path = qgetenv("LD_LIBRARY_PATH");
    if (!path.split(':').contains(USB_EMU_DIR)) {
        qputenv("LD_LIBRARY_PATH", USB_EMU_DIR + (path.isEmpty() ? QByteArray() : ':' + path));
        execv("/proc/self/exe", argv);
        benchFail("cannot start again with the emulated chip on the loader path");
    }
    qputenv("CORVASIM_RATE", QByteArray::number(kRate));
    qputenv("CORVASIM_LATENCY", QByteArray::number(kLatencyMs));
    BenchApp app(argc, argv);
    const std::vector<int> programThreads = liveThreads();

    std::printf("Continuous download, %d frames at %.0f B/s, latency timer %d ms; target: period within 3 %% of\n"
                "link time + 6 latency periods + 100 ms pause; the program's threads at most 3 %% of a core streaming,\n"
                "0 %% idle (%.0f s after Stop)\n\n", kFrames, kRate, kLatencyMs, kIdleSeconds);
    SimConfig cfg;
    cfg.bytesPerSecond = kRate;
    cfg.latencyMs = kLatencyMs;
    Simulator sim(cfg);
    bool ok = report("our simulator", run(sim, programThreads));

    const QString ftdi = QStringLiteral(FTDI_REAL_DIR "/libftd2xx.so");
    if (!QFile::exists(ftdi)) {
        std::printf("\nFTDI's library is not in %s: run  ctest -R ftdi_real_library  first\n", FTDI_REAL_DIR);
        return 1;
    }
    DynamicD2xx real({ftdi});
    ok &= report("FTDI's library, emulated chip", run(real, programThreads));
    std::printf("\nFor comparison, reads issued without waiting for their bytes first:\n");
    real.waitAsleepForReads = false;
    report("FTDI's library, emulated chip", run(real, programThreads));
    return ok ? 0 : 1;
}
