#include "console.h"
#include <QCoreApplication>
#include <QMetaObject>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace {
std::function<void()> g_onStop;

// Runs on a thread of its own that the system starts: hand over to the event loop.
BOOL WINAPI onConsoleEvent(DWORD)
{
    QMetaObject::invokeMethod(QCoreApplication::instance(), [] { g_onStop(); }, Qt::QueuedConnection);
    return TRUE;
}
}   // namespace

bool catchStopSignals(std::function<void()> onStop)
{
    g_onStop = std::move(onStop);
    return SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

bool isTerminal(std::FILE* stream) { return _isatty(_fileno(stream)); }

void binaryStdout() { _setmode(_fileno(stdout), _O_BINARY); }

#else
#include <QSocketNotifier>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {
// Signals reach the event loop through a pipe.
int g_signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char c = 1;
    [[maybe_unused]] auto n = ::write(g_signalPipe[1], &c, 1);
}
}   // namespace

bool catchStopSignals(std::function<void()> onStop)
{
    if (::pipe(g_signalPipe) != 0)
        return false;
    for (int fd : g_signalPipe)
        ::fcntl(fd, F_SETFD, FD_CLOEXEC), ::fcntl(fd, F_SETFL, O_NONBLOCK);
    auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, [onStop = std::move(onStop)] {
        char c[16];
        while (::read(g_signalPipe[0], c, sizeof c) > 0) {
        }
        onStop();
    });
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    return sigaction(SIGINT, &sa, nullptr) == 0 && sigaction(SIGTERM, &sa, nullptr) == 0;
}

bool isTerminal(std::FILE* stream) { return ::isatty(::fileno(stream)); }

void binaryStdout() {}
#endif
