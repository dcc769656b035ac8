#pragma once
// A scriptable stand-in for the driver library: records every call with its
// arguments and answers from a script of statuses, queue lengths and bytes.
#include "d2xx.h"
#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>
#include <functional>

struct FakeD2xx : D2xx {
    struct Call {
        QString fn;
        FT_HANDLE handle = nullptr;
        quint64 a = 0, b = 0;   // index/flags/counts/time-outs, by function
        QByteArray bytes;       // bytes written, or the serial string opened
    };

    QList<Call> calls;
    QByteArray serial = "CM123456";
    FT_HANDLE handle = reinterpret_cast<FT_HANDLE>(0x1234);

    // Statuses by function name, used up in order; 0 once a list is empty.
    QMap<QString, QList<FT_STATUS>> statuses;
    // The call with this index (0-based, over all calls) fails.
    int failCallIndex = -1;
    // Queue lengths reported in order; the last keeps being reported.
    QList<DWORD> queue;
    // Each read takes the next chunk (at most the count asked for). With no
    // chunk left a read times out with nothing; `reader` may produce bytes instead.
    QList<QByteArray> reads;
    std::function<QByteArray(DWORD)> reader;
    // Every call throws, as if the library could not be loaded.
    bool missing = false;
    // Called after each call is recorded: a test can act in the middle of a sequence.
    std::function<void(const Call&)> onCall;

    QStringList names() const
    {
        QStringList n;
        for (const Call& c : calls)
            n << c.fn;
        return n;
    }
    int count(const QString& fn) const { return int(names().count(fn)); }
    QList<int> writtenCodes() const
    {
        QList<int> codes;
        for (const Call& c : calls)
            if (c.fn == "Write" && !c.bytes.isEmpty())
                codes << quint8(c.bytes[0]);
        return codes;
    }

    FT_STATUS ListDevices(void* arg1, void* arg2, DWORD flags) override
    {
        Call c{"ListDevices", nullptr, quint64(reinterpret_cast<uintptr_t>(arg1)), flags, {}};
        FT_STATUS st = begin(c);
        if (st == FT_OK) {
            auto* dst = static_cast<char*>(arg2);
            memcpy(dst, serial.constData(), size_t(serial.size()));
            dst[serial.size()] = '\0';
        }
        return finish(c, st);
    }
    FT_STATUS OpenEx(void* arg1, DWORD flags, FT_HANDLE* h) override
    {
        Call c{"OpenEx", nullptr, 0, flags, QByteArray(static_cast<const char*>(arg1))};
        FT_STATUS st = begin(c);
        if (st == FT_OK)
            *h = handle;
        return finish(c, st);
    }
    FT_STATUS Write(FT_HANDLE h, void* buf, DWORD n, DWORD* written) override
    {
        Call c{"Write", h, n, 0, QByteArray(static_cast<const char*>(buf), int(n))};
        FT_STATUS st = begin(c);
        *written = st == FT_OK ? n : 0;
        return finish(c, st);
    }
    FT_STATUS SetTimeouts(FT_HANDLE h, ULONG r, ULONG w) override
    {
        Call c{"SetTimeouts", h, r, w, {}};
        return finish(c, begin(c));
    }
    FT_STATUS GetQueueStatus(FT_HANDLE h, DWORD* q) override
    {
        Call c{"GetQueueStatus", h, 0, 0, {}};
        FT_STATUS st = begin(c);
        if (st == FT_OK && !queue.isEmpty())
            *q = queue.size() > 1 ? queue.takeFirst() : queue.first();
        return finish(c, st);
    }
    FT_STATUS Read(FT_HANDLE h, void* buf, DWORD n, DWORD* got) override
    {
        Call c{"Read", h, n, 0, {}};
        FT_STATUS st = begin(c);
        *got = 0;
        if (st == FT_OK) {
            QByteArray chunk;
            if (!reads.isEmpty())
                chunk = reads.takeFirst();
            else if (reader)
                chunk = reader(n);
            chunk.truncate(int(n));
            memcpy(buf, chunk.constData(), size_t(chunk.size()));
            *got = DWORD(chunk.size());
        }
        return finish(c, st);
    }
    FT_STATUS Close(FT_HANDLE h) override
    {
        Call c{"Close", h, 0, 0, {}};
        return finish(c, begin(c));
    }

private:
    FT_STATUS begin(const Call& c)
    {
        if (missing)
            throw D2xxError(kErrLibraryMissing, "The USB driver library libftd2xx.so could not be loaded.");
        FT_STATUS st = FT_OK;
        auto it = statuses.find(c.fn);
        if (it != statuses.end() && !it->isEmpty())
            st = it->takeFirst();
        if (failCallIndex == int(calls.size()))
            st = FT_IO_ERROR;
        return st;
    }
    FT_STATUS finish(const Call& c, FT_STATUS st)
    {
        calls.append(c);
        if (onCall)
            onCall(calls.last());
        return st;
    }
};
