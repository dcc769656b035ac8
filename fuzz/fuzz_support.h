#pragma once
// Pieces shared by the fuzz targets: a cursor over the input, a driver that
// answers from it, and a host that shows nothing.
#include "d2xx.h"
#include "host.h"
#include "link.h"
#include <cstdlib>
#include <cstring>

struct FuzzInput {
    const uint8_t* p;
    size_t left;
    // Past the end everything reads as zero.
    uint8_t byte()
    {
        if (!left)
            return 0;
        --left;
        return *p++;
    }
    uint32_t u32()
    {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i)
            v |= uint32_t(byte()) << (8 * i);
        return v;
    }
    size_t take(void* dst, size_t n)
    {
        n = std::min(n, left);
        memcpy(dst, p, n);
        p += n;
        left -= n;
        return n;
    }
};

// Each status, queue length, read count and read byte comes from the input.
// Writes and closes succeed: a failing one sends the link into a one-second
// wait, which would only slow the fuzzing down.
struct FuzzD2xx : D2xx {
    explicit FuzzD2xx(FuzzInput& in) : in(in) {}
    FuzzInput& in;
    const Link* link = nullptr;   // whose buffers the reads must land in

    FT_STATUS status()
    {
        const uint8_t b = in.byte();
        return b < 0xF0 ? FT_OK : FT_STATUS(b & 0x0F);
    }
    // A read must land wholly inside one of the two receive buffers.
    template <size_t N>
    static bool inside(const std::array<uint8_t, N>& a, const void* buf, DWORD n)
    {
        const auto* b = static_cast<const uint8_t*>(buf);
        return b >= a.data() && n <= N && b + n <= a.data() + N;
    }

    FT_STATUS ListDevices(void*, void*, DWORD) override { return FT_DEVICE_NOT_FOUND; }
    FT_STATUS OpenEx(void*, DWORD, FT_HANDLE*) override { return FT_DEVICE_NOT_OPENED; }
    FT_STATUS Write(FT_HANDLE, void*, DWORD n, DWORD* written) override
    {
        *written = n;
        return FT_OK;
    }
    FT_STATUS SetTimeouts(FT_HANDLE, ULONG, ULONG) override { return status(); }
    FT_STATUS GetQueueStatus(FT_HANDLE, DWORD* q) override
    {
        const FT_STATUS st = status();
        *q = in.u32();
        return st;
    }
    FT_STATUS Read(FT_HANDLE, void* buf, DWORD n, DWORD* got) override
    {
        if (!inside(link->RxBuffer, buf, n) && !inside(link->LogLine, buf, n))
            abort();
        const FT_STATUS st = status();
        *got = in.u32();   // whatever the driver claims
        in.take(buf, n);
        return st;
    }
    FT_STATUS Close(FT_HANDLE) override { return FT_OK; }
};

struct NullHost : Host {
    QString text;
    void setText1(const QString& t) override { text = t; }
    QString text1() const override { return text; }
    void showMessage(const QString&, const QString&, Icon) override {}
    void setBusyPointer(bool) override {}
    void beep() override {}
};
