#include "instrument.h"
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QtGlobal>
#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

namespace {

constexpr double kPi = 3.14159265358979323846;

// The display modes that have a graticule, toured when no sequence is given.
constexpr int kTour[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 11, 12, 13, 14, 15, 16};
constexpr int kFramesPerTourStop = 6;

// Texts of the instrument's log. None may start with a capital E: the
// program takes that for the end marker.
const char* const kHeader[] = {"Corvameter error log", "Serial CVM00001  Fw 2.07", "Log started 14.03.26",
                               "------------------------"};
const char* const kEvents[] = {"Ref lost input 2",   "Ref restored input 2", "No video input 1",
                               "Audio clip ch 3",    "Audio silence ch 2",   "Gamut alarm RGB",
                               "CRC fault input 1",  "Timecode missing",     "Fan speed low",
                               "PSU 12V low 11.2V",  "Temp high 61 C",       "Format 1080i50 in 2",
                               "Luma over 103%",     "Black below -2%",      "Phase drift ch 1-2",
                               "Loudness -14 LUFS"};

uint32_t mix(uint32_t a, uint32_t b, uint32_t c = 0)
{
    uint32_t h = a * 0x9E3779B1u ^ (b + 0x7F4A7C15u) * 0x85EBCA77u ^ (c + 0x165667B1u) * 0xC2B2AE3Du;
    h ^= h >> 15;
    h *= 0x2C1B3C6Du;
    h ^= h >> 12;
    return h;
}

// The instrument's screen as intensities 0..15, x 1..320, y 0..255.
class Frame {
public:
    static constexpr int W = 321, H = 256;
    void plot(int x, int y, int v)
    {
        if (x < 1 || x >= W || y < 0 || y >= H)
            return;
        uint8_t& p = px_[size_t(y) * W + size_t(x)];
        p = uint8_t(std::max<int>(p, std::clamp(v, 0, 15)));
    }
    void line(double x0, double y0, double x1, double y1, int v)
    {
        const int steps = std::max(1, int(std::ceil(std::max(std::abs(x1 - x0), std::abs(y1 - y0)))));
        for (int i = 0; i <= steps; ++i) {
            const double t = double(i) / steps;
            plot(int(std::lround(x0 + (x1 - x0) * t)), int(std::lround(y0 + (y1 - y0) * t)), v);
        }
    }
    // A bright spot with a dimmer rim, as a trace dwelling on one point.
    void spot(int x, int y, int v)
    {
        for (int dy = -1; dy <= 1; ++dy)
            for (int dx = -1; dx <= 1; ++dx)
                plot(x + dx, y + dy, (dx || dy) ? v / 2 : v);
    }
    uint8_t at(int x, int y) const { return px_[size_t(y) * W + size_t(x)]; }

private:
    std::array<uint8_t, size_t(W) * H> px_{};
};

// Waveform: luma of a line of colour bars that pans across, with a fainter
// trace of a moving scene under it.
void drawWaveform(Frame& f, int frame)
{
    static const double kBars[] = {1.0, 0.66, 0.52, 0.44, 0.31, 0.23, 0.09, 0.0};
    auto rowOf = [](double luma) { return 200.0 - 160.0 * luma; };
    const int pan = (frame * 5) % 320;
    double prev = -1;
    for (int x = 1; x <= 320; ++x) {
        const int pos = (x - 1 + pan) % 320;
        const double y = rowOf(kBars[pos / 40]);
        const int jitter = int(mix(uint32_t(frame), uint32_t(x)) % 3) - 1;
        f.plot(x, int(y) + jitter, 15);
        f.plot(x, int(y) + jitter - 1, 6);
        f.plot(x, int(y) + jitter + 1, 6);
        if (prev >= 0 && prev != y)   // the edge between two bars
            f.line(x, prev, x, y, 4);
        prev = y;
        const double scene = 0.45 + 0.3 * std::sin(x / 23.0 + frame * 0.4) + 0.08 * std::sin(x / 5.0 - frame);
        f.plot(x, int(rowOf(scene)), 3);
        f.plot(x, int(rowOf(scene)) + 1, 2);
    }
}

// Vector display: the six colour-bar targets and the transitions between
// them, turning slowly about the centre as with a drifting subcarrier phase.
void drawVector(Frame& f, int frame)
{
    struct Target { double deg, amp; };
    static const Target kTargets[] = {{167, 0.44}, {283, 0.63}, {241, 0.59}, {61, 0.59}, {103, 0.63}, {347, 0.44}};
    const double cx = 160, cy = 120, scale = 150;
    const double turn = frame * 4.0;
    double px = cx, py = cy;
    for (size_t i = 0; i <= std::size(kTargets); ++i) {
        double x = cx, y = cy;
        if (i < std::size(kTargets)) {
            const double a = (kTargets[i].deg + turn) * kPi / 180.0;
            x = cx + scale * kTargets[i].amp * std::cos(a);
            y = cy - scale * kTargets[i].amp * std::sin(a);
        }
        f.line(px, py, x, y, 3);
        if (i < std::size(kTargets)) {
            f.spot(int(std::lround(x)), int(std::lround(y)), 15);
            for (uint32_t n = 0; n < 6; ++n) {   // noise around the target
                const uint32_t h = mix(uint32_t(frame), uint32_t(i), n);
                f.plot(int(std::lround(x)) + int(h % 7) - 3, int(std::lround(y)) + int((h >> 8) % 7) - 3, 9);
            }
        }
        px = x;
        py = y;
    }
    f.spot(int(cx), int(cy), 12);
}

// Audio: peak-hold marks above the program's level bars, a phase scope in the
// middle and a correlation meter under it.
void drawAudio(Frame& f, int frame)
{
    for (int ch = 0; ch < protocol::kLevelBarCount; ++ch) {
        const int left = protocol::kLevelBars[ch].left;
        int peak = protocol::kLevelBarBase;
        for (int back = 1; back <= 8; ++back)
            peak = std::min<int>(peak, Instrument::levelFor(frame - back, ch));
        for (int x = left - 1; x <= left + protocol::kLevelBarWidth; ++x)
            f.plot(x, peak - 2, 15);
    }
    const double cx = 160, cy = 110, k = 42;
    const double phase = frame * 0.21;
    for (int i = 0; i < 600; ++i) {
        const double t = i * 2 * kPi / 600;
        const double l = std::sin(3 * t + phase) * (0.6 + 0.3 * std::sin(frame * 0.37));
        const double r = std::sin(3 * t + phase + 0.5 + 0.4 * std::sin(frame * 0.13)) * (0.6 + 0.3 * std::sin(frame * 0.37 + 1.3));
        f.plot(int(std::lround(cx + (l - r) * k)), int(std::lround(cy - (l + r) * k)), i % 3 ? 5 : 12);
    }
    f.line(100, 224, 220, 224, 4);
    const int needle = 160 + int(std::lround(55 * std::cos(0.5 + 0.4 * std::sin(frame * 0.13))));
    for (int y = 220; y <= 228; ++y)
        f.plot(needle, y, 15);
}

void render(Frame& f, int frame, int mode)
{
    const int m = mode & protocol::kModeMask;
    if (protocol::isVectorMode(m))
        drawVector(f, frame);
    else if (protocol::isAudioMode(m))
        drawAudio(f, frame);
    else
        drawWaveform(f, frame);
}

bool parseCount(const QString& text, long long& out)
{
    bool ok = false;
    const long long v = text.toLongLong(&ok, 0);
    if (!ok || v < 0)
        return false;
    out = v;
    return true;
}

} // namespace

