// The libftdi1 way end to end: the program's own classes on DynamicD2xx, with
// no vendor library, through the real libftdi1 and the emulated FTDI chip at
// 1 MB/s with its default 16 ms latency timer. Measures the continuous frame
// period against what the chip allows, and the processor time of the
// program's threads while downloading, while a device is open and idle, and
// while nothing is open; and how long a Close takes, also with a chip that
// sends nothing for 255 ms at a time (--silent-chip). Restarts itself with the
// emulated libusb first on the loader path.
#include "bench_support.h"
#include "dynamic_d2xx.h"
#include "session.h"
#include <QDir>
#include <QElapsedTimer>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <ctime>
#include <libusb.h>
#include <thread>
#include <map>
#include <unistd.h>
#include <vector>

namespace {
constexpr double kRate = 1.0e6;
constexpr double kLatencyMs = 16;
constexpr int kPacketData = 62;   // a 64-byte packet less the two modem-status bytes

// Processor seconds of each live thread of this process, by thread id.
struct ThreadTimes {
    std::map<int, std::pair<QString, double>> byTid;
    static ThreadTimes now()
    {
        ThreadTimes t;
        const double tick = double(sysconf(_SC_CLK_TCK));
        for (const QString& tid : QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            QFile f(QStringLiteral("/proc/self/task/%1/stat").arg(tid));
            if (!f.open(QIODevice::ReadOnly))
                continue;
            const QByteArray stat = f.readAll();
            const qsizetype open = stat.indexOf('('), close = stat.lastIndexOf(')');
            const QList<QByteArray> rest = stat.mid(close + 2).split(' ');   // from field 3 on
            const double cpu = (rest.value(11).toDouble() + rest.value(12).toDouble()) / tick;
            t.byTid[tid.toInt()] = {QString::fromLatin1(stat.mid(open + 1, close - open - 1)), cpu};
        }
        return t;
    }
    // Seconds spent since `before` by the threads named `name` (all when empty).
    double since(const ThreadTimes& before, const QString& name = {}) const
    {
        double s = 0;
        for (const auto& [tid, v] : byTid)
            if (name.isEmpty() || v.first == name)
                s += v.second - (before.byTid.count(tid) ? before.byTid.at(tid).second : 0.0);
        return s;
    }
    double mainSince(const ThreadTimes& before) const
    {
        const int tid = int(getpid());
        return byTid.count(tid) ? byTid.at(tid).second - (before.byTid.count(tid) ? before.byTid.at(tid).second : 0.0) : 0.0;
    }
    int count(const QString& name) const
    {
        return int(std::count_if(byTid.begin(), byTid.end(), [&](const auto& kv) { return kv.second.first == name; }));
    }
};

// Runs the event loop for ms milliseconds, as the idle program would.
void idle(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// One answer of n bytes: full packets go as their bytes come in; the short
// last one waits for the latency timer, started by its first byte.
double answerMs(int n)
{
    const int full = n / kPacketData * kPacketData;
    return full == n ? n / kRate * 1e3 : (full + 1) / kRate * 1e3 + kLatencyMs;
}

double threadCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// The emulated chip's own cost, which runs inside whatever thread waits in a
// libusb call: the same exchanges as `frames` continuous frames, made through
// plain libusb calls with libftdi's 4096-byte reads, reading on through the
// pauses as our reader does. Percent of a core.
double emulatedChipPercent(int frames)
{
    libusb_context* ctx = nullptr;
    if (libusb_init(&ctx) != 0)
        benchFail("libusb_init");
    libusb_device** list = nullptr;
    libusb_device_handle* h = nullptr;
    for (ssize_t i = 0, n = libusb_get_device_list(ctx, &list); i < n && !h; ++i) {
        libusb_device_descriptor d{};
        if (libusb_get_device_descriptor(list[i], &d) == 0 && d.idVendor == 0x0403 && libusb_open(list[i], &h) != 0)
            h = nullptr;
    }
    libusb_free_device_list(list, 1);
    if (!h || libusb_claim_interface(h, 0) != 0)
        benchFail("could not open the emulated chip through libusb");
    unsigned char buf[4096];
    auto readFor = [&](int want, double pauseMs) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(qint64(pauseMs * 1000));
        int payload = 0, got = 0;
        while (payload < want || std::chrono::steady_clock::now() < until) {
            if (libusb_bulk_transfer(h, 0x81, buf, sizeof buf, &got, 1000) != 0)
                benchFail("emulated chip: bulk read failed");
            payload += got - 2 * ((got + 63) / 64);
        }
    };
    auto command = [&](unsigned char code) {
        unsigned char frame[2] = {code, 240};
        int n = 0;
        libusb_bulk_transfer(h, 0x02, frame, 2, &n, 1000);
    };
    const double c0 = threadCpuSeconds();
    QElapsedTimer wall;
    wall.start();
    for (int f = 0; f < frames; ++f) {
        command(242);
        readFor(1, 0);
        for (int b = 0; b < ScreenCapture::kBlocks; ++b) {
            command(246);
            readFor(ScreenCapture::kBlockBytes, 0);
        }
        command(244);
        readFor(0, 100);
    }
    const double percent = (threadCpuSeconds() - c0) / (double(wall.nsecsElapsed()) / 1e9) * 100;
    libusb_release_interface(h, 0);
    libusb_close(h);
    libusb_exit(ctx);
    return percent;
}

// Each Close's time through the program's link: the device opened, left
// idle 0 to 30 ms (a different phase of the chip's status packets each time),
// then closed. Mean and longest, in milliseconds.
std::pair<double, double> closeTimes(Link& link, int n)
{
    double sum = 0, longest = 0;
    for (int i = 0; i < n; ++i) {
        link.Open_USB();
        std::this_thread::sleep_for(std::chrono::milliseconds(i * 7 % 31));
        QElapsedTimer t;
        t.start();
        if (link.close() != FT_OK)
            benchFail("a close failed");
        const double ms = double(t.nsecsElapsed()) / 1e6;
        sum += ms;
        longest = std::max(longest, ms);
    }
    return {sum / n, longest};
}

// Re-runs this program with the emulated libusb ahead of the system's, the
// instrument at 1 MB/s and no vendor library anywhere on the path; with
// `silentChip` its latency timer at 255 ms, the longest the chip has.
void enterEmulatedUsb(char** argv, bool silentChip)
{
    if (qEnvironmentVariableIsSet("CORVA_BENCH_USB_EMU"))
        return;
    qputenv("CORVA_BENCH_USB_EMU", "1");
    qputenv("LD_LIBRARY_PATH", CORVA_USB_EMU_DIR);
    qputenv("CORVASIM_RATE", QByteArray::number(kRate, 'f', 0));
    if (silentChip)
        qputenv("CORVASIM_LATENCY", "255");
    else
        qunsetenv("CORVASIM_LATENCY");
    qunsetenv("CORVASIM_FAULTS");
    execv("/proc/self/exe", argv);
    benchFail("could not restart with the emulated libusb");
}
} // namespace

