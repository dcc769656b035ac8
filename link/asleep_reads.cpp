#include "asleep_reads.h"
#include <algorithm>
#include <chrono>
#include <thread>

FT_STATUS AsleepReads::SetTimeouts(FT_HANDLE h, ULONG r, ULONG w)
{
    const FT_STATUS st = d_->SetTimeouts(h, r, w);
    if (st == FT_OK)
        readTimeoutMs_ = r;
    return st;
}

FT_STATUS AsleepReads::Read(FT_HANDLE h, void* b, DWORD n, DWORD* r)
{
    if (readTimeoutMs_ > 0) {
        using Clock = std::chrono::steady_clock;
        const auto end = Clock::now() + std::chrono::milliseconds(readTimeoutMs_);
        DWORD queued = 0;
        while (d_->GetQueueStatus(h, &queued) == FT_OK && queued < n) {
            const auto now = Clock::now();
            if (now >= end) {
                n = queued;
                break;
            }
            const std::chrono::microseconds pause(queuePollPauseUs(int64_t(n) - int64_t(queued)));
            std::this_thread::sleep_for(std::min<Clock::duration>(pause, end - now));
        }
    }
    return d_->Read(h, b, n, r);
}