// ---------------------------------------------------------------- configuration

SimFaults SimFaults::parse(const QString& text)
{
    SimFaults f;
    static const QRegularExpression sep(QStringLiteral("[,;\\s]+"));
    for (const QString& item : text.split(sep, Qt::SkipEmptyParts)) {
        const qsizetype eq = item.indexOf(u'=');
        const QString name = (eq < 0 ? item : item.left(eq)).toLower();
        const QString value = eq < 0 ? QString() : item.mid(eq + 1);
        long long n = 0;
        const bool hasValue = eq >= 0;
        const bool numberOk = hasValue && parseCount(value, n);
        auto count = [&](int& slot) {
            if (hasValue && !numberOk)
                return false;
            slot = int(std::min<long long>(hasValue ? n : 0, 1 << 30));
            return true;
        };
        bool ok = true;
        if (name == u"nodevice" && !hasValue)
            f.noDevice = true;
        else if (name == u"noopen" && !hasValue)
            f.noOpen = true;
        else if (name == u"stall-after" && numberOk)
            f.stallAfter = n;
        else if (name == u"unplug-after" && numberOk)
            f.unplugAfter = n;
        else if (name == u"replug-after" && numberOk)
            f.replugAfterMs = n;
        else if (name == u"short-block" && (!hasValue || numberOk))
            f.shortBy = int(std::min<long long>(hasValue ? n : 100, Instrument::kBlockBytes));
        else if (name == u"fail-write")
            ok = count(f.failWriteAfter);
        else if (name == u"fail-timeouts")
            ok = count(f.failTimeoutsAfter);
        else if (name == u"fail-queue")
            ok = count(f.failQueueAfter);
        else if (name == u"fail-read")
            ok = count(f.failReadAfter);
        else if (name == u"fail-close")
            ok = count(f.failCloseAfter);
        else
            ok = false;
        if (!ok)
            f.unknown << item;
    }
    return f;
}

