#include "link.h"
#include "protocol.h"
#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <algorithm>
#include <chrono>
#include <thread>

Link::Link(State& state, D2xx& d2xx, Host& host, QObject* parent)
    : QObject(parent), state_(state), d2xx_(d2xx), host_(host)
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

void Link::Open_USB()
{
    FT_STATUS st = d2xx_.ListDevices(reinterpret_cast<void*>(uintptr_t{0}), state_.SerialNumber.data(),
                                     FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER);
    lastOpenStatus = st;
    if (st != FT_OK) {
        lastOpen = OpenOutcome::ListFailed;
        replaceText1(QStringLiteral("List Device Failed"));
        return;
    }
    // The driver writes a terminated string; keep the last byte a terminator
    // whatever it wrote, so the open never reads past the buffer.
    state_.SerialNumber.back() = '\0';
    FT_HANDLE h = state_.ftHandle;
    st = d2xx_.OpenEx(state_.SerialNumber.data(), FT_OPEN_BY_SERIAL_NUMBER, &h);
    lastOpenStatus = st;
    if (st != FT_OK) {
        lastOpen = state_.handleOpen ? OpenOutcome::OpenExRefused : OpenOutcome::OpenExFailed;
        // A handle some outer handler holds open stays usable by this one.
        replaceText1(QStringLiteral("OpenEx Failed"));
        return;
    }
    state_.ftHandle = h;
    state_.handleOpen = true;
    lastOpen = OpenOutcome::Opened;
}

void Link::Send_byte_to_USB(int code)
{
    state_.TxString[0] = static_cast<uint8_t>(code);
    state_.TxString[1] = protocol::kCommandEnd;
    FT_STATUS st = FT_INVALID_HANDLE;
    if (state_.handleOpen) {
        DWORD written = 0;
        st = d2xx_.Write(state_.ftHandle, state_.TxString.data(), 2, &written);
        state_.BytesWritten = static_cast<int32_t>(written);
    }
    if (st == FT_OK)
        return;
    replaceText1(QStringLiteral("Write Failed"));
    if (close() != FT_OK) {
        replaceText1(QStringLiteral("Send_byte_to_USB: USB Close Failed"));
        Wait_ms(1000);
    }
}

void Link::Wait_ms(int ms)
{
    state_.TimerFired = false;
    Timer1.setInterval(std::max(ms, 0));
    Timer1.start();
    // Sleep in the event loop until something happens; the tick is one of the
    // events. A nested wait leaves TimerFired set, which ends this one too.
    do {
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    } while (!state_.TimerFired);
    Timer1.stop();
    // An outer wait may be asleep in the dispatcher below us: let it look again.
    if (auto* d = QAbstractEventDispatcher::instance())
        d->wakeUp();
}

void Link::Timer1_Timer()
{
    state_.TimerFired = true;
}

FT_STATUS Link::setTimeouts()
{
    if (!state_.handleOpen)
        return FT_INVALID_HANDLE;
    return d2xx_.SetTimeouts(state_.ftHandle, 100, 0);
}

FT_STATUS Link::getQueueStatus()
{
    if (!state_.handleOpen)
        return FT_INVALID_HANDLE;
    DWORD q = static_cast<DWORD>(state_.QueueCount);
    FT_STATUS st = d2xx_.GetQueueStatus(state_.ftHandle, &q);
    state_.QueueCount = static_cast<int32_t>(q);
    return st;
}

Link::QueueWait Link::waitForQueue(int32_t threshold, const std::function<bool()>& pollFailed)
{
    QueueWait w;
    if (state_.QueueCount >= threshold) {
        w.reached = true;
        w.arrived = state_.QueueCount;
        return w;
    }
    const int64_t start = nowUs();
    int64_t lastGrowth = start;
    for (;;) {
        const FT_STATUS st = getQueueStatus();
        const int64_t now = nowUs();
        if (st == FT_OK) {
            if (state_.QueueCount >= threshold) {
                w.reached = true;
                w.arrived = state_.QueueCount;
                return w;
            }
            // The first good poll is the baseline; only a rise above it is growth.
            if (w.polledOk && state_.QueueCount > w.arrived)
                lastGrowth = now;
            w.polledOk = true;
            w.arrived = std::max<int32_t>(state_.QueueCount, 0);
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
    if (!state_.handleOpen)
        return FT_INVALID_HANDLE;
    const DWORD n = static_cast<DWORD>(std::clamp<int64_t>(count, 0, capacity));
    DWORD got = 0;
    FT_STATUS st = d2xx_.Read(state_.ftHandle, buffer, n, &got);
    // Never believe a count beyond what was asked for.
    state_.BytesRead = static_cast<int32_t>(std::min(got, n));
    return st;
}

FT_STATUS Link::readRx(int64_t count)
{
    return readInto(state_.RxBuffer.data(), State::kRxSize, count);
}

FT_STATUS Link::readLogLine(int64_t count)
{
    return readInto(state_.LogLine.data(), State::kLogLineSize, count);
}

FT_STATUS Link::close()
{
    if (!state_.handleOpen)
        return FT_INVALID_HANDLE;
    state_.handleOpen = false;
    return d2xx_.Close(state_.ftHandle);
}

void Link::appendStatus(const QString& message)
{
    state_.StatusText += message + QStringLiteral("\r\n");
    host_.setText1(state_.StatusText);
}

void Link::replaceText1(const QString& message)
{
    host_.setText1(message);
}
