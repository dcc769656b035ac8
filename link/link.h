#pragma once
#include "d2xx.h"
#include "host.h"
#include "state.h"
#include <QObject>
#include <QTimer>

// The program's whole contact with the instrument, and its only way of waiting.
class Link : public QObject {
    Q_OBJECT
public:
    Link(State& state, D2xx& d2xx, Host& host, QObject* parent = nullptr);

    void Open_USB();
    void Send_byte_to_USB(int code);
    void Wait_ms(int ms);
    void Timer1_Timer();

    // The remaining calls, each exactly one driver call on ftHandle. A handle
    // that is not open gets FT_INVALID_HANDLE without reaching the driver.
    FT_STATUS setTimeouts();                 // read 100 ms, write 0
    FT_STATUS getQueueStatus();              // into QueueCount
    FT_STATUS readRx(int64_t count);         // into RxBuffer from position 1
    FT_STATUS readLogLine(int64_t count);    // into LogLine from position 1
    FT_STATUS close();

    // StatusText += message + CR LF, then Text1 shows the whole log.
    void appendStatus(const QString& message);
    // Text1 shows just this message; StatusText stays as it was.
    void replaceText1(const QString& message);

    // How the latest Open_USB ended, for the window's first-run hint.
    // OpenExRefused: the open failed while one of our own handlers held the
    // device, so the cause is ours and not the system's.
    enum class OpenOutcome { NotTried, Opened, ListFailed, OpenExFailed, OpenExRefused };
    OpenOutcome lastOpen = OpenOutcome::NotTried;
    FT_STATUS lastOpenStatus = FT_OK;

    QTimer Timer1;
    State& state() { return state_; }
    Host& host() { return host_; }

private:
    FT_STATUS readInto(uint8_t* buffer, int capacity, int64_t count);

    State& state_;
    D2xx& d2xx_;
    Host& host_;
};
