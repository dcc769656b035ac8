#pragma once
#include "d2xx.h"
#include "host.h"
#include "state.h"
#include <QObject>
#include <QTimer>
#include <functional>

// The program's whole contact with the instrument, and its only way of waiting.
class Link : public QObject {
    Q_OBJECT
public:
    Link(State& state, D2xx& d2xx, Host& host, QObject* parent = nullptr);

    void Open_USB();
    void Send_byte_to_USB(int code);
    void Wait_ms(int ms);
    void Timer1_Timer();

    // The remaining calls, each exactly one driver call on ftHandle. A handle
    // that is not open gets FT_INVALID_HANDLE without reaching the driver.
    FT_STATUS setTimeouts();                 // read 100 ms, write 0
    FT_STATUS getQueueStatus();              // into QueueCount
    FT_STATUS readRx(int64_t count);         // into RxBuffer from position 1
    FT_STATUS readLogLine(int64_t count);    // into LogLine from position 1
    FT_STATUS close();

    // The wait for a block or record: polls FT_GetQueueStatus until QueueCount
    // reaches `threshold`. A count already at or above it (left by an earlier
    // poll) means no poll at all. Otherwise the wait ends once the queue has
    // not grown for queueStallMs (measured from this wait's first poll, not
    // from any count carried over), or after queueLimitMs whatever happens,
    // so a silent or trickling instrument cannot hold the window. A failed
    // poll calls `pollFailed`; polling goes on while it returns true.
    // Window events are not processed meanwhile.
    struct QueueWait {
        bool reached = false;   // the threshold was met
        bool polledOk = false;  // some poll of this wait succeeded
        int32_t arrived = 0;    // bytes to read: the count that met the threshold, or the last good poll's
    };
    QueueWait waitForQueue(int32_t threshold, const std::function<bool()>& pollFailed);

    // The chip holds back a reply's short last packet for its 16 ms latency
    // timer; the reads give up after 100 ms. A queue that stands still longer
    // than both, with room for a late scheduler, has stopped.
    int queueStallMs = 150;
    // A block or record that has not come in whole by then never will at any
    // sane rate (8192 bytes in 500 ms is 16 kB/s, the link does 1 MB/s).
    int queueLimitMs = 500;
    // The clock and the pause between polls, in microseconds; a test puts a
    // fake clock here.
    std::function<int64_t()> nowUs;
    std::function<void(int64_t)> pauseUs;

    // Before each read, wait asleep (polling the queue, as the waits above
    // do) until the bytes asked for are queued, for at most the 100 ms read
    // time-out, then read no more than is there. FTDI's own library waits
    // inside FT_Read by sleeping 1 us at a time, which keeps the thread busy
    // for every read issued ahead of its data (the carried-over count makes
    // that every block after the first). Off by default: it adds queue polls
    // to the calls of every read; the program turns it on.
    bool waitAsleepBeforeRead = false;

    // StatusText += message + CR LF, then Text1 shows the whole log.
    void appendStatus(const QString& message);
    // Text1 shows just this message; StatusText stays as it was.
    void replaceText1(const QString& message);

    // How the latest Open_USB ended, for the window's first-run hint.
    // OpenExRefused: the open failed while one of our own handlers held the
    // device, so the cause is ours and not the system's.
    enum class OpenOutcome { NotTried, Opened, ListFailed, OpenExFailed, OpenExRefused };
    OpenOutcome lastOpen = OpenOutcome::NotTried;
    FT_STATUS lastOpenStatus = FT_OK;

    QTimer Timer1;
    State& state() { return state_; }
    Host& host() { return host_; }

private:
    FT_STATUS readInto(uint8_t* buffer, int capacity, int64_t count);

    State& state_;
    D2xx& d2xx_;
    Host& host_;
};