int main(int argc, char** argv)
{
    const bool silentChip = argc > 1 && qstrcmp(argv[1], "--silent-chip") == 0;
    enterEmulatedUsb(argv, silentChip);
    BenchApp app(argc, argv);
    const int frames = argc > 1 && !silentChip ? std::max(3, atoi(argv[1])) : 40;

    DynamicD2xx d2xx{QStringList{}};   // no vendor library: the way a Linux user without it goes
    BenchHost host;
    Session session(d2xx, host);
    Link& link = session.link;
    Surface& surface = session.surface;
    ScreenCapture& capture = session.screen;
    char serial[100] = {};
    if (d2xx.ListDevices(nullptr, serial, FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER) != FT_OK)
        benchFail("no emulated chip: build the corva_usb_emu target");
    std::printf("%s, chip %s, %.0f B/s, latency timer %d ms\n", qPrintable(d2xx.libraryInUse()), serial, kRate,
                silentChip ? 255 : int(kLatencyMs));
    bool ok = d2xx.backend() == DynamicD2xx::Backend::Libftdi;

    // A Close cancels the reader's transfers and never waits for the chip.
    const auto [closeMean, closeMax] = closeTimes(link, 30);
    const bool closeOk = closeMax < 50;
    std::printf("close, 30 times:            mean %.2f ms, longest %.2f ms (limit 50 ms)   [%s]\n",
                closeMean, closeMax, closeOk ? "ok" : "MISSED");
    ok &= closeOk;
    if (silentChip)
        return ok ? 0 : 1;

    // Nothing open: no reader thread, no processor time.
    auto t0 = ThreadTimes::now();
    double c0 = cpuSeconds();
    idle(5000);
    const double idleCpu = (cpuSeconds() - c0) / 5.0 * 100;
    const bool idleOk = idleCpu < 0.005 && ThreadTimes::now().count(QStringLiteral("ftdi-reader")) == 0;
    std::printf("nothing open, 5 s:          CPU %.2f %% of a core, reader threads %d   [%s]\n", idleCpu,
                ThreadTimes::now().count(QStringLiteral("ftdi-reader")), idleOk ? "ok" : "MISSED");
    ok &= idleOk;

    // Open and idle: the reader sleeps in libusb between the chip's status packets.
    link.Open_USB();
    t0 = ThreadTimes::now();
    c0 = cpuSeconds();
    idle(5000);
    std::printf("device open, idle, 5 s:     CPU %.2f %% of a core (reader %.2f %%)   [info]\n",
                (cpuSeconds() - c0) / 5.0 * 100, ThreadTimes::now().since(t0, QStringLiteral("ftdi-reader")) / 5.0 * 100);
    link.close();

    // Continuous download: the period from one frame shown to the next, and
    // the processor time from the first frame shown to the last.
    std::vector<qint64> shown;
    QElapsedTimer clock;
    ThreadTimes first, last;
    double cpuFirst = 0, cpuLast = 0;
    clock.start();
    surface.onChanged = [&] {
        shown.push_back(clock.nsecsElapsed());
        if (shown.size() == 1) {
            first = ThreadTimes::now();
            cpuFirst = cpuSeconds();
        }
        if (int(shown.size()) == frames) {
            last = ThreadTimes::now();
            cpuLast = cpuSeconds();
            capture.cmdStop_Click();
        }
    };
    capture.cmdContinuous_Click();
    if (int(shown.size()) != frames || !session.status.StatusText.isEmpty())
        benchFail(qPrintable(QStringLiteral("run ended after %1 of %2 frames: %3").arg(shown.size()).arg(frames).arg(host.text)));
    const Periods p = framePeriods(shown);
    const double mean = p.mean, median = p.median;
    const double limit = answerMs(1) + ScreenCapture::kBlocks * answerMs(ScreenCapture::kBlockBytes) + 100.0;
    const double off = (mean - limit) / limit * 100;
    const bool periodOk = std::abs(off) <= 3;
    std::printf("continuous, %d frames:      period mean %.2f ms (median %.2f, min %.2f, max %.2f), limit %.2f ms "
                "(link + latency tails + 100 ms pause), %+.1f %%   [%s]\n",
                frames, mean, median, p.lo, p.hi, limit, off, periodOk ? "ok" : "MISSED");
    const double wall = double(shown.back() - shown.front()) / 1e9;
    const double runCpu = (cpuLast - cpuFirst) / wall * 100;
    const double chip = emulatedChipPercent(frames / 2);
    // Judged on the whole, the emulated chip's share included.
    const bool cpuOk = runCpu <= 3;
    std::printf("continuous, %.1f s:          CPU %.2f %% of a core (window thread %.2f %%, reader %.2f %%)   [%s]\n",
                wall, runCpu, last.mainSince(first) / wall * 100,
                last.since(first, QStringLiteral("ftdi-reader")) / wall * 100, cpuOk ? "ok" : "MISSED");
    std::printf("  of which the emulated chip, alone through plain libusb: %.2f %%; the program's own: %.2f %%\n", chip,
                runCpu - chip);
    ok &= periodOk && cpuOk;

    // Closed again: the reader is gone.
    c0 = cpuSeconds();
    idle(3000);
    const double afterCpu = (cpuSeconds() - c0) / 3.0 * 100;
    const bool afterOk = afterCpu < 0.005 && ThreadTimes::now().count(QStringLiteral("ftdi-reader")) == 0;
    std::printf("closed again, 3 s:          CPU %.2f %% of a core, reader threads %d   [%s]\n", afterCpu,
                ThreadTimes::now().count(QStringLiteral("ftdi-reader")), afterOk ? "ok" : "MISSED");
    ok &= afterOk;
    return ok ? 0 : 1;
}
