// `corvactl serve` as a process on the drop-in simulator at its defaults
// (1 MB/s, 16 ms latency timer), watched through QWebSocket clients: a
// frame's way to a viewer, the server's CPU and frame period with 0 to 100
// viewers, its memory with viewers that stop reading, frame.png under wrk.
// Targets and figures in docs/benchmarks.md; an argument sets the frames per
// viewer run.
#include "bench_support.h"
#include "exchange.h"
#include "session.h"
#include "simulator.h"
#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QTimer>
#include <QWebSocket>
#include <arpa/inet.h>
#include <chrono>
#include <climits>
#include <fcntl.h>
#include <functional>
#include <map>
#include <memory>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
using Clock = std::chrono::steady_clock;
double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double pct(std::vector<double> v, double q)   // nearest rank; 0 when empty
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[std::min(v.size() - 1, size_t(std::max(0.0, std::ceil(q * double(v.size())) - 1)))];
}

// The event loop runs (the clients are served) until `done` or the limit.
bool waitFor(const std::function<bool()>& done, int limitMs)
{
    QEventLoop loop;
    QTimer tick;
    QElapsedTimer t;
    t.start();
    QObject::connect(&tick, &QTimer::timeout, &loop, [&] {
        if (done() || t.elapsed() >= limitMs)
            loop.quit();
    });
    tick.start(5);
    if (!done())
        loop.exec();
    return done();
}
void pause(int msec) { waitFor([] { return false; }, msec); }

// The calling thread runs as soon as its bytes come, ahead of the builds
// sharing the machine, so its clock readings are the arrivals' (needs root).
bool realtime(bool on)
{
    const sched_param p{on ? 10 : 0};
    return pthread_setschedparam(pthread_self(), on ? SCHED_FIFO : SCHED_OTHER, &p) == 0;
}

struct Proc {
    double cpu = 0;   // utime + stime, seconds
    long rssKiB = -1;
};
Proc procOf(qint64 pid)
{
    Proc p;
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid)), status(QStringLiteral("/proc/%1/status").arg(pid));
    if (stat.open(QIODevice::ReadOnly)) {
        const QByteArray s = stat.readAll();
        const QList<QByteArray> f = s.mid(s.lastIndexOf(')') + 2).split(' ');   // from field 3 on
        p.cpu = (f.value(11).toDouble() + f.value(12).toDouble()) / double(sysconf(_SC_CLK_TCK));
    }
    if (status.open(QIODevice::ReadOnly))
        p.rssKiB = QRegularExpression(QStringLiteral("VmRSS:\\s*(\\d+)")).match(QString::fromLatin1(status.readAll())).captured(1).toLong();
    return p;
}

// One corvactl serve in a session of its own, ended with SIGTERM.
struct Serve {
    QProcess p;
    mutable QNetworkAccessManager net;
    quint16 port = 0;
    QByteArray token;
    Serve(const QTemporaryDir& dir, bool continuous, const QString& trace = {})
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("LD_LIBRARY_PATH"), QStringLiteral(CORVA_BENCH_SIMLIB));
        if (!trace.isEmpty())
            env.insert(QStringLiteral("CORVASIM_TRACE"), trace);
        p.setProcessEnvironment(env);
        p.setChildProcessModifier([] { ::setsid(); });
        p.setStandardErrorFile(dir.filePath(QStringLiteral("serve.log")), QIODevice::Append);
        p.start(QStringLiteral(CORVA_BENCH_CORVACTL),
                QStringList{"serve", "--listen", "127.0.0.1:0", "--token-file", dir.filePath("tok"), "--graticules",
                            CORVA_BENCH_GRATICULES}
                    + (continuous ? QStringList{"--continuous"} : QStringList{}));
        for (int i = 0; i < 20 && !p.canReadLine(); ++i)
            p.waitForReadyRead(500);
        const auto m = QRegularExpression(QStringLiteral(":(\\d+)/#token=(\\w+)")).match(QString::fromLatin1(p.readLine()));
        if (!m.hasMatch())
            benchFail("corvactl serve did not start");
        port = quint16(m.captured(1).toUInt());
        token = m.captured(2).toLatin1();
    }
    ~Serve()
    {
        p.terminate();
        if (!p.waitForFinished(5000)) {
            p.kill();
            p.waitForFinished(2000);
        }
    }
    Proc proc() const { return procOf(p.processId()); }
    // The least RSS of ten readings over a second: each frame's picture
    // copies come and go, what stays is in the floor.
    long rssFloorKiB() const
    {
        long least = LONG_MAX;
        for (int i = 0; i < 10; ++i) {
            pause(100);
            least = std::min(least, proc().rssKiB);
        }
        return least;
    }

    // One request's body, its status in *status. The clients are served
    // meanwhile; the answer comes between exchanges, up to a frame's time late.
    QByteArray http(const QByteArray& method, const QString& path, int* status = nullptr) const
    {
        QNetworkRequest rq(QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(port).arg(path)));
        rq.setRawHeader("Authorization", "Bearer " + token);
        rq.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
        const std::unique_ptr<QNetworkReply> r(method == "POST" ? net.post(rq, QByteArray()) : net.get(rq));
        waitFor([&] { return r->isFinished(); }, 10000);
        if (status)
            *status = r->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        return r->readAll();
    }
    long long status(const char* key) const { return QJsonDocument::fromJson(http("GET", QStringLiteral("/api/v1/status"))).object().value(key).toInteger(); }
    // The frames counted and the sum of their times, each from the end of
    // the 100 ms pause before it: the mean period is 100 ms + sum / count.
    std::pair<long long, double> exchanges() const
    {
        const QString m = QString::fromLatin1(http("GET", QStringLiteral("/metrics")));
        const auto value = [&](const char* name) {
            return QRegularExpression(QStringLiteral("\ncorvameter_exchange_seconds_%1 (\\S+)").arg(QLatin1String(name))).match(m).captured(1).toDouble();
        };
        return {(long long)value("count"), value("sum")};
    }
    void warmUp() const   // past the first frames
    {
        for (int i = 0; i < 40 && exchanges().first < 2; ++i)
            pause(250);
    }
};

