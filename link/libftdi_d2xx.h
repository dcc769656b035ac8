#pragma once
// The seven driver calls over libftdi1, the open library that reaches FTDI
// chips through libusb and detaches the kernel's ftdi_sio from the one device
// it opens. libftdi keeps no receive queue, so every open device gets one of
// ours, filled by asynchronous USB transfers whose events a reader thread
// handles; it lives exactly as long as the handle, and Close cancels the
// transfers rather than wait for the chip.
//
// The calls come from one thread at a time (the window's, or the command-line
// tool's). The chip's latency timer, baud rate and flow control are left as
// they are.
#include "d2xx.h"
#include "diagnosis.h"
#include <QString>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>

class LibftdiD2xx : public D2xx {
public:
    // `root`: where the machine's sysfs and /proc are read, for who holds a
    // device; tests give a tree of their own.
    explicit LibftdiD2xx(QString root = QStringLiteral("/"));
    ~LibftdiD2xx() override;   // closes whatever is still open
    LibftdiD2xx(const LibftdiD2xx&) = delete;
    LibftdiD2xx& operator=(const LibftdiD2xx&) = delete;

    // Only FT_ListDevices(index, buffer, FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER):
    // the serial number of the index-th FTDI device (vendor 0x0403; product
    // 0x6001, 0x6010, 0x6011, 0x6014 or 0x6015), those another program holds
    // last. FT_DEVICE_NOT_FOUND when there is no such device,
    // FT_DEVICE_NOT_OPENED when it is there but its serial number cannot be
    // read (no permission on the USB device). A listing detaches nothing.
    //
    // OpenEx takes a device only when it is free: one whose tty another
    // process has open keeps its kernel driver and fails as busy
    // (FT_DEVICE_NOT_OPENED), as does one another program has claimed.
    // ftdi_sio is detached from the device opened and attached again by Close.
    FT_STATUS ListDevices(void* arg1, void* arg2, DWORD flags) override;
    FT_STATUS OpenEx(void* arg1, DWORD flags, FT_HANDLE* handle) override;
    FT_STATUS Write(FT_HANDLE h, void* buffer, DWORD toWrite, DWORD* written) override;
    FT_STATUS SetTimeouts(FT_HANDLE h, ULONG readTimeout, ULONG writeTimeout) override;
    FT_STATUS GetQueueStatus(FT_HANDLE h, DWORD* rxBytes) override;
    FT_STATUS Read(FT_HANDLE h, void* buffer, DWORD toRead, DWORD* read) override;
    FT_STATUS Close(FT_HANDLE h) override;

    // "1.5", as the library reports itself.
    static QString version();
    // Empty when libusb starts here, else why it does not.
    static QString unusableReason();

private:
    struct Device;
    Device* find(FT_HANDLE h) const;

    // Handles are numbers never given out twice, so a stale handle finds nothing.
    QList<diagnosis::FtdiDevice> machine();

    QString root_;
    QList<diagnosis::FtdiDevice> machine_;   // the last look at the machine, and when
    std::optional<std::chrono::steady_clock::time_point> machineAt_;
    std::map<uintptr_t, std::unique_ptr<Device>> open_;
    uintptr_t nextHandle_ = 1;
};
