#pragma once
#include "d2xx.h"
#include "statuslog.h"
#include <QByteArray>
#include <QObject>
#include <QStringList>
#include <QTimer>
#include <array>
#include <cstdint>
#include <functional>

// The program's whole contact with the instrument, and its only way of waiting.
class Link : public QObject {
    Q_OBJECT
public:
    Link(D2xx& d2xx, StatusLog& status, QObject* parent = nullptr);

    // How an Open_USB ended. OpenExRefused: the open failed while one of our
    // own handlers held the device, so the cause is ours and not the system's.
    enum class OpenOutcome { NotTried, Opened, ListFailed, OpenExFailed, OpenExRefused };
    struct OpenResult {
        OpenOutcome outcome = OpenOutcome::NotTried;
        FT_STATUS status = FT_OK;   // of the call that decided it (FT_ListDevices or FT_OpenEx)
        QByteArray serial;          // the serial number the open was given; empty if listing failed
        bool ok() const { return outcome == OpenOutcome::Opened; }
        // The status box's words for a failed call, empty otherwise.
        QString message() const;
    };

    OpenResult Open_USB();
    // Asks for the serial number of device 0 as Open_USB does, into
    // SerialNumber, and opens nothing: ListFailed or NotTried. With
    // serialWanted set, that serial number instead, without asking.
    OpenResult listDevice();
    // The instrument to open when several are attached; empty: device 0.
    QByteArray serialWanted;
    // The serial numbers of every device the driver lists, device 0 first.
    // Opens nothing.
    QList<QByteArray> attachedSerials() const;
    // Whether the driver still lists the device of the latest open. Once it
    // does not, the link takes it for unplugged until the next open.
    bool stillAttached();
    // False when the frame could not be written.
    bool Send_byte_to_USB(int code);
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

    // How the latest Open_USB ended, for the window's first-run hint.
    OpenOutcome lastOpen = OpenOutcome::NotTried;
    FT_STATUS lastOpenStatus = FT_OK;
    // Writes that failed since the program started; an exchange compares
    // the count before and after.
    int failedWrites = 0;
    // The link's own failure messages since the latest Open_USB began, in
    // the order shown, for a caller that reports them after the exchange.
    QStringList reported;

    QTimer Timer1;
    bool TimerFired = false;

    // The device and the buffers, counters only the link fills.
    static constexpr int kRxSize = 10000;
    static constexpr int kLogLineSize = 50;
    static constexpr int kSerialSize = 100;
    FT_HANDLE ftHandle = nullptr;
    std::array<char, kSerialSize> SerialNumber{};
    std::array<uint8_t, kRxSize> RxBuffer{};
    std::array<uint8_t, kLogLineSize> LogLine{};
    std::array<uint8_t, 2> TxString{};
    int32_t BytesRead = 0;
    int32_t QueueCount = 0;
    // True from a successful open until the next close of the handle. Calls on
    // a handle that is not open fail without reaching the driver.
    bool handleOpen = false;

    // 1-based access, the way the protocol addresses the buffers.
    uint8_t rx(int pos) const { return RxBuffer[static_cast<size_t>(pos - 1)]; }
    uint8_t logAt(int pos) const { return LogLine[static_cast<size_t>(pos - 1)]; }

private:
    // FT_ListDevices for the serial number of device `index`, into `serial`,
    // whose last byte stays a terminator whatever the driver wrote.
    FT_STATUS listAt(uintptr_t index, std::array<char, kSerialSize>& serial) const;
    // Each serial number the driver lists, device 0 first, while `take` returns true.
    template <class F>
    void eachListed(F&& take) const;
    FT_STATUS readInto(uint8_t* buffer, int capacity, int64_t count);
    void report(const QString& message);

    D2xx& d2xx_;
    bool unplugged_ = false;
    StatusLog& status_;
};
