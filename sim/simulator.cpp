#include "simulator.h"
#include <QStringList>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <thread>

namespace {
const char kSerial[] = "CVM00001";
// The display modes the instrument cycles through when no sequence is given.
const int kTour[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
const char* const kErrors[] = {"Ref lost input 2", "Power supply warn", "Fan speed low",
                               "Input 1 no signal", "Audio clip ch 3", "Timecode missing"};
}

SimConfig SimConfig::fromEnvironment()
{
    SimConfig c;
    if (qEnvironmentVariableIsSet("CORVASIM_RATE"))
        c.bytesPerSecond = std::max(1.0e3, qEnvironmentVariable("CORVASIM_RATE").toDouble());
    for (const QString& m : qEnvironmentVariable("CORVASIM_MODES").split(',', Qt::SkipEmptyParts))
        c.modes.push_back(m.toInt() & 0xFF);
    if (qEnvironmentVariableIsSet("CORVASIM_LOG_RECORDS"))
        c.logRecords = qEnvironmentVariable("CORVASIM_LOG_RECORDS").toInt();
    c.faults = qEnvironmentVariable("CORVASIM_FAULTS");
    c.traceFile = qEnvironmentVariable("CORVASIM_TRACE");
    return c;
}

Simulator::Simulator(SimConfig cfg) : cfg_(std::move(cfg))
{
    if (!cfg_.traceFile.isEmpty())
        trace_ = std::fopen(cfg_.traceFile.toLocal8Bit().constData(), "a");
}

Simulator::~Simulator()
{
    if (trace_)
        std::fclose(trace_);
}

void Simulator::trace(const QString& line)
{
    if (!trace_)
        return;
    std::fputs(line.toLatin1().constData(), trace_);
    std::fputc('\n', trace_);
    std::fflush(trace_);
}

uint8_t Simulator::modeByteFor(const SimConfig& cfg, int frameIndex)
{
    if (!cfg.modes.empty())
        return uint8_t(cfg.modes[size_t(frameIndex) % cfg.modes.size()]);
    return uint8_t(kTour[(frameIndex / 4) % std::size(kTour)]);
}

QByteArray Simulator::screenBlock(int frame, int block, int mode)
{
    // 64 columns of 128 bytes per block, right to left; each byte packs two
    // rows, the upper pixel in the high nibble.
    QByteArray out(8192, '\0');
    const double phase = frame * 0.25;
    for (int col = 0; col < 64; ++col) {
        const int x = 319 - (block * 64 + col);
        int traceRow;
        if ((mode & 31) <= 5)
            traceRow = 120 + int(70 * std::sin(x / 25.0 + phase));
        else if ((mode & 31) <= 10)
            traceRow = 120 + int(90 * std::sin(x / 16.0 + phase) * std::cos(x / 41.0));
        else
            traceRow = 200 - int(150 * (0.5 + 0.5 * std::sin(phase + x / 60.0)));
        for (int b = 0; b < 128; ++b) {
            const int y = 2 * b;
            auto level = [&](int row) { return std::abs(row - traceRow) <= 1 ? 15 : std::abs(row - traceRow) <= 3 ? 8 : 0; };
            out[col * 128 + b] = char((level(y) << 4) | level(y + 1));
        }
    }
    if (block == 4)
        for (int i = 0; i < 4; ++i)   // level values for the audio bars of the next frame
            out[119 + 2 * i] = char(int(100 + 90 * std::sin(phase + i)) & 0xFF);
    return out;
}

QByteArray Simulator::logRecord(int index, const SimConfig& cfg)
{
    const bool end = cfg.logRecords >= 0 && index >= cfg.logRecords;
    QByteArray text = end ? QByteArray("End of log") : QByteArray(kErrors[index % std::size(kErrors)]);
    QByteArray rec = QByteArray::number(index + 1).rightJustified(4, '0') + ' ' + (end ? "E " : "") + text;
    rec = rec.leftJustified(36, ' ');
    return rec + "\r\n";
}

void Simulator::queue(const QByteArray& bytes)
{
    // Whatever has arrived stays; the new answer starts arriving now.
    const DWORD have = arrived();
    pending_ = pending_.left(int(have)) + pending_.mid(int(have)) + bytes;
    sendBase_ = int(have);
    sendStart_ = Clock::now();
}

DWORD Simulator::arrived() const
{
    const double secs = std::chrono::duration<double>(Clock::now() - sendStart_).count();
    const long long packets = (long long)(secs * cfg_.bytesPerSecond / 64.0);
    return DWORD(std::min<long long>(pending_.size(), sendBase_ + packets * 64));
}

FT_STATUS Simulator::ListDevices(void* arg1, void* arg2, DWORD flags)
{
    trace(QStringLiteral("ListDevices %1 0x%2").arg(quintptr(arg1)).arg(flags, 8, 16, QChar('0')));
    if (cfg_.faults.contains("nodevice") || arg1 != nullptr || flags != 0x40000001u)
        return FT_DEVICE_NOT_FOUND;
    std::memcpy(arg2, kSerial, sizeof kSerial);
    return FT_OK;
}

FT_STATUS Simulator::OpenEx(void* arg1, DWORD flags, FT_HANDLE* h)
{
    trace(QStringLiteral("OpenEx %1 %2").arg(QString::fromLatin1(static_cast<const char*>(arg1))).arg(flags));
    if (open_ || flags != 1 || std::strcmp(static_cast<const char*>(arg1), kSerial) != 0 ||
        cfg_.faults.contains("noopen"))
        return FT_DEVICE_NOT_OPENED;
    open_ = true;
    pending_.clear();
    sendBase_ = 0;
    *h = handle();
    return FT_OK;
}

FT_STATUS Simulator::Write(FT_HANDLE h, void* buffer, DWORD n, DWORD* written)
{
    const auto* b = static_cast<const uint8_t*>(buffer);
    trace(n == 2 ? QStringLiteral("Write %1 %2").arg(b[0], 2, 16).arg(b[1], 2, 16).toUpper().replace("WRITE", "Write")
                 : QStringLiteral("Write len %1").arg(n));
    *written = 0;
    if (!valid(h))
        return FT_INVALID_HANDLE;
    *written = n;
    if (n != 2 || b[1] != 240)
        return FT_OK;   // not a command frame: the instrument ignores it
    switch (b[0]) {
    case 242: queue(QByteArray(1, char(modeByteFor(cfg_, frames_)))); ++frames_; blockInFrame_ = 0; break;
    case 246: {
        const int frame = std::max(0, frames_ - 1);
        queue(screenBlock(frame, blockInFrame_ % 5, modeByteFor(cfg_, frame)));
        ++blockInFrame_;
        break;
    }
    case 248: logCursor_ = 0; break;
    case 250: {
        SimConfig c = cfg_;
        if (erased_)
            c.logRecords = 0;
        queue(logRecord(logCursor_++, c));
        break;
    }
    case 252: erased_ = true; break;
    default: break;
    }
    return FT_OK;
}

FT_STATUS Simulator::SetTimeouts(FT_HANDLE h, ULONG r, ULONG w)
{
    trace(QStringLiteral("SetTimeouts %1 %2").arg(r).arg(w));
    if (!valid(h))
        return FT_INVALID_HANDLE;
    readTimeout_ = r;
    return FT_OK;
}

FT_STATUS Simulator::GetQueueStatus(FT_HANDLE h, DWORD* q)
{
    if (!valid(h))
        return FT_INVALID_HANDLE;
    *q = arrived();
    trace(QStringLiteral("GetQueueStatus -> %1").arg(*q));
    return FT_OK;
}

FT_STATUS Simulator::Read(FT_HANDLE h, void* buffer, DWORD n, DWORD* got)
{
    *got = 0;
    if (!valid(h)) {
        trace(QStringLiteral("Read %1 -> invalid").arg(n));
        return FT_INVALID_HANDLE;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(readTimeout_);
    while (arrived() < n && arrived() < DWORD(pending_.size()) && (readTimeout_ == 0 || Clock::now() < deadline))
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    const DWORD take = std::min(n, arrived());
    std::memcpy(buffer, pending_.constData(), take);
    pending_.remove(0, int(take));
    sendBase_ = std::max(0, sendBase_ - int(take));
    *got = take;
    trace(QStringLiteral("Read %1 -> %2").arg(n).arg(take));
    return FT_OK;
}

FT_STATUS Simulator::Close(FT_HANDLE h)
{
    trace(QStringLiteral("Close"));
    if (!valid(h))
        return FT_INVALID_HANDLE;
    open_ = false;
    return FT_OK;
}
