#pragma once
// Shared pieces of the benchmarks: a window stand-in that only keeps the
// status text, and the process's resource figures.
#include "host.h"
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QString>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>
#include <sys/resource.h>

struct BenchHost : Host {
    QString text;
    int messages = 0;
    QString lastMessage;
    void setText1(const QString& t) override { text = t; }
    QString text1() const override { return text; }
    void showMessage(const QString& t, const QString&, Icon) override
    {
        ++messages;
        lastMessage = t;
    }
    void setBusyPointer(bool) override {}
    void beep() override {}
};

// A /proc/self/status figure in KiB: VmRSS (resident now) or VmHWM (its
// high-water mark); -1 where /proc is not there.
inline long procStatusKiB(const char* field)
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(qsizetype(qstrlen(field))).trimmed().split(' ').value(0).toLong();
    return -1;
}

inline long vmRssKiB() { return procStatusKiB("VmRSS:"); }

inline double cpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

inline long peakRssKiB()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;   // KiB on Linux
}

// The program reads its graticules from the working directory.
inline void enterGraticuleFolder()
{
    if (!QDir::setCurrent(QStringLiteral(CORVA_BENCH_GRATICULES))) {
        std::fprintf(stderr, "graticule folder %s missing: build the graticules target\n", CORVA_BENCH_GRATICULES);
        std::exit(2);
    }
}

// A headless application (unless told otherwise) in the graticule folder,
// where the program itself would run.
struct BenchApp {
    BenchApp(int& argc, char** argv) : app((headless(), argc), argv) { enterGraticuleFolder(); }
    static void headless()
    {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QGuiApplication app;
};

[[noreturn]] inline void benchFail(const char* what)
{
    std::fprintf(stderr, "FAILED: %s\n", what);
    std::exit(1);
}

// The periods between frames shown (times in ns), in ms: mean, median, range.
struct Periods {
    double mean = 0, median = 0, lo = 0, hi = 0;
    int count = 0;
};
template <typename T>
inline Periods framePeriods(const std::vector<T>& shownNs)
{
    Periods p;
    std::vector<double> ms;
    for (size_t i = 1; i < shownNs.size(); ++i)
        ms.push_back(double(shownNs[i] - shownNs[i - 1]) / 1e6);
    if (ms.empty())
        return p;
    p.count = int(ms.size());
    for (double v : ms)
        p.mean += v;
    p.mean /= double(ms.size());
    std::sort(ms.begin(), ms.end());
    p.lo = ms.front();
    p.hi = ms.back();
    p.median = ms[ms.size() / 2];
    return p;
}
