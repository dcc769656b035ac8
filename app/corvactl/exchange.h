#pragma once
// One corvactl run's exchanges with the instrument: the window's status box
// and message boxes on standard error, the driver's failures kept, and the
// pictures written whole or not at all.
#include "dynamic_d2xx.h"
#include "session.h"
#include <QByteArray>
#include <QImage>
#include <QString>
#include <functional>
#include <optional>

enum Exit : int { kOk = 0, kFailed = 1, kUsage = 2 };

// "corvactl: <text>" on standard error.
void err(const QString& text);

// The status box shown on standard error: each change prints what it
// brought into view. Message boxes become one line each.
class ConsoleHost : public Host {
public:
    bool echo = true;
    // Told of each message box besides, for a caller that shows them.
    std::function<void(const QString& title, const QString& text)> onMessage;

    void setText1(const QString& t) override { text_ = t; }
    QString text1() const override { return text_; }
    void showMessage(const QString& t, const QString& title, Icon) override;
    void setBusyPointer(bool) override {}
    void beep() override {}
    void print(QString news) const;

private:
    QString text_;
};

// Passes every call on, and keeps the reason when the driver library cannot
// be used, which the log download only reports by number.
class DriverWatch : public D2xx {
public:
    explicit DriverWatch(D2xx& d) : d_(d) {}
    QString failure;

    FT_STATUS ListDevices(void* a, void* b, DWORD f) override { return call([&] { return d_.ListDevices(a, b, f); }); }
    FT_STATUS OpenEx(void* a, DWORD f, FT_HANDLE* h) override { return call([&] { return d_.OpenEx(a, f, h); }); }
    FT_STATUS Write(FT_HANDLE h, void* b, DWORD n, DWORD* w) override { return call([&] { return d_.Write(h, b, n, w); }); }
    FT_STATUS SetTimeouts(FT_HANDLE h, ULONG r, ULONG w) override { return call([&] { return d_.SetTimeouts(h, r, w); }); }
    FT_STATUS GetQueueStatus(FT_HANDLE h, DWORD* q) override { return call([&] { return d_.GetQueueStatus(h, q); }); }
    FT_STATUS Read(FT_HANDLE h, void* b, DWORD n, DWORD* r) override { return call([&] { return d_.Read(h, b, n, r); }); }
    FT_STATUS Close(FT_HANDLE h) override { return call([&] { return d_.Close(h); }); }

private:
    template <class F>
    FT_STATUS call(F f)
    {
        try {
            return f();
        } catch (const D2xxError& e) {
            failure = QString::fromStdString(e.what());
            throw;
        }
    }
    D2xx& d_;
};

struct Console {
    // `serial` empty: device 0, as the window opens it.
    Console(DynamicD2xx& driver, const QString& graticules, const QByteArray& serial);

    // After a failed exchange: "<what> failed: <the steps>", then the cause
    // and its fix on a line of their own.
    void reportFailure(const QString& what, const Outcome& o) const;
    // The steps that failed, in the status box's words.
    QString failedSteps(const Outcome& o) const;
    // Why it failed and the fix: the driver library, the open, else the link.
    diagnosis::Finding diagnose(const Outcome& o) const;
    // Why an open failed; empty when it did not.
    QString cause(const Link::OpenResult& open) const;
    // ... with the cause and the fix apart; none when it did not fail.
    std::optional<diagnosis::Finding> finding(const Link::OpenResult& open) const;
    // One picture as capture takes it: "1 Frame". A fresh start has no levels
    // yet, so in a display with level bars (unless `single`) a second frame
    // brings the ones the instrument sent with the first.
    FrameOutcome picture(bool single);

    DynamicD2xx& driver;
    ConsoleHost host;
    DriverWatch watch;
    Session session;
};

// PNG or BMP by the name's extension; empty when neither.
QByteArray formatFor(const QString& path);
QByteArray encode(const QImage& image, const QByteArray& format);
// The whole file or none: written under a temporary name, renamed when
// complete. "-" is standard output.
bool writeAtomically(const QString& path, const QByteArray& bytes);
// Whether a file can be made there, found out before the instrument is touched.
bool writable(const QString& path);
