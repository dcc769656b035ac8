#pragma once
// A stand-in for the instrument on the far side of the driver library, for
// running and testing without hardware. Its knobs come from CORVASIM_*
// environment variables, read here alone.
#include "d2xx.h"
#include <QByteArray>
#include <QString>
#include <chrono>
#include <cstdio>
#include <vector>

struct SimConfig {
    double bytesPerSecond = 1.0e6;   // CORVASIM_RATE
    std::vector<int> modes;          // CORVASIM_MODES="1,2,17"; empty: a tour of all modes
    int logRecords = 24;             // CORVASIM_LOG_RECORDS
    QString faults;                  // CORVASIM_FAULTS: "nodevice", "noopen"
    QString traceFile;               // CORVASIM_TRACE: one line per call
    static SimConfig fromEnvironment();
};

class Simulator : public D2xx {
public:
    explicit Simulator(SimConfig cfg = SimConfig::fromEnvironment());
    ~Simulator() override;

    FT_STATUS ListDevices(void* arg1, void* arg2, DWORD flags) override;
    FT_STATUS OpenEx(void* arg1, DWORD flags, FT_HANDLE* handle) override;
    FT_STATUS Write(FT_HANDLE h, void* buffer, DWORD toWrite, DWORD* written) override;
    FT_STATUS SetTimeouts(FT_HANDLE h, ULONG readTimeout, ULONG writeTimeout) override;
    FT_STATUS GetQueueStatus(FT_HANDLE h, DWORD* rxBytes) override;
    FT_STATUS Read(FT_HANDLE h, void* buffer, DWORD toRead, DWORD* read) override;
    FT_STATUS Close(FT_HANDLE h) override;

    static uint8_t modeByteFor(const SimConfig& cfg, int frameIndex);
    static QByteArray screenBlock(int frameIndex, int blockIndex, int mode);
    static QByteArray logRecord(int index, const SimConfig& cfg);
    int framesStarted() const { return frames_; }
    bool isOpen() const { return open_; }

private:
    using Clock = std::chrono::steady_clock;
    void queue(const QByteArray& bytes);
    DWORD arrived() const;
    void trace(const QString& line);
    bool valid(FT_HANDLE h) const { return open_ && h == handle(); }
    FT_HANDLE handle() const { return const_cast<Simulator*>(this); }

    SimConfig cfg_;
    bool open_ = false;
    int frames_ = 0;
    int logCursor_ = 0;
    int blockInFrame_ = 0;
    bool erased_ = false;
    ULONG readTimeout_ = 0;
    QByteArray pending_;          // queued answer bytes not yet read
    Clock::time_point sendStart_; // when the latest answer started to arrive
    int sendBase_ = 0;            // bytes of pending_ that had arrived before it
    std::FILE* trace_ = nullptr;
};
