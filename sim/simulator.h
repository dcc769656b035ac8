#pragma once
// The simulated instrument behind the seven driver calls: the face that the
// drop-in driver library (ftd2xx_export.cpp) and the in-process tests use. It
// behaves as the vendor's library over the chip does: the chip's packets go
// into the receive queue as they come, the short last packet of an answer
// only when the latency timer runs out. Configured as instrument.h says.
#include "d2xx.h"
#include "instrument.h"
#include <condition_variable>
#include <mutex>

class Simulator : public D2xx {
public:
    explicit Simulator(SimConfig cfg = SimConfig::fromEnvironment());
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    FT_STATUS ListDevices(void* arg1, void* arg2, DWORD flags) override;
    FT_STATUS OpenEx(void* arg1, DWORD flags, FT_HANDLE* handle) override;
    FT_STATUS Write(FT_HANDLE h, void* buffer, DWORD toWrite, DWORD* written) override;
    FT_STATUS SetTimeouts(FT_HANDLE h, ULONG readTimeout, ULONG writeTimeout) override;
    FT_STATUS GetQueueStatus(FT_HANDLE h, DWORD* rxBytes) override;
    FT_STATUS Read(FT_HANDLE h, void* buffer, DWORD toRead, DWORD* read) override;
    FT_STATUS Close(FT_HANDLE h) override;

    static constexpr const char* kSerial = Instrument::kSerial;
    static constexpr int kBlockBytes = Instrument::kBlockBytes;
    static constexpr int kRecordBytes = Instrument::kRecordBytes;
    static uint8_t modeByteFor(const SimConfig& cfg, int frameIndex) { return Instrument::modeByteFor(cfg, frameIndex); }
    static QByteArray screenBlock(int frameIndex, int blockIndex, int mode) { return Instrument::screenBlock(frameIndex, blockIndex, mode); }
    static uint8_t levelFor(int frameIndex, int channel) { return Instrument::levelFor(frameIndex, channel); }
    static QByteArray logRecord(int index, const SimConfig& cfg) { return Instrument::logRecord(index, cfg); }

    int framesStarted() const;   // count of 242 commands seen
    bool isOpen() const;
    const SimConfig& config() const { return inst_.config(); }

private:
    using Clock = Instrument::Clock;
    void pump(Clock::time_point now);   // the chip's packets due by now into rx_
    bool valid(FT_HANDLE h) const { return open_ && h == handle_; }
    bool failNow(int after, int& count);
    FT_STATUS check(FT_HANDLE h, int after, int& count);
    void trace(const QString& line, FT_STATUS status) { inst_.trace(line, long(status)); }

    mutable std::mutex mutex_;
    std::condition_variable wake_;   // writes and closes wake a waiting read
    Instrument inst_;

    bool open_ = false;
    FT_HANDLE handle_ = nullptr;
    unsigned opens_ = 0;
    ULONG readTimeout_ = 0;
    QByteArray rx_;                  // the driver's receive queue

    // Call counts on an open handle, for the fail-* faults.
    int writes_ = 0, timeoutCalls_ = 0, queueCalls_ = 0, reads_ = 0, closes_ = 0;
};
