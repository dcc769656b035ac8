#include "link.h"
#include "protocol.h"
#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <algorithm>
#include <chrono>
#include <thread>

Link::Link(D2xx& d2xx, StatusLog& status, QObject* parent)
    : QObject(parent), d2xx_(d2xx), status_(status)
{
    Timer1.setTimerType(Qt::PreciseTimer);
    Timer1.setSingleShot(false);
    connect(&Timer1, &QTimer::timeout, this, &Link::Timer1_Timer);
    nowUs = [] {
        using namespace std::chrono;
        return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
    };
    pauseUs = [](int64_t us) { std::this_thread::sleep_for(std::chrono::microseconds(us)); };
}

QString Link::OpenResult::message() const
{
    switch (outcome) {
    case OpenOutcome::ListFailed: return QStringLiteral("List Device Failed");
    case OpenOutcome::OpenExFailed:
    case OpenOutcome::OpenExRefused: return QStringLiteral("OpenEx Failed");
    default: return {};
    }
}

Link::OpenResult Link::listDevice()
{
    OpenResult result;
    if (!serialWanted.isEmpty()) {
        const QByteArray s = serialWanted.left(kSerialSize - 1);
        std::copy(s.begin(), s.end(), SerialNumber.begin());
        SerialNumber[size_t(s.size())] = '\0';
        result.serial = s;
        return result;
    }
    result.status = listAt(0, SerialNumber);
    if (result.status != FT_OK) {
        result.outcome = OpenOutcome::ListFailed;
        return result;
    }
    result.serial = QByteArray(SerialNumber.data());
    return result;
}

FT_STATUS Link::listAt(uintptr_t index, std::array<char, kSerialSize>& serial) const
{
    const FT_STATUS st =
        d2xx_.ListDevices(reinterpret_cast<void*>(index), serial.data(), FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER);
    // The driver writes a terminated string; the open must never read past the buffer.
    serial.back() = '\0';
    return st;
}

template <class F>
void Link::eachListed(F&& take) const
{
    std::array<char, kSerialSize> serial{};
    // More than a bench holds; the list ends at the first index not attached.
    for (uintptr_t i = 0; i < 32; ++i)
        if (listAt(i, serial) != FT_OK || !take(QByteArray(serial.data())))
            return;
}

QList<QByteArray> Link::attachedSerials() const
{
    QList<QByteArray> serials;
    eachListed([&](const QByteArray& s) {
        serials << s;
        return true;
    });
    return serials;
}

bool Link::stillAttached()
{
    if (unplugged_)
        return false;
    const QByteArray wanted(SerialNumber.data());
    bool listed = false;
    eachListed([&](const QByteArray& s) {
        listed = s == wanted;
        return !listed;
    });
    unplugged_ = !listed;
    return listed;
}

Link::OpenResult Link::Open_USB()
{
    reported.clear();
    unplugged_ = false;
    OpenResult result = listDevice();
    lastOpenStatus = result.status;
    if (result.outcome == OpenOutcome::ListFailed) {
        lastOpen = result.outcome;
        report(result.message());
        return result;
    }
    FT_HANDLE h = ftHandle;
    const FT_STATUS st = d2xx_.OpenEx(SerialNumber.data(), FT_OPEN_BY_SERIAL_NUMBER, &h);
    lastOpenStatus = result.status = st;
    if (st != FT_OK) {
        lastOpen = result.outcome = handleOpen ? OpenOutcome::OpenExRefused : OpenOutcome::OpenExFailed;
        // A handle some outer handler holds open stays usable by this one.
        report(result.message());
        return result;
    }
    ftHandle = h;
    handleOpen = true;
    lastOpen = result.outcome = OpenOutcome::Opened;
    return result;
}

