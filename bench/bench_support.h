#pragma once
// Shared pieces of the benchmarks: a window stand-in that only keeps the
// status text, and the process's resource figures.
#include "host.h"
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QString>
#include <cstdio>
#include <cstdlib>
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
