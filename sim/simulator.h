#pragma once
// A stand-in for the instrument on the far side of the driver library, for
// running and testing without hardware. Its knobs come from CORVASIM_*
// environment variables, read here alone:
//
//   CORVASIM_RATE=bytes/s       link rate for answers (default 1e6; 0 = instant)
//   CORVASIM_MODES=1,2,17       mode bytes answered to 242, cycled (default: a
//                               tour of the 15 display modes with graticules)
//   CORVASIM_LOG_RECORDS=N      log records before the end marker (default 24;
//                               0 = end marker first; -1 = never an end marker)
//   CORVASIM_FAULTS=a,b,...     faults, see SimFaults below
//   CORVASIM_TRACE=path         append one line per driver call ("-" = stderr)
#include "d2xx.h"
#include <QByteArray>
#include <QString>
#include <QStringList>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <mutex>
#include <vector>

// Faults the simulated instrument can show, named in a comma-separated list:
//   nodevice         FT_ListDevices fails with status 2: no instrument attached
//   noopen           FT_OpenEx fails with status 3: instrument held elsewhere
//   stall-after=N    after N bytes of screen block data the instrument sends
//                    no more block data (mode bytes and log records still come)
//   short-block[=N]  each screen block is N bytes short (default 100)
//   fail-write[=N], fail-timeouts[=N], fail-queue[=N], fail-read[=N],
//   fail-close[=N]   that call succeeds N times (default 0), then fails with
//                    status 4 on an open handle. A failing close still
//                    releases the device.
// Counts run over the simulator's life (the program's run, for the drop-in
// library), so a fault hits the same point of a fresh run every time.
struct SimFaults {
    bool noDevice = false;
    bool noOpen = false;
    long long stallAfter = -1;   // -1: never stalls
    int shortBy = 0;
    // Successful calls allowed before failing; -1: never fails.
    int failWriteAfter = -1;
    int failTimeoutsAfter = -1;
    int failQueueAfter = -1;
    int failReadAfter = -1;
    int failCloseAfter = -1;
    QStringList unknown;         // names not understood, for a warning

    static SimFaults parse(const QString& text);
};

struct SimConfig {
    double bytesPerSecond = 1.0e6;      // link rate for queued answers (CORVASIM_RATE); <= 0: instant
    std::vector<int> modes;             // mode bytes answered to 242, cycled; empty = built-in tour (CORVASIM_MODES)
    int logRecords = 24;                // records before the end marker (CORVASIM_LOG_RECORDS); 0 = marker first; -1 = none
    QString faults;                     // CORVASIM_FAULTS, see SimFaults
    QString traceFile;                  // CORVASIM_TRACE: one line per call; "-" = stderr
    static SimConfig fromEnvironment(); // the simulator alone reads environment variables
};

class Simulator : public D2xx {
public:
    explicit Simulator(SimConfig cfg = SimConfig::fromEnvironment());
    ~Simulator() override;
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    FT_STATUS ListDevices(void* arg1, void* arg2, DWORD flags) override;
    FT_STATUS OpenEx(void* arg1, DWORD flags, FT_HANDLE* handle) override;
    FT_STATUS Write(FT_HANDLE h, void* buffer, DWORD toWrite, DWORD* written) override;
    FT_STATUS SetTimeouts(FT_HANDLE h, ULONG readTimeout, ULONG writeTimeout) override;
    FT_STATUS GetQueueStatus(FT_HANDLE h, DWORD* rxBytes) override;
    FT_STATUS Read(FT_HANDLE h, void* buffer, DWORD toRead, DWORD* read) override;
    FT_STATUS Close(FT_HANDLE h) override;

    static constexpr const char* kSerial = "CVM00001";
    static constexpr int kBlockBytes = 8192;
    static constexpr int kRecordBytes = 40;

    // Deterministic content, so tests can decode independently.
    static uint8_t modeByteFor(const SimConfig& cfg, int frameIndex);
    // Exactly 8192 bytes: block 0..4 of frame frameIndex shown in mode byte
    // `mode` (low five bits used). Block 4 carries levelFor(frameIndex, 0..3)
    // at offsets 119, 121, 123, 125.
    static QByteArray screenBlock(int frameIndex, int blockIndex, int mode);
    // Level value (bar end row, 0..255; 206 = silence) of channel 0..3.
    static uint8_t levelFor(int frameIndex, int channel);
    // One log record of kRecordBytes (within the 36..40 the program accepts)
    // ending CR LF: "0012 Ref lost input 2 ...", or the end marker record
    // "nnnn End of log" when index >= cfg.logRecords (and logRecords >= 0).
    static QByteArray logRecord(int index, const SimConfig& cfg);

    int framesStarted() const;   // count of 242 commands seen
    bool isOpen() const;
    const SimConfig& config() const { return cfg_; }

private:
    using Clock = std::chrono::steady_clock;
    // One answer on its way: stream bytes [begin, end) arrive in 64-byte
    // packets from `start` on, at the link rate.
    struct Chunk {
        long long begin, end;
        Clock::time_point start;
    };

    void queue(const QByteArray& bytes);
    long long arrivedAt(Clock::time_point t) const;   // stream offset arrived by t
    Clock::time_point whenArrived(long long offset) const;
    Clock::time_point finishOf(const Chunk& c) const;
    void dropQueue();
    bool valid(FT_HANDLE h) const { return open_ && h == handle_; }
    bool failNow(int after, int& count);
    void command(uint8_t code);
    void trace(const QString& line, FT_STATUS status);

    SimConfig cfg_;
    SimFaults faults_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;   // nobody notifies; reads sleep on it until a time

    bool open_ = false;
    FT_HANDLE handle_ = nullptr;
    unsigned opens_ = 0;
    int frames_ = 0;
    int blockInFrame_ = 0;
    int logCursor_ = 0;
    bool erased_ = false;
    ULONG readTimeout_ = 0;
    long long blockBytesSent_ = 0;   // for stall-after

    // Call counts on an open handle, for the fail-* faults.
    int writes_ = 0, timeoutCalls_ = 0, queueCalls_ = 0, reads_ = 0, closes_ = 0;

    // The receive stream: bytes [consumed_, queued_) not yet read are in data_.
    QByteArray data_;
    long long consumed_ = 0;
    long long queued_ = 0;
    std::deque<Chunk> chunks_;       // answers still arriving, oldest first

    std::FILE* trace_ = nullptr;
    bool ownTrace_ = false;
};
