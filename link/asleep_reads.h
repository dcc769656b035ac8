#pragma once
// Passes every call on to the driver it owns, but waits asleep for a read's
// bytes before handing the read over. FTDI's FT_Read waits for its bytes by
// sleeping a microsecond at a time, which keeps the calling thread busy for
// every read issued ahead of its data; this wait polls the queue at the
// program's own pace (queuePollPauseUs) within the read time-out last set,
// then asks for no more than is there. A failing poll leaves it to the read
// to say what is wrong.
#include "d2xx.h"
#include <memory>

class AsleepReads : public D2xx {
public:
    explicit AsleepReads(std::unique_ptr<D2xx> driver) : d_(std::move(driver)) {}

    FT_STATUS ListDevices(void* a, void* b, DWORD f) override { return d_->ListDevices(a, b, f); }
    FT_STATUS OpenEx(void* a, DWORD f, FT_HANDLE* h) override { return d_->OpenEx(a, f, h); }
    FT_STATUS Write(FT_HANDLE h, void* b, DWORD n, DWORD* w) override { return d_->Write(h, b, n, w); }
    FT_STATUS SetTimeouts(FT_HANDLE h, ULONG r, ULONG w) override;
    FT_STATUS GetQueueStatus(FT_HANDLE h, DWORD* q) override { return d_->GetQueueStatus(h, q); }
    FT_STATUS Read(FT_HANDLE h, void* b, DWORD n, DWORD* r) override;
    FT_STATUS Close(FT_HANDLE h) override { return d_->Close(h); }

private:
    std::unique_ptr<D2xx> d_;
    ULONG readTimeoutMs_ = 0;   // as last set successfully; 0: no wait
};