SimConfig SimConfig::fromEnvironment()
{
    SimConfig c;
    if (qEnvironmentVariableIsSet("CORVASIM_RATE")) {
        bool ok = false;
        const double r = qEnvironmentVariable("CORVASIM_RATE").toDouble(&ok);
        if (ok && std::isfinite(r) && r >= 0)
            c.bytesPerSecond = r == 0 ? 0 : std::max(r, 100.0);
        else
            qWarning("corvasim: CORVASIM_RATE is not a rate in bytes per second; using %g", c.bytesPerSecond);
    }
    if (qEnvironmentVariableIsSet("CORVASIM_LATENCY")) {
        bool ok = false;
        const int ms = qEnvironmentVariable("CORVASIM_LATENCY").toInt(&ok);
        if (ok && ms >= 0 && ms <= 255)
            c.latencyMs = ms;
        else
            qWarning("corvasim: CORVASIM_LATENCY is not 0 to 255 ms; using %d", c.latencyMs);
    }
    for (const QString& m : qEnvironmentVariable("CORVASIM_MODES").split(u',', Qt::SkipEmptyParts)) {
        bool ok = false;
        const int v = m.trimmed().toInt(&ok, 0);
        if (ok && v >= 0 && v <= 255)
            c.modes.push_back(v);
        else
            qWarning("corvasim: CORVASIM_MODES entry \"%s\" is not a byte; skipped", qPrintable(m));
    }
    if (qEnvironmentVariableIsSet("CORVASIM_LOG_RECORDS")) {
        bool ok = false;
        const int n = qEnvironmentVariable("CORVASIM_LOG_RECORDS").toInt(&ok);
        if (ok)
            c.logRecords = std::max(n, -1);
        else
            qWarning("corvasim: CORVASIM_LOG_RECORDS is not a number; using %d", c.logRecords);
    }
    c.faults = qEnvironmentVariable("CORVASIM_FAULTS");
    c.traceFile = qEnvironmentVariable("CORVASIM_TRACE");
    c.controlFile = qEnvironmentVariable("CORVASIM_CONTROL");
    return c;
}

SimControl SimControl::parse(const QByteArray& text)
{
    SimControl c;
    for (const QByteArray& line : text.split('\n')) {
        const QList<QByteArray> w = line.simplified().split(' ');
        if (w.value(0) == "unplugged") {
            c.unplugged = true;
        } else if (w.value(0) == "silence") {
            for (const QByteArray& b : w.mid(1))
                if (const int bar = b.toInt(); bar >= 1 && bar <= protocol::kLevelBarCount)
                    c.silent |= 1u << (bar - 1);
        } else if (w.value(0) == "log-records" && w.size() == 2) {
            bool ok = false;
            const int n = w[1].toInt(&ok);
            if (ok)
                c.logRecords = std::max(n, -1);
        }
    }
    return c;
}

