#pragma once
// The seven calls of the FTDI D2XX driver library that this program uses,
// declared by us with the library's own argument shapes. The status, count and
// flag types are 32 bits wide on every platform.
#include <cstdint>
#include <stdexcept>
#include <string>

using FT_STATUS = uint32_t;
using DWORD = uint32_t;
using ULONG = uint32_t;
using FT_HANDLE = void*;

constexpr FT_STATUS FT_OK = 0;
constexpr FT_STATUS FT_INVALID_HANDLE = 1;
constexpr FT_STATUS FT_DEVICE_NOT_FOUND = 2;
constexpr FT_STATUS FT_DEVICE_NOT_OPENED = 3;
constexpr FT_STATUS FT_IO_ERROR = 4;
constexpr FT_STATUS FT_INVALID_PARAMETER = 6;

constexpr DWORD FT_OPEN_BY_SERIAL_NUMBER = 1;
constexpr DWORD FT_LIST_BY_INDEX = 0x40000000;

// A run-time failure that no D2XX status can express, such as a driver library
// that cannot be loaded. Carries a number so message boxes can show one.
class D2xxError : public std::runtime_error {
public:
    D2xxError(int code, const std::string& what) : std::runtime_error(what), code_(code) {}
    int code() const { return code_; }
private:
    int code_;
};

// Error numbers for D2xxError.
enum : int {
    kErrLibraryMissing = 1001,
    kErrEntryPointMissing = 1002,
};

// The pause before polling a driver's receive queue again, in microseconds:
// about as long as the missing bytes take at 1 MB/s, which the driver fills
// from its own thread, kept between 1 and 8 ms so that polling stays near
// 1000 calls a second at most while data is read within about 1 ms of arriving.
inline int64_t queuePollPauseUs(int64_t missingBytes)
{
    return missingBytes < 1000 ? 1000 : missingBytes > 8000 ? 8000 : missingBytes;
}

class D2xx {
public:
    virtual ~D2xx() = default;
    virtual FT_STATUS ListDevices(void* arg1, void* arg2, DWORD flags) = 0;
    virtual FT_STATUS OpenEx(void* arg1, DWORD flags, FT_HANDLE* handle) = 0;
    virtual FT_STATUS Write(FT_HANDLE h, void* buffer, DWORD toWrite, DWORD* written) = 0;
    virtual FT_STATUS SetTimeouts(FT_HANDLE h, ULONG readTimeout, ULONG writeTimeout) = 0;
    virtual FT_STATUS GetQueueStatus(FT_HANDLE h, DWORD* rxBytes) = 0;
    virtual FT_STATUS Read(FT_HANDLE h, void* buffer, DWORD toRead, DWORD* read) = 0;
    virtual FT_STATUS Close(FT_HANDLE h) = 0;
};