struct Viewer {
    QWebSocket ws;
    long long firstFrames = -1, frames = -1;
    int pngs = 0;
    qint64 frameTimeMs = -1;   // of the newest frame whose PNG has not come yet
    std::vector<Clock::time_point> arrivals;
    std::vector<double> sinceFrameTime;   // ms, the state's frameTime to the PNG's arrival

    explicit Viewer(const Serve& s)
    {
        QObject::connect(&ws, &QWebSocket::binaryMessageReceived, [this](const QByteArray&) {
            arrivals.push_back(Clock::now());
            if (frameTimeMs >= 0)
                sinceFrameTime.push_back(double(QDateTime::currentMSecsSinceEpoch() - frameTimeMs));
            frameTimeMs = -1;
            ++pngs;
        });
        QObject::connect(&ws, &QWebSocket::textMessageReceived, [this](const QString& text) {
            const QJsonObject o = QJsonDocument::fromJson(text.toUtf8()).object();
            if (o.value("type").toString() != QStringLiteral("state"))
                return;
            // The state that counts a new frame goes ahead of its PNG.
            const long long n = o.value("frames").toInteger();
            const QDateTime t = QDateTime::fromString(o.value("frameTime").toString(), Qt::ISODateWithMs);
            if (n > frames && frames >= 0 && t.isValid())
                frameTimeMs = t.toMSecsSinceEpoch();
            firstFrames = firstFrames < 0 ? n : firstFrames;
            frames = std::max(frames, n);
        });
        ws.open(QUrl(QStringLiteral("ws://127.0.0.1:%1/api/v1/live?token=%2").arg(s.port).arg(QString::fromLatin1(s.token))));
    }
};

// The simulator's trace through a FIFO, read as it comes: when each frame's
// last block was read.
struct TraceReader {
    QByteArray path, carry;
    int fd = -1;
    Clock::time_point lastRead{};
    std::vector<Clock::time_point> lastBlock;
    std::unique_ptr<QSocketNotifier> notifier;
    explicit TraceReader(const QString& p) : path(QFile::encodeName(p))
    {
        // O_RDWR: the open does not wait for the server.
        if (mkfifo(path.constData(), 0600) != 0 || (fd = ::open(path.constData(), O_RDWR | O_NONBLOCK)) < 0)
            benchFail("cannot make the trace FIFO");
        notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
        QObject::connect(notifier.get(), &QSocketNotifier::activated, [this] {
            char buf[65536];
            const ssize_t n = ::read(fd, buf, sizeof buf);
            const Clock::time_point t = Clock::now();
            carry.append(buf, std::max<ssize_t>(n, 0));
            for (qsizetype nl; (nl = carry.indexOf('\n')) >= 0; carry.remove(0, nl + 1))
                if (carry.startsWith("Read "))
                    lastRead = t;
                else if (carry.startsWith("Write F4 "))   // the end of the frame's transfer
                    lastBlock.push_back(lastRead);
        });
    }
    ~TraceReader()
    {
        notifier.reset();
        ::close(fd);
    }
};