const SimControl& Instrument::control() const
{
    if (cfg_.controlFile.isEmpty())
        return control_;
    // Looked at no more than every 20 ms: the wait loops ask often.
    const Clock::time_point now = Clock::now();
    if (now - controlLooked_ < std::chrono::milliseconds(20))
        return control_;
    controlLooked_ = now;
    const QFileInfo info(cfg_.controlFile);
    const long long stamp = info.exists() ? info.lastModified().toMSecsSinceEpoch() * 1000003 + info.size() : -1;
    if (stamp == controlStamp_)
        return control_;
    controlStamp_ = stamp;
    QFile f(cfg_.controlFile);
    control_ = f.open(QIODevice::ReadOnly) ? SimControl::parse(f.readAll()) : SimControl{};
    return control_;
}

// ---------------------------------------------------------------- content

uint8_t Instrument::modeByteFor(const SimConfig& cfg, int frameIndex)
{
    const size_t i = size_t(std::max(frameIndex, 0));
    if (!cfg.modes.empty())
        return uint8_t(cfg.modes[i % cfg.modes.size()]);
    // The instrument uses the top three bits for flags of its own; they change
    // from frame to frame and mean nothing to the display mode.
    const int mode = kTour[(i / kFramesPerTourStop) % std::size(kTour)];
    return uint8_t(mode | int((i % 8) << 5));
}

uint8_t Instrument::levelFor(int frameIndex, int channel)
{
    // Programme-like levels: the two channels of a pair move together, with
    // some flicker of their own. Smaller rows are louder.
    const double pair = channel < 2 ? 0.0 : 2.1;
    const double loud = 0.55 + 0.3 * std::sin(frameIndex * 0.23 + pair) + 0.1 * std::sin(frameIndex * 0.71 + channel);
    const double flicker = double(mix(uint32_t(frameIndex), uint32_t(channel), 7) % 100) / 100.0 * 0.12;
    const double a = std::clamp(loud + flicker, 0.0, 1.0);
    return uint8_t(std::clamp(int(std::lround(206 - 176 * a)), 30, 206));
}

QByteArray Instrument::screenBlock(int frameIndex, int blockIndex, int mode)
{
    Frame f;
    render(f, frameIndex, mode);
    const int b = std::clamp(blockIndex, 0, 4);
    QByteArray out(kBlockBytes, '\0');
    for (int c = 0; c < 64; ++c) {
        const int x = 320 - (64 * b + c);
        // Offset 0 of a column carries no pixels.
        for (int r = 1; r < 128; ++r)
            out[c * 128 + r] = char((f.at(x, 2 * r) << 4) | f.at(x, 2 * r + 1));
    }
    if (b == protocol::kScreenBlocks - 1)   // the audio levels ride along with every frame's last block
        for (int ch = 0; ch < protocol::kLevelBarCount; ++ch)
            out[protocol::kLevelBars[ch].position - 1] = char(levelFor(frameIndex, ch));
    return out;
}

QByteArray Instrument::logRecord(int index, const SimConfig& cfg)
{
    const int i = std::max(index, 0);
    const bool end = cfg.logRecords >= 0 && i >= cfg.logRecords;
    // Every record is padded to one length: the program reads each record
    // with the count it polled for an earlier one.
    const int length = kRecordBytes;
    const int width = length - 7;
    QByteArray body;
    if (end) {
        body = "End of log";
    } else {
        if (i < int(std::size(kHeader))) {
            body = kHeader[i];
        } else {
            const int secs = (8 * 3600 + i * 397 + int(mix(uint32_t(i), 3) % 60)) % 86400;
            const QByteArray time = QString::asprintf("%02d:%02d:%02d", secs / 3600, secs / 60 % 60, secs % 60).toLatin1();
            body = QByteArray(kEvents[mix(uint32_t(i), 11) % std::size(kEvents)]).leftJustified(width - time.size(), ' ', true) + time;
        }
    }
    body = body.leftJustified(width, ' ', true);
    QByteArray rec = QByteArray::number(i % 10000).rightJustified(4, '0') + ' ' + body;
    return rec.leftJustified(length - 2, ' ', true) + "\r\n";
}

// ---------------------------------------------------------------- life cycle

