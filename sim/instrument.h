#pragma once
// The simulated instrument and the FTDI chip in front of it, shared by the three
// faces the simulator shows: the drop-in driver library (simulator.h), the
// emulated USB library (usb_emu.cpp) and the bare serial line on a socket
// (serial_line.cpp). Its knobs come from CORVASIM_*
// environment variables, read here alone:
//
//   CORVASIM_RATE=bytes/s       link rate for answers (default 1e6; 0 = instant,
//                               with no latency timer either)
//   CORVASIM_LATENCY=ms         the chip's latency timer at power-up (default 16)
//   CORVASIM_MODES=1,2,17       mode bytes answered to 242, cycled (default: a
//                               tour of the 15 display modes with graticules)
//   CORVASIM_LOG_RECORDS=N      log records before the end marker (default 24;
//                               0 = end marker first; -1 = never an end marker)
//   CORVASIM_FAULTS=a,b,...     faults, see SimFaults below
//   CORVASIM_TRACE=path         append one line per call ("-" = stderr)
//   CORVASIM_CONTROL=path       a file a test rewrites while the program runs,
//                               one setting a line (see SimControl)
//
// Not thread-safe by itself: each face guards its instrument with its own lock.
#include "protocol.h"
#include <QByteArray>
#include <QString>
#include <QStringList>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <optional>
#include <vector>

// Faults the simulated instrument can show, named in a comma-separated list:
//   nodevice         no instrument attached
//   noopen           the instrument is held elsewhere: opening it fails
//   stall-after=N    after N bytes of screen block data the instrument sends
//                    no more block data (mode bytes and log records still come)
//   unplug-after=N   after N bytes of screen block data the instrument is
//                    unplugged: it is gone from the bus for the rest of the run
//   replug-after=MS  ... or, with this, plugged in again MS ms after it went
//   short-block[=N]  each screen block is N bytes short (default 100)
//   fail-write[=N], fail-timeouts[=N], fail-queue[=N], fail-read[=N],
//   fail-close[=N]   that driver call succeeds N times (default 0), then fails
//                    with status 4 on an open handle. A failing close still
//                    releases the device. Over USB only fail-write counts: the
//                    bulk OUT transfer fails.
// Counts run over the simulator's life (the program's run, for the libraries),
// so a fault hits the same point of a fresh run every time.
struct SimFaults {
    bool noDevice = false;
    bool noOpen = false;
    long long stallAfter = -1;   // -1: never stalls
    long long unplugAfter = -1;  // -1: never unplugged
    long long replugAfterMs = -1; // -1: gone for good once unplugged
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

// What a test changes while the program runs, read again from the control
// file whenever it changes:
//   unplugged          the instrument is off the bus while this line is there
//   silence 1 3        those bars' level values are 206: no bar at all
//   log-records N      the log holds N records from now on
struct SimControl {
    bool unplugged = false;
    unsigned silent = 0;       // bit b - 1 for bar b
    int logRecords = -2;       // -2: as configured
    static SimControl parse(const QByteArray& text);
};

struct SimConfig {
    double bytesPerSecond = 1.0e6;      // link rate for queued answers (CORVASIM_RATE); <= 0: instant
    int latencyMs = 16;                 // the chip's latency timer at power-up (CORVASIM_LATENCY)
    std::vector<int> modes;             // mode bytes answered to 242, cycled; empty = built-in tour (CORVASIM_MODES)
    int logRecords = 24;                // records before the end marker (CORVASIM_LOG_RECORDS); 0 = marker first; -1 = none
    QString faults;                     // CORVASIM_FAULTS, see SimFaults
    QString traceFile;                  // CORVASIM_TRACE: one line per call; "-" = stderr
    QString controlFile;                // CORVASIM_CONTROL: see SimControl
    static SimConfig fromEnvironment(); // the simulator alone reads environment variables
};

class Instrument {
public:
    using Clock = std::chrono::steady_clock;

