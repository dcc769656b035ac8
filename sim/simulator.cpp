#include "simulator.h"
#include <QtGlobal>
#include <algorithm>
#include <cstring>
#include <limits>

Simulator::Simulator(SimConfig cfg) : inst_(std::move(cfg)) {}

int Simulator::framesStarted() const
{
    std::lock_guard lock(mutex_);
    return inst_.framesStarted();
}

bool Simulator::isOpen() const
{
    std::lock_guard lock(mutex_);
    return open_;
}

bool Simulator::failNow(int after, int& count)
{
    if (after < 0)
        return false;
    return count++ >= after;
}

// An open handle on an instrument still attached, and no fault due.
FT_STATUS Simulator::check(FT_HANDLE h, int after, int& count)
{
    if (!valid(h))
        return FT_INVALID_HANDLE;
    if (!inst_.present(Clock::now()))
        return FT_IO_ERROR;
    return failNow(after, count) ? FT_IO_ERROR : FT_OK;
}

void Simulator::pump(Clock::time_point now)
{
    while (const auto p = inst_.nextPacket()) {
        if (p->due > now)
            break;
        rx_ += inst_.takePacket(*p);
    }
}

FT_STATUS Simulator::ListDevices(void* arg1, void* arg2, DWORD flags)
{
    std::lock_guard lock(mutex_);
    const auto index = quintptr(arg1);
    FT_STATUS st = FT_OK;
    if (!inst_.present(Clock::now()))
        st = FT_DEVICE_NOT_FOUND;
    else if (flags != (FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER) || !arg2)
        st = FT_INVALID_PARAMETER;
    else if (index != 0)
        st = FT_DEVICE_NOT_FOUND;   // one instrument on the bus
    else
        std::memcpy(arg2, kSerial, std::strlen(kSerial) + 1);
    trace(QStringLiteral("ListDevices %1 0x%2").arg(index).arg(QString::number(flags, 16).rightJustified(8, u'0').toUpper()), st);
    return st;
}

FT_STATUS Simulator::OpenEx(void* arg1, DWORD flags, FT_HANDLE* h)
{
    std::lock_guard lock(mutex_);
    const char* serial = static_cast<const char*>(arg1);
    const QByteArray name = serial ? QByteArray(serial, qsizetype(strnlen(serial, 256))) : QByteArray("(null)");
    FT_STATUS st = FT_OK;
    if (!serial || !h)
        st = FT_INVALID_PARAMETER;
    else if (!inst_.present(Clock::now()))
        st = FT_DEVICE_NOT_FOUND;
    else if (inst_.faults().noOpen || open_)
        st = FT_DEVICE_NOT_OPENED;   // held by someone else, or by ourselves
    else if (flags != FT_OPEN_BY_SERIAL_NUMBER || name != kSerial)
        st = FT_DEVICE_NOT_FOUND;
    if (st == FT_OK) {
        ++opens_;
        // A fresh value per open, so a handle kept from an earlier open fails.
        handle_ = reinterpret_cast<FT_HANDLE>(quintptr(0xC0F0000) + quintptr(opens_) * 16);
        open_ = true;
        readTimeout_ = 0;
        inst_.purge();   // the vendor's library purges on open
        rx_.clear();
        *h = handle_;
    }
    trace(QStringLiteral("OpenEx %1 %2").arg(QString::fromLatin1(name)).arg(flags), st);
    return st;
}

FT_STATUS Simulator::Write(FT_HANDLE h, void* buffer, DWORD n, DWORD* written)
{
    std::lock_guard lock(mutex_);
    const auto* b = static_cast<const uint8_t*>(buffer);
    QString line = QStringLiteral("Write");
    for (DWORD i = 0; b && i < std::min<DWORD>(n, 16); ++i)
        line += QStringLiteral(" %1").arg(b[i], 2, 16, QChar(u'0')).toUpper();
    if (n > 16)
        line += QStringLiteral(" ... (%1 bytes)").arg(n);
    FT_STATUS st = FT_OK;
    if (!valid(h))
        st = FT_INVALID_HANDLE;
    else if ((!b && n) || !written)
        st = FT_INVALID_PARAMETER;
    else
        st = check(h, inst_.faults().failWriteAfter, writes_);
    if (written)
        *written = st == FT_OK ? n : 0;
    trace(line, st);
    if (st == FT_OK) {
        pump(Clock::now());   // what came before the new answer stays ahead of it
        inst_.hostWrite(b, n);
        wake_.notify_all();
    }
    return st;
}

