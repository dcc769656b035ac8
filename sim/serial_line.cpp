// The simulated instrument as a bare serial line: corvasim-serial SOCKET
// listens on a unix socket and serves one connection at a time (a virtual
// machine's serial chardev, QEMU's emulated FTDI chip in front of it): the
// host's bytes in, the instrument's answers out at the link rate. Unlike a
// chip there are no packets and no latency timer: that is the chip's part.
// Configured as instrument.h says (RATE, MODES, LOG_RECORDS, TRACE, and of the
// faults stall-after and short-block; an unplug is the machine's doing). The
// trace has a line per command, for a start of screen with the frame and its
// mode byte, so that a test can work out what the pictures must be.
#include "instrument.h"
#include <QCoreApplication>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

using Clock = Instrument::Clock;

int listenOn(const char* path)
{
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    if (std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path) >= int(sizeof a.sun_path))
        return -1;
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    unlink(path);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 1) != 0)
        return -1;
    return fd;
}

// One connection: until the other end closes it.
void serve(Instrument& inst, int fd)
{
    QByteArray out;    // taken from the instrument, not yet taken by the socket
    int code = -1;     // the byte before, when it may start a command
    for (;;) {
        const Clock::time_point next = inst.nextArrival();
        int wait = -1;   // with bytes to hand over, until the socket takes them
        if (out.isEmpty() && next != Clock::time_point::max())
            wait = int(std::chrono::ceil<std::chrono::milliseconds>(std::max(next - Clock::now(), Clock::duration::zero())).count());
        pollfd p{fd, short(POLLIN | (out.isEmpty() ? 0 : POLLOUT)), 0};
        if (poll(&p, 1, wait) < 0 && errno != EINTR)
            return;
        if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
            uint8_t in[256];
            const ssize_t n = read(fd, in, sizeof in);
            if (n <= 0)
                return;
            // A command is its code and 240; the line may cut a write anywhere.
            for (ssize_t i = 0; i < n; ++i) {
                if (in[i] == 240 && code >= 0) {
                    const uint8_t cmd[2] = {uint8_t(code), 240};
                    inst.hostWrite(cmd, 2);
                    QString line = QString::asprintf("Write %02X F0", code);
                    if (code == 242) {
                        const int frame = inst.framesStarted() - 1;
                        line += QString::asprintf(" screen %d mode %02X", frame, Instrument::modeByteFor(inst.config(), frame));
                    }
                    inst.trace(line);
                    code = -1;
                } else {
                    code = in[i];
                }
            }
        }
        if (out.isEmpty())
            out = inst.takeArrived(Clock::now());
        if (!out.isEmpty()) {
            const ssize_t n = send(fd, out.constData(), size_t(out.size()), MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n < 0 && errno != EAGAIN && errno != EINTR)
                return;
            if (n > 0)
                out.remove(0, qsizetype(n));
        }
    }
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);   // for Qt's messages only
    if (argc != 2) {
        std::fprintf(stderr, "usage: corvasim-serial SOCKET\n");
        return 2;
    }
    const int server = listenOn(argv[1]);
    if (server < 0) {
        std::perror(argv[1]);
        return 1;
    }
    // The instrument stays on while the line is connected again.
    Instrument inst(SimConfig::fromEnvironment());
    for (;;) {
        const int fd = accept4(server, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR)
                continue;
            std::perror("accept");
            return 1;
        }
        inst.trace(QStringLiteral("Connected"));
        serve(inst, fd);
        close(fd);
        inst.trace(QStringLiteral("Disconnected"));
    }
}