    explicit Instrument(SimConfig cfg);
    ~Instrument();
    Instrument(const Instrument&) = delete;
    Instrument& operator=(const Instrument&) = delete;

    static constexpr const char* kSerial = "CVM00001";
    static constexpr int kBlockBytes = protocol::kBlockBytes;
    static constexpr int kRecordBytes = 40;
    static constexpr int kPacketBytes = 64;   // full-speed bulk packet
    static constexpr int kPacketData = 62;    // after the two modem-status bytes

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

    const SimConfig& config() const { return cfg_; }
    const SimFaults& faults() const { return faults_; }

    // On the bus at time t: attached and not yet unplugged.
    bool present(Clock::time_point t) const;
    Clock::time_point unplugTime() const { return unplugAt_; }   // max: never
    // The bytes of one write from the host. A command is a write of two bytes,
    // the code and 240; anything else the instrument ignores.
    void hostWrite(const uint8_t* bytes, size_t n);
    int framesStarted() const { return frames_; }

    // The chip's next packet of answer data towards the host: up to 62 bytes,
    // going out once 62 have come in, or a short one when the latency timer
    // runs out. `due` may lie in the future; more answers may still change it.
    struct Packet {
        long long begin, end;
        Clock::time_point due;
    };
    std::optional<Packet> nextPacket() const { return packetFrom(sent_, lastDue_); }
    // When the packets from the next one on first come to `bytes` data bytes
    // or to `packets` packets, or (stopAtShort) one short packet: the due time
    // of that packet; max if what is queued never gets there. Spares waiters
    // a wake-up for every packet.
    Clock::time_point dueWhen(long long bytes, long long packets, bool stopAtShort) const;
    // Hands that packet over: its bytes, which leave the chip.
    QByteArray takePacket(const Packet& p);
    // The serial line's view, without a chip: the answer bytes in by t, which
    // leave the instrument, and when the next one is in (max: none queued).
    QByteArray takeArrived(Clock::time_point t);
    Clock::time_point nextArrival() const { return arrivalOf(sent_); }
    // Drops every answer byte that has not gone out yet.
    void purge();
    int latencyMs() const { return latencyMs_; }
    void setLatencyMs(int ms) { latencyMs_ = ms; }

    // One line per call in the trace file, with the status when not 0.
    void trace(const QString& line, long status = 0);
    // The control file's settings as they stand now.
    const SimControl& control() const;

private:
    void queue(const QByteArray& bytes);
    void command(uint8_t code);
    // One answer on its way: stream bytes [begin, end) come in at the link
    // rate from `start` on.
    struct Chunk {
        long long begin, end;
        Clock::time_point start;
    };
    Clock::duration linkTime(long long bytes) const;
    Clock::time_point arrivalOf(long long offset) const;   // byte `offset` is in
    long long arrivedBy(Clock::time_point t) const;        // bytes before this offset are in by t
    std::optional<Packet> packetFrom(long long begin, Clock::time_point lastDue) const;

    SimConfig cfg_;
    SimFaults faults_;
    int latencyMs_;
    int frames_ = 0;
    int blockInFrame_ = 0;
    int logCursor_ = 0;
    bool erased_ = false;
    long long blockBytesSent_ = 0;   // for stall-after and unplug-after
    Clock::time_point unplugAt_ = Clock::time_point::max();

    // The stream: bytes [sent_, queued_) not gone out yet are in data_.
    QByteArray data_;
    long long sent_ = 0;
    long long queued_ = 0;
    std::deque<Chunk> chunks_;          // answers not yet all gone, oldest first
    Clock::time_point lastDue_{};       // when the last data packet went

    std::FILE* trace_ = nullptr;
    bool ownTrace_ = false;

    // The control file as last read, and when it was looked at.
    mutable SimControl control_;
    mutable Clock::time_point controlLooked_{};
    mutable long long controlStamp_ = -1;
};