FT_STATUS Simulator::SetTimeouts(FT_HANDLE h, ULONG r, ULONG w)
{
    std::lock_guard lock(mutex_);
    // A setting of the library's own: it does not ask the device, not even
    // whether it is still there.
    FT_STATUS st = FT_OK;
    if (!valid(h))
        st = FT_INVALID_HANDLE;
    else if (failNow(inst_.faults().failTimeoutsAfter, timeoutCalls_))
        st = FT_IO_ERROR;
    else
        readTimeout_ = r;
    trace(QStringLiteral("SetTimeouts %1 %2").arg(r).arg(w), st);
    return st;
}

FT_STATUS Simulator::GetQueueStatus(FT_HANDLE h, DWORD* q)
{
    std::lock_guard lock(mutex_);
    FT_STATUS st = FT_OK;
    if (!valid(h))
        st = FT_INVALID_HANDLE;
    else if (!q)
        st = FT_INVALID_PARAMETER;
    else
        st = check(h, inst_.faults().failQueueAfter, queueCalls_);
    if (st == FT_OK) {
        pump(Clock::now());
        *q = DWORD(rx_.size());
    }
    trace(st == FT_OK ? QStringLiteral("GetQueueStatus -> %1").arg(*q) : QStringLiteral("GetQueueStatus"), st);
    return st;
}

FT_STATUS Simulator::Read(FT_HANDLE h, void* buffer, DWORD n, DWORD* got)
{
    std::unique_lock lock(mutex_);
    if (got)
        *got = 0;
    FT_STATUS st = FT_OK;
    if (!valid(h))
        st = FT_INVALID_HANDLE;
    else if ((!buffer && n) || !got)
        st = FT_INVALID_PARAMETER;
    else
        st = check(h, inst_.faults().failReadAfter, reads_);
    if (st != FT_OK) {
        trace(QStringLiteral("Read %1").arg(n), st);
        return st;
    }
    // With a time-out: until n bytes are in or the time is up. Without one:
    // until n bytes are in, or all that is on its way has come.
    const bool timed = readTimeout_ > 0;
    const auto deadline = timed ? Clock::now() + std::chrono::milliseconds(readTimeout_) : Clock::time_point::max();
    for (;;) {
        const auto t = Clock::now();
        pump(t);
        if (qsizetype(n) <= rx_.size() || t >= deadline)
            break;
        if (!inst_.nextPacket() && !timed)
            break;
        // Until the packet that completes the read, or the last one queued.
        auto until = std::min(deadline, inst_.unplugTime());
        const auto due = inst_.dueWhen(qsizetype(n) - rx_.size(), std::numeric_limits<long long>::max(), false);
        const auto last = inst_.dueWhen(std::numeric_limits<long long>::max(), std::numeric_limits<long long>::max(), false);
        // "Never" stays never: time_point::max() plus a microsecond overflows,
        // into the past on some platforms and into an endless wait on others.
        if (const auto next = std::min(due, last); next != Clock::time_point::max())
            until = std::min(until, std::max(next, t) + std::chrono::microseconds(1));
        wake_.wait_until(lock, until);
        if (!valid(h) || !inst_.present(Clock::now())) {   // closed from elsewhere, or unplugged, while we slept
            trace(QStringLiteral("Read %1").arg(n), FT_IO_ERROR);
            return FT_IO_ERROR;
        }
    }
    const qsizetype take = std::min<qsizetype>(qsizetype(n), rx_.size());
    if (take > 0) {
        std::memcpy(buffer, rx_.constData(), size_t(take));
        rx_.remove(0, take);
    }
    *got = DWORD(take);
    trace(QStringLiteral("Read %1 -> %2").arg(n).arg(take), st);
    return st;
}

FT_STATUS Simulator::Close(FT_HANDLE h)
{
    std::lock_guard lock(mutex_);
    FT_STATUS st = FT_OK;
    if (!valid(h)) {
        st = FT_INVALID_HANDLE;
    } else {
        if (failNow(inst_.faults().failCloseAfter, closes_))
            st = FT_IO_ERROR;
        open_ = false;
        inst_.purge();
        rx_.clear();
        wake_.notify_all();
    }
    trace(QStringLiteral("Close"), st);
    return st;
}
