#pragma once
// A scriptable stand-in for the driver library: records every call with its
// arguments and answers from a script of statuses, queue lengths and bytes.
#include "d2xx.h"
#include <QByteArray>
#include <QMap>
#include <QStringList>
#include <cstring>
#include <functional>

struct FakeD2xx : D2xx {
    struct Call {
        QString fn;
        FT_HANDLE handle = nullptr;
        quint64 a = 0, b = 0;   // index/flags/counts/time-outs, by function
        QByteArray bytes;       // bytes written, or the serial string opened
    };

    QList<Call> calls;
    FT_HANDLE handle = reinterpret_cast<FT_HANDLE>(0x1234);
    // Statuses by function name, used up in order; 0 once a list is empty.
    QMap<QString, QList<FT_STATUS>> statuses;
    // The call with this index (0-based, over all calls) fails.
    int failCallIndex = -1;
    // Queue lengths reported in order; the last keeps being reported.
    QList<DWORD> queue;
    // What a read gets (at most the count asked for); with no reader it times out with nothing.
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
    // Each call as "fn@handle a b bytes": a in decimal, b in hex, bytes percent-encoded.
    QStringList described() const
    {
        QStringList d;
        for (const Call& c : calls)
            d << QString("%1%2 %3 %4 %5").arg(c.fn, c.handle ? "@" + QString::number(quintptr(c.handle), 16) : "")
                     .arg(c.a).arg(c.b, 0, 16).arg(QString::fromLatin1(c.bytes.toPercentEncoding())).trimmed();
        return d;
    }
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
        const FT_STATUS st = begin({"ListDevices", nullptr, quint64(reinterpret_cast<uintptr_t>(arg1)), flags, {}});
        if (st == FT_OK)
            std::strcpy(static_cast<char*>(arg2), "CM123456");
        return finish(st);
    }
    FT_STATUS OpenEx(void* arg1, DWORD flags, FT_HANDLE* h) override
    {
        const FT_STATUS st = begin({"OpenEx", nullptr, 0, flags, QByteArray(static_cast<const char*>(arg1))});
        if (st == FT_OK)
            *h = handle;
        return finish(st);
    }
    FT_STATUS Write(FT_HANDLE h, void* buf, DWORD n, DWORD* written) override
    {
        const FT_STATUS st = begin({"Write", h, n, 0, QByteArray(static_cast<const char*>(buf), int(n))});
        *written = st == FT_OK ? n : 0;
        return finish(st);
    }
    FT_STATUS SetTimeouts(FT_HANDLE h, ULONG r, ULONG w) override { return finish(begin({"SetTimeouts", h, r, w, {}})); }
    FT_STATUS GetQueueStatus(FT_HANDLE h, DWORD* q) override
    {
        const FT_STATUS st = begin({"GetQueueStatus", h, 0, 0, {}});
        if (st == FT_OK && !queue.isEmpty())
            *q = queue.size() > 1 ? queue.takeFirst() : queue.first();
        return finish(st);
    }
    FT_STATUS Read(FT_HANDLE h, void* buf, DWORD n, DWORD* got) override
    {
        const FT_STATUS st = begin({"Read", h, n, 0, {}});
        const QByteArray chunk = st == FT_OK && reader ? reader(n).left(int(n)) : QByteArray();
        memcpy(buf, chunk.constData(), size_t(chunk.size()));
        *got = DWORD(chunk.size());
        return finish(st);
    }
    FT_STATUS Close(FT_HANDLE h) override { return finish(begin({"Close", h, 0, 0, {}})); }

private:
    // Records the call (after working out its status, so failCallIndex counts earlier calls).
    FT_STATUS begin(Call c)
    {
        if (missing)
            throw D2xxError(kErrLibraryMissing, "The USB driver library libftd2xx.so could not be loaded.");
        FT_STATUS st = statuses[c.fn].isEmpty() ? FT_OK : statuses[c.fn].takeFirst();
        if (failCallIndex == int(calls.size()))
            st = FT_IO_ERROR;
        calls.append(c);
        return st;
    }
    FT_STATUS finish(FT_STATUS st)
    {
        if (onCall)
            onCall(calls.last());
        return st;
    }
};