Instrument::Instrument(SimConfig cfg)
    : cfg_(std::move(cfg)), faults_(SimFaults::parse(cfg_.faults)), latencyMs_(cfg_.latencyMs)
{
    if (!faults_.unknown.isEmpty())
        qWarning("corvasim: CORVASIM_FAULTS: not understood: %s", qPrintable(faults_.unknown.join(u' ')));
    if (cfg_.traceFile == u"-") {
        trace_ = stderr;
    } else if (!cfg_.traceFile.isEmpty()) {
        // Binary: LF line ends on every platform, for the scripts that read it.
        trace_ = std::fopen(QFile::encodeName(cfg_.traceFile).constData(), "ab");
        ownTrace_ = trace_ != nullptr;
        if (!trace_)
            qWarning("corvasim: cannot open trace file %s", qPrintable(cfg_.traceFile));
    }
}

Instrument::~Instrument()
{
    if (ownTrace_)
        std::fclose(trace_);
}

void Instrument::trace(const QString& line, long status)
{
    if (!trace_)
        return;
    QByteArray out = line.toLatin1();
    if (status != 0)
        out += " [status " + QByteArray::number(qlonglong(status)) + ']';
    out += '\n';
    std::fwrite(out.constData(), 1, size_t(out.size()), trace_);
    std::fflush(trace_);
}

bool Instrument::present(Clock::time_point t) const
{
    if (faults_.noDevice || control().unplugged)
        return false;
    if (t < unplugAt_)
        return true;
    return faults_.replugAfterMs >= 0 && t - unplugAt_ >= std::chrono::milliseconds(faults_.replugAfterMs);
}

// ---------------------------------------------------------------- commands

void Instrument::hostWrite(const uint8_t* b, size_t n)
{
    if (b && n == 2 && b[1] == protocol::kCommandEnd)
        command(b[0]);
}

void Instrument::command(uint8_t code)
{
    switch (code) {
    case protocol::kScreenStart:   // start of a screen: the mode byte
        queue(QByteArray(1, char(modeByteFor(cfg_, frames_))));
        ++frames_;
        blockInFrame_ = 0;
        break;
    case protocol::kScreenEnd:   // end of a screen
        blockInFrame_ = 0;
        break;
    case protocol::kScreenBlock: { // the next block of the current screen
        const int frame = std::max(0, frames_ - 1);
        QByteArray block = screenBlock(frame, blockInFrame_ % 5, modeByteFor(cfg_, frame));
        ++blockInFrame_;
        block.chop(faults_.shortBy);
        if (faults_.stallAfter >= 0)
            block.truncate(qsizetype(std::clamp<long long>(faults_.stallAfter - blockBytesSent_, 0, block.size())));
        bool unplug = false;
        if (faults_.unplugAfter >= 0 && unplugAt_ == Clock::time_point::max()) {
            const long long left = faults_.unplugAfter - blockBytesSent_;
            unplug = left < block.size();
            block.truncate(qsizetype(std::clamp<long long>(left, 0, block.size())));
        }
        if (blockInFrame_ == protocol::kScreenBlocks)
            for (int ch = 0; ch < protocol::kLevelBarCount; ++ch)
                if (control().silent & (1u << ch) && block.size() >= protocol::kLevelBars[ch].position)
                    block[protocol::kLevelBars[ch].position - 1] = char(protocol::kLevelBarBase);
        blockBytesSent_ += block.size();
        queue(block);
        if (unplug) {   // gone once its last byte is out of the instrument
            unplugAt_ = block.isEmpty() ? Clock::now() : arrivalOf(queued_ - 1);
            trace(QStringLiteral("Unplugged"));
        }
        break;
    }
    case protocol::kLogStart:   // start of the log
        logCursor_ = 0;
        break;
    case protocol::kLogRecord: { // the next log record
        SimConfig c = cfg_;
        if (erased_)
            c.logRecords = 0;
        if (control().logRecords != -2)   // records written after an erase too
            c.logRecords = control().logRecords;
        queue(logRecord(logCursor_, c));
        ++logCursor_;
        break;
    }
    case protocol::kLogErase:   // erase the log
        erased_ = true;
        break;
    default:
        break;
    }
}