// A raw WebSocket viewer that does the handshake and then reads nothing.
int stalledViewer(const Serve& s)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0), small = 4096;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);   // else the kernel takes megabytes
    const timeval tv{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in a{AF_INET, htons(s.port), {htonl(INADDR_LOOPBACK)}, {}};
    const QByteArray hello = "GET /api/v1/live?token=" + s.token + " HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(s.port)
                             + "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                               "Sec-WebSocket-Version: 13\r\n\r\n";
    QByteArray in;
    char buf[256];
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && ::write(fd, hello.data(), size_t(hello.size())) == hello.size())
        for (ssize_t n; !in.contains("\r\n\r\n") && in.size() < 4096 && (n = ::read(fd, buf, sizeof buf)) > 0;)
            in.append(buf, n);
    if (!in.startsWith("HTTP/1.1 101"))
        benchFail("a stalled viewer's handshake failed");
    return fd;
}

// Bytes the kernel holds for loopback TCP sockets: the server's send queues
// (local port) or its peers' receive queues (remote port), /proc/net/tcp.
long long kernelQueued(quint16 port, bool serverSide)
{
    QFile f(QStringLiteral("/proc/net/tcp"));
    long long sum = 0;
    f.open(QIODevice::ReadOnly);
    for (const QByteArray& line : f.readAll().split('\n')) {
        const QList<QByteArray> c = line.simplified().split(' ');
        if (c.size() > 4 && c[serverSide ? 1 : 2].split(':').value(1).toUInt(nullptr, 16) == port)
            sum += c[4].split(':').value(serverSide ? 0 : 1).toLongLong(nullptr, 16);
    }
    return sum;
}

bool wrk(const Serve& s, const char* label)
{
    QProcess w;
    w.start(QStringLiteral("wrk"), {"-t2", "-c16", "-d10s", "-H", "Authorization: Bearer " + QString::fromLatin1(s.token),
                                     QStringLiteral("http://127.0.0.1:%1/api/v1/frame.png").arg(s.port)});
    if (!w.waitForFinished(30000) || w.exitCode() != 0) {
        std::printf("  wrk, %s: FAILED (%s)\n", label, qPrintable(w.errorString()));
        return false;
    }
    std::printf("  wrk, %s:\n", label);
    for (const QByteArray& line : w.readAllStandardOutput().split('\n'))
        if (QRegularExpression(QStringLiteral("Requests/sec|Latency |requests in|Non-2xx|errors")).match(QString::fromLatin1(line)).hasMatch())
            std::printf("    %s\n", line.simplified().constData());
    return true;
}

struct Run {
    double cpuPerFrameMs = 0, cpuPct = 0, periodMs = 0, viewerPeriodMs = 0, benchPct = 0;
    long long frames = 0;
    int shortViewers = 0, worst = 0;   // viewers short of frames; the most one missed
    std::vector<double> sinceFrameTime;
};