bool Link::Send_byte_to_USB(int code)
{
    TxString[0] = static_cast<uint8_t>(code);
    TxString[1] = protocol::kCommandEnd;
    FT_STATUS st = FT_INVALID_HANDLE;
    if (handleOpen) {
        DWORD written = 0;   // the status alone judges the write
        st = d2xx_.Write(ftHandle, TxString.data(), 2, &written);
    }
    if (st == FT_OK)
        return true;
    ++failedWrites;
    report(QStringLiteral("Write Failed"));
    if (close() != FT_OK) {
        report(QStringLiteral("Send_byte_to_USB: USB Close Failed"));
        // The second gives a device time to recover; an unplugged one comes
        // back no sooner for it, and the window would stand still meanwhile.
        if (stillAttached())
            Wait_ms(1000);
    }
    return false;
}

void Link::report(const QString& message)
{
    reported << message;
    status_.replace(message);
}

void Link::Wait_ms(int ms)
{
    TimerFired = false;
    Timer1.setInterval(std::max(ms, 0));
    Timer1.start();
    // Sleep in the event loop until something happens; the tick is one of the
    // events. A nested wait leaves TimerFired set, which ends this one too.
    do {
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    } while (!TimerFired);
    Timer1.stop();
    // An outer wait may be asleep in the dispatcher below us: let it look again.
    if (auto* d = QAbstractEventDispatcher::instance())
        d->wakeUp();
}

void Link::Timer1_Timer()
{
    TimerFired = true;
}

FT_STATUS Link::setTimeouts()
{
    if (!handleOpen)
        return FT_INVALID_HANDLE;
    return d2xx_.SetTimeouts(ftHandle, 100, 0);
}

FT_STATUS Link::getQueueStatus()
{
    if (!handleOpen)
        return FT_INVALID_HANDLE;
    DWORD q = static_cast<DWORD>(QueueCount);
    FT_STATUS st = d2xx_.GetQueueStatus(ftHandle, &q);
    QueueCount = static_cast<int32_t>(q);
    return st;
}

Link::QueueWait Link::waitForQueue(int32_t threshold, const std::function<bool()>& pollFailed)
{
    QueueWait w;
    if (QueueCount >= threshold) {
        w.reached = true;
        w.arrived = QueueCount;
        return w;
    }
    const int64_t start = nowUs();
    int64_t lastGrowth = start;
    for (;;) {
        const FT_STATUS st = getQueueStatus();
        const int64_t now = nowUs();
        if (st == FT_OK) {
            if (QueueCount >= threshold) {
                w.reached = true;
                w.arrived = QueueCount;
                return w;
            }
            // The first good poll is the baseline; only a rise above it is growth.
            if (w.polledOk && QueueCount > w.arrived)
                lastGrowth = now;
            w.polledOk = true;
            w.arrived = std::max<int32_t>(QueueCount, 0);
        } else if (!pollFailed()) {
            return w;
        }
        const int64_t stallEnd = lastGrowth + int64_t(queueStallMs) * 1000;
        const int64_t limitEnd = start + int64_t(queueLimitMs) * 1000;
        const int64_t end = std::min(stallEnd, limitEnd);
        if (now >= end)
            return w;
        const int64_t missing = int64_t(threshold) - w.arrived;
        pauseUs(queuePollPauseUs(std::min(missing, end - now)));
    }
}

FT_STATUS Link::readInto(uint8_t* buffer, int capacity, int64_t count)
{
    if (!handleOpen)
        return FT_INVALID_HANDLE;
    const DWORD n = static_cast<DWORD>(std::clamp<int64_t>(count, 0, capacity));
    DWORD got = 0;
    FT_STATUS st = d2xx_.Read(ftHandle, buffer, n, &got);
    // Never believe a count beyond what was asked for.
    BytesRead = static_cast<int32_t>(std::min(got, n));
    return st;
}

FT_STATUS Link::readRx(int64_t count)
{
    return readInto(RxBuffer.data(), kRxSize, count);
}

FT_STATUS Link::readLogLine(int64_t count)
{
    return readInto(LogLine.data(), kLogLineSize, count);
}

FT_STATUS Link::close()
{
    if (!handleOpen)
        return FT_INVALID_HANDLE;
    handleOpen = false;
    return d2xx_.Close(ftHandle);
}