// ---------------------------------------------------------------- the stream and the chip

Instrument::Clock::duration Instrument::linkTime(long long bytes) const
{
    if (cfg_.bytesPerSecond <= 0)
        return Clock::duration::zero();
    return std::chrono::ceil<Clock::duration>(std::chrono::duration<double>(double(bytes) / cfg_.bytesPerSecond));
}

void Instrument::queue(const QByteArray& bytes)
{
    if (bytes.isEmpty())
        return;
    // One line: a new answer starts when the previous one is through.
    Clock::time_point start = Clock::now();
    if (!chunks_.empty())
        start = std::max(start, chunks_.back().start + linkTime(chunks_.back().end - chunks_.back().begin));
    chunks_.push_back({queued_, queued_ + bytes.size(), start});
    queued_ += bytes.size();
    data_ += bytes;
}

Instrument::Clock::time_point Instrument::arrivalOf(long long offset) const
{
    for (const Chunk& c : chunks_)
        if (offset >= c.begin && offset < c.end)
            return c.start + linkTime(offset - c.begin + 1);
    return Clock::time_point::max();
}

long long Instrument::arrivedBy(Clock::time_point t) const
{
    long long arrived = sent_;
    for (const Chunk& c : chunks_) {
        if (t < c.start)
            break;
        if (cfg_.bytesPerSecond <= 0 || t >= c.start + linkTime(c.end - c.begin)) {
            arrived = c.end;
            continue;
        }
        const double secs = std::chrono::duration<double>(t - c.start).count();
        arrived = std::clamp<long long>(c.begin + (long long)(secs * cfg_.bytesPerSecond), c.begin, c.end);
        break;
    }
    return std::max(arrived, sent_);
}

std::optional<Instrument::Packet> Instrument::packetFrom(long long begin, Clock::time_point lastDue) const
{
    if (begin >= queued_)
        return std::nullopt;
    // A full packet goes as soon as its bytes are in. A short one waits for
    // the latency timer, which starts with its first byte or with the packet
    // before, whichever is later; whatever is in by then goes with it.
    const auto latency = cfg_.bytesPerSecond > 0 ? std::chrono::milliseconds(std::max(latencyMs_, 1))
                                                 : std::chrono::milliseconds(0);
    const Clock::time_point timeout = std::max(lastDue, arrivalOf(begin)) + latency;
    if (queued_ - begin >= kPacketData) {
        const Clock::time_point full = arrivalOf(begin + kPacketData - 1);
        if (full <= timeout)
            return Packet{begin, begin + kPacketData, std::max(full, lastDue)};
    }
    const long long end = std::clamp<long long>(arrivedBy(timeout), begin + 1, begin + kPacketData);
    return Packet{begin, end, timeout};
}

Instrument::Clock::time_point Instrument::dueWhen(long long bytes, long long packets, bool stopAtShort) const
{
    long long from = sent_;
    Clock::time_point last = lastDue_;
    for (long long n = 1; n <= packets; ++n) {
        const auto p = packetFrom(from, last);
        if (!p)
            break;
        bytes -= p->end - p->begin;
        if (bytes <= 0 || n == packets || (stopAtShort && p->end - p->begin < kPacketData))
            return p->due;
        from = p->end;
        last = p->due;
    }
    return Clock::time_point::max();
}

QByteArray Instrument::takePacket(const Packet& p)
{
    const qsizetype n = qsizetype(p.end - p.begin);
    QByteArray out = data_.left(n);
    data_.remove(0, n);
    sent_ = p.end;
    lastDue_ = p.due;
    while (!chunks_.empty() && chunks_.front().end <= sent_)
        chunks_.pop_front();
    return out;
}

QByteArray Instrument::takeArrived(Clock::time_point t)
{
    const long long end = std::min(arrivedBy(t), queued_);
    QByteArray out = data_.left(qsizetype(end - sent_));
    data_.remove(0, out.size());
    sent_ = end;
    while (!chunks_.empty() && chunks_.front().end <= sent_)
        chunks_.pop_front();
    return out;
}

void Instrument::purge()
{
    data_.clear();
    chunks_.clear();
    sent_ = queued_ = 0;
}