Run viewersRun(const QTemporaryDir& dir, int viewers, int frames)
{
    Serve s(dir, true);
    std::vector<std::unique_ptr<Viewer>> vs;
    for (int i = 0; i < viewers; ++i)
        vs.push_back(std::make_unique<Viewer>(s));
    if (!waitFor([&] { return std::all_of(vs.begin(), vs.end(), [](auto& v) { return v->firstFrames >= 0; }); }, 20000))
        benchFail("the viewers were not let in");
    s.warmUp();
    Run r;
    const auto [count0, sum0] = s.exchanges();
    const Proc p0 = s.proc();
    const double bench0 = cpuSeconds();
    const Clock::time_point t0 = Clock::now();
    pause(std::max(0, frames - 3) * 200);   // a frame takes at least 220 ms; few requests meanwhile
    std::pair<long long, double> end = s.exchanges();
    for (int i = 0; i < frames + 20 && end.first < count0 + frames; ++i) {
        pause(500);
        end = s.exchanges();
    }
    const auto [count1, sum1] = end;
    const Proc p1 = s.proc();
    const double wall = ms(Clock::now() - t0) / 1000;
    if ((r.frames = count1 - count0) < frames)
        benchFail("the continuous download fell behind");
    r.cpuPerFrameMs = (p1.cpu - p0.cpu) * 1000 / double(r.frames);
    r.cpuPct = (p1.cpu - p0.cpu) / wall * 100;
    r.benchPct = (cpuSeconds() - bench0) / wall * 100;
    r.periodMs = 100 + (sum1 - sum0) * 1000 / double(r.frames);
    std::printf("  %3d viewers: server RSS %ld -> %ld KiB\n", viewers, p0.rssKiB, p1.rssKiB);
    if (viewers == 0)
        return r;
    s.http("POST", QStringLiteral("/api/v1/stop"));
    const long long last = s.status("frames");
    waitFor([&] { return std::all_of(vs.begin(), vs.end(), [&](auto& v) { return v->frames >= last; }); }, 5000);
    pause(300);
    for (auto& v : vs) {
        const int expected = int(last - v->firstFrames) + (v->firstFrames > 0 ? 1 : 0);   // the latest comes on connecting
        r.shortViewers += v->pngs < expected ? 1 : 0;
        r.worst = std::max(r.worst, expected - v->pngs);
        if (v->arrivals.size() > 2)
            r.viewerPeriodMs += ms(v->arrivals.back() - v->arrivals[1]) / double(v->arrivals.size() - 2) / double(viewers);
        r.sinceFrameTime.insert(r.sinceFrameTime.end(), v->sinceFrameTime.begin(), v->sinceFrameTime.end());
    }
    return r;
}
}   // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int frames = argc > 1 ? std::max(10, std::atoi(argv[1])) : 60;
    QTemporaryDir dir;
    bool ok = true;
    const auto judge = [&](bool met, const char* what) {
        std::printf("  target: %s: %s\n", what, met ? "met" : "MISSED");
        ok = ok && met;
    };
    QFile load(QStringLiteral("/proc/loadavg"));
    load.open(QIODevice::ReadOnly);
    std::printf("corvactl serve on the drop-in simulator; load average %s", load.readAll().constData());

    // The simulator's tour encoded in-process, each picture 10 times.
    double encodeMs = 0, meanBytes = 0, maxBytes = 0;
    {
        SimConfig cfg;
        cfg.bytesPerSecond = 0;   // instant
        Simulator sim(cfg);
        BenchHost host;
        Session session(sim, host);
        session.screen.graticuleDir = QStringLiteral(CORVA_BENCH_GRATICULES);
        for (int f = 0; f < 30; ++f) {
            session.screen.cmdDownLoad_Click();
            const QImage image = session.surface.image().copy();
            const Clock::time_point t = Clock::now();
            QByteArray png;
            for (int i = 0; i < 10; ++i)
                png = encode(image, "png");
            encodeMs += ms(Clock::now() - t) / 300;
            meanBytes += double(png.size()) / 30;
            maxBytes = std::max(maxBytes, double(png.size()));
        }
    }
    std::printf("encode() of a 320x240 picture: %.2f ms mean; PNG %.0f bytes mean, %.0f largest\n", encodeMs, meanBytes, maxBytes);

    {   // 1. Latency, one viewer, the trace telling when each frame's last block was read.
        TraceReader trace(dir.filePath(QStringLiteral("trace")));
        Serve s(dir, true, QString::fromLocal8Bit(trace.path));
        const bool prompt = realtime(true);   // after the server started: it must not inherit it
        Viewer v(s);
        waitFor([&] { return v.arrivals.size() >= 202; }, 210 * 400);
        pause(100);
        realtime(false);
        std::vector<double> fromBlock;
        int unmatched = 0;
        for (size_t i = 1; i < v.arrivals.size(); ++i) {   // the first may be a picture from before we came
            const auto it = std::upper_bound(trace.lastBlock.begin(), trace.lastBlock.end(), v.arrivals[i]);
            const double d = it == trace.lastBlock.begin() ? 1e9 : ms(v.arrivals[i] - *std::prev(it));
            d < 100 ? fromBlock.push_back(d) : void(++unmatched);
        }
        std::printf("latency, 1 viewer, %zu frames (%d unmatched), clock readings %s\n", fromBlock.size(), unmatched,
                    prompt ? "at real-time priority" : "at normal priority: they may be late");
        std::printf("  last block read -> PNG at the viewer: median %.2f ms, 99th %.2f ms, longest %.2f ms\n", pct(fromBlock, 0.5),
                    pct(fromBlock, 0.99), pct(fromBlock, 1));
        std::printf("  frameTime -> PNG at the viewer (ms clocks, %zu frames): median %.0f ms, 99th %.0f ms\n",
                    v.sinceFrameTime.size(), pct(v.sinceFrameTime, 0.5), pct(v.sinceFrameTime, 0.99));
        if (fromBlock.size() < 200)
            benchFail("fewer than 200 frames measured");
        judge(pct(fromBlock, 0.5) <= 2, "median from the last block read within 2 ms");
    }

    // 2. Viewers on the continuous download.
    std::printf("viewers, %d frames each run:\n", frames);
    std::map<int, Run> runs;
    for (int n : {0, 1, 10, 100})
        runs[n] = viewersRun(dir, n, frames);
    std::printf("  viewers  frames  CPU/frame   CPU     period     at a viewer  short of frames  frameTime->PNG med/99th\n");
    for (const auto& [n, r] : runs)
        std::printf("  %-7d  %-6lld  %6.2f ms  %5.1f %%  %6.1f ms  %6.1f ms    %3d (worst -%d)   %.0f / %.0f ms\n", n, r.frames,
                    r.cpuPerFrameMs, r.cpuPct, r.periodMs, r.viewerPeriodMs, r.shortViewers, r.worst, pct(r.sinceFrameTime, 0.5),
                    pct(r.sinceFrameTime, 0.99));
    std::printf("  the bench's 100 clients: %.1f %% of a core\n", runs[100].benchPct);
    judge(runs[100].cpuPct - runs[0].cpuPct <= 15, "100 viewers at most 15 % of a core over none");
    judge(runs[1].shortViewers + runs[10].shortViewers + runs[100].shortViewers == 0, "every viewer got every frame");
    judge(std::abs(runs[100].periodMs / runs[0].periodMs - 1) <= 0.03, "period with 100 viewers within 3 % of none");

    // 3. Ten viewers that stop reading after the handshake, against ten that read.
    std::map<bool, long> growth;
    for (bool stall : {false, true}) {
        Serve s(dir, true);
        s.warmUp();
        const long before = s.rssFloorKiB();
        std::vector<int> fds;
        std::vector<std::unique_ptr<Viewer>> readers;
        for (int i = 0; i < 10; ++i)
            stall ? fds.push_back(stalledViewer(s)) : readers.push_back(std::make_unique<Viewer>(s));
        QElapsedTimer since;
        since.start();
        QString series;   // what piles up shows as growth
        long after = 0, third = 0;
        for (int i = 1; i <= 8; ++i) {
            series += QStringLiteral(" %1").arg(after = s.rssFloorKiB());
            third = i == 3 ? after : third;
        }
        const long long viewers = s.status("viewers"), sent = kernelQueued(s.port, true), held = kernelQueued(s.port, false);
        growth[stall] = after - before;
        std::printf("10 %s viewers: server RSS %ld KiB before, in each second after:%s KiB (%+ld KiB); %lld connected at %.1f s\n",
                    stall ? "stalled" : "reading", before, qPrintable(series), growth[stall], viewers, since.elapsed() / 1000.0);
        if (!stall)
            continue;
        waitFor([&] { return s.status("viewers") == 0; }, 15000);
        std::printf("  the kernel holds %lld bytes in the server's send queues, %lld in the viewers' receive queues; "
                    "all dropped %.1f s after connecting\n", sent, held, since.elapsed() / 1000.0);
        for (int fd : fds)
            ::close(fd);
        judge(viewers == 10 && growth[true] * 1024.0 <= 10 * maxBytes, "RSS growth at most 10 x the largest PNG");
        judge(viewers == 10 && (growth[true] - growth[false]) * 1024.0 <= 10 * maxBytes,
              "RSS growth over that of 10 reading viewers at most 10 x the largest PNG");
        // The kernel's buffers are full after about 2 s; from then on every frame would pile up.
        judge(viewers == 10 && (after - third) * 1024.0 <= 10 * maxBytes, "RSS growth from the 3rd to the 8th second at most 10 x the largest PNG");
    }

    {   // 4. frame.png under wrk, idle after one frame, then during a continuous download.
        Serve idle(dir, false);
        int st = 0;
        idle.http("POST", QStringLiteral("/api/v1/frame"), &st);
        if (st != 200)
            benchFail("POST /api/v1/frame failed");
        ok = wrk(idle, "idle") && ok;
    }
    Serve busy(dir, true);
    busy.warmUp();
    const auto [count0, sum0] = busy.exchanges();
    ok = wrk(busy, "continuous") && ok;
    const auto [count1, sum1] = busy.exchanges();
    std::printf("  period during wrk: %.1f ms over %lld frames\n", 100 + (sum1 - sum0) * 1000 / double(count1 - count0), count1 - count0);
    return ok ? 0 : 1;
}
