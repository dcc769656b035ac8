#include "libftdi_d2xx.h"
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <ftdi.h>
#include <libusb.h>
#include <mutex>
#include <string>
#include <thread>
#include <vector>
#if defined(__linux__)
#include <pthread.h>
#endif

namespace {
// FT_ListDevices writes at most this much, terminator included.
constexpr int kSerialBytes = 64;
constexpr const char* kReaderName = "ftdi-reader";

using Context = std::unique_ptr<ftdi_context, decltype(&ftdi_free)>;

Context newContext() { return Context(ftdi_new(), &ftdi_free); }

// The FTDI devices on the bus. Vendor and product 0 make libftdi take
// 0x0403 with the usual product ids of the one- and multi-channel chips.
struct DeviceList {
    explicit DeviceList(ftdi_context* ctx) { count = ftdi_usb_find_all(ctx, &head, 0, 0); }
    ~DeviceList() { ftdi_list_free(&head); }
    DeviceList(const DeviceList&) = delete;
    DeviceList& operator=(const DeviceList&) = delete;
    ftdi_device_list* head = nullptr;
    int count = 0;
};
} // namespace

struct LibftdiD2xx::Device {
    Context ctx{nullptr, &ftdi_free};
    std::string serial;
    std::thread reader;
    std::atomic<bool> stop{false};
    ULONG readTimeoutMs = 0;   // 0: a read waits for all it asked for

    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<uint8_t> queue;   // received, not yet read: [head, end)
    size_t head = 0;
    bool failed = false;          // the reader hit a USB error (unplugged)

    size_t queued() const { return queue.size() - head; }
    void run();
};

// Hands on every USB transfer as soon as it completes. libftdi's own read
// keeps transferring until it has all it was asked for, so ask it for one
// byte when its buffer is empty, then for exactly what that transfer left.
// With no data the chip still ends a transfer every latency-timer period, so
// the loop sleeps in libusb and sees `stop` within that period.
void LibftdiD2xx::Device::run()
{
#if defined(__linux__)
    pthread_setname_np(pthread_self(), kReaderName);   // for top -H and the benchmark
#endif
    std::vector<unsigned char> buf(std::max(ctx->readbuffer_chunksize, 1u));
    while (!stop.load()) {
        const unsigned left = std::min<unsigned>(ctx->readbuffer_remaining, unsigned(buf.size()));
        const int n = ftdi_read_data(ctx.get(), buf.data(), left ? int(left) : 1);
        if (n == LIBUSB_ERROR_TIMEOUT || n == 0)
            continue;
        std::lock_guard lock(mutex);
        if (n < 0) {
            failed = true;
            arrived.notify_all();
            return;
        }
        if (head > 0 && head == queue.size()) {
            queue.clear();
            head = 0;
        }
        queue.insert(queue.end(), buf.begin(), buf.begin() + n);
        arrived.notify_all();
    }
}

LibftdiD2xx::LibftdiD2xx() = default;

LibftdiD2xx::~LibftdiD2xx()
{
    while (!open_.empty())
        Close(reinterpret_cast<FT_HANDLE>(open_.begin()->first));
}

QString LibftdiD2xx::version()
{
    return QString::fromLatin1(ftdi_get_library_version().version_str);
}

QString LibftdiD2xx::unusableReason()
{
    if (newContext())
        return {};
    return QStringLiteral("libusb could not be started (no USB device file system?)");
}

LibftdiD2xx::Device* LibftdiD2xx::find(FT_HANDLE h) const
{
    const auto it = open_.find(reinterpret_cast<uintptr_t>(h));
    return it == open_.end() ? nullptr : it->second.get();
}

FT_STATUS LibftdiD2xx::ListDevices(void* arg1, void* arg2, DWORD flags)
{
    if (flags != (FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER) || !arg2)
        return FT_INVALID_PARAMETER;
    Context ctx = newContext();
    if (!ctx)
        return FT_DEVICE_NOT_FOUND;
    DeviceList list(ctx.get());
    ftdi_device_list* item = list.count > 0 ? list.head : nullptr;
    for (uintptr_t i = reinterpret_cast<uintptr_t>(arg1); item && i > 0; --i)
        item = item->next;
    if (!item)
        return FT_DEVICE_NOT_FOUND;
    char serial[kSerialBytes] = {};
    if (ftdi_usb_get_strings(ctx.get(), item->dev, nullptr, 0, nullptr, 0, serial, kSerialBytes) < 0)
        return FT_DEVICE_NOT_OPENED;
    serial[kSerialBytes - 1] = '\0';
    std::memcpy(arg2, serial, std::strlen(serial) + 1);
    return FT_OK;
}

FT_STATUS LibftdiD2xx::OpenEx(void* arg1, DWORD flags, FT_HANDLE* handle)
{
    if (flags != FT_OPEN_BY_SERIAL_NUMBER || !arg1 || !handle)
        return FT_INVALID_PARAMETER;
    const std::string serial(static_cast<const char*>(arg1));
    // Already open here: the device is taken, as it would be by another program.
    for (const auto& [id, d] : open_)
        if (d->serial == serial)
            return FT_DEVICE_NOT_OPENED;
    auto d = std::make_unique<Device>();
    d->ctx = newContext();
    if (!d->ctx)
        return FT_DEVICE_NOT_OPENED;
    d->serial = serial;
    bool found = false, opened = false;
    {
        DeviceList list(d->ctx.get());
        for (ftdi_device_list* item = list.count > 0 ? list.head : nullptr; item && !found; item = item->next) {
            char s[kSerialBytes] = {};
            if (ftdi_usb_get_strings(d->ctx.get(), item->dev, nullptr, 0, nullptr, 0, s, kSerialBytes) < 0)
                continue;
            s[kSerialBytes - 1] = '\0';
            if (serial != s)
                continue;
            found = true;
            // Claims interface A; ftdi_sio is detached from it first.
            opened = ftdi_usb_open_dev(d->ctx.get(), item->dev) == 0;
        }
    }
    if (!opened)
        return found ? FT_DEVICE_NOT_OPENED : FT_DEVICE_NOT_FOUND;
    Device* dev = d.get();
    dev->reader = std::thread([dev] { dev->run(); });
    const uintptr_t id = nextHandle_++;
    open_.emplace(id, std::move(d));
    *handle = reinterpret_cast<FT_HANDLE>(id);
    return FT_OK;
}

FT_STATUS LibftdiD2xx::Write(FT_HANDLE h, void* buffer, DWORD toWrite, DWORD* written)
{
    Device* d = find(h);
    if (!d)
        return FT_INVALID_HANDLE;
    if (!written || (!buffer && toWrite) || toWrite > DWORD(INT32_MAX))
        return FT_INVALID_PARAMETER;
    *written = 0;
    {
        std::lock_guard lock(d->mutex);
        if (d->failed)
            return FT_IO_ERROR;
    }
    // The write time-out stays libftdi's own: a dead link cannot hold the caller forever.
    const int n = ftdi_write_data(d->ctx.get(), static_cast<const unsigned char*>(buffer), int(toWrite));
    if (n < 0)
        return FT_IO_ERROR;
    *written = DWORD(n);
    return FT_OK;
}

FT_STATUS LibftdiD2xx::SetTimeouts(FT_HANDLE h, ULONG readTimeout, ULONG)
{
    Device* d = find(h);
    if (!d)
        return FT_INVALID_HANDLE;
    std::lock_guard lock(d->mutex);
    if (d->failed)
        return FT_IO_ERROR;
    d->readTimeoutMs = readTimeout;
    return FT_OK;
}

FT_STATUS LibftdiD2xx::GetQueueStatus(FT_HANDLE h, DWORD* rxBytes)
{
    Device* d = find(h);
    if (!d)
        return FT_INVALID_HANDLE;
    if (!rxBytes)
        return FT_INVALID_PARAMETER;
    std::lock_guard lock(d->mutex);
    if (d->failed)
        return FT_IO_ERROR;
    *rxBytes = DWORD(d->queued());
    return FT_OK;
}

FT_STATUS LibftdiD2xx::Read(FT_HANDLE h, void* buffer, DWORD toRead, DWORD* read)
{
    if (read)
        *read = 0;
    Device* d = find(h);
    if (!d)
        return FT_INVALID_HANDLE;
    if (!read || (!buffer && toRead))
        return FT_INVALID_PARAMETER;
    std::unique_lock lock(d->mutex);
    const auto ready = [&] { return d->failed || d->queued() >= toRead; };
    if (d->readTimeoutMs == 0)
        d->arrived.wait(lock, ready);
    else
        d->arrived.wait_for(lock, std::chrono::milliseconds(d->readTimeoutMs), ready);
    if (d->failed)
        return FT_IO_ERROR;
    const size_t n = std::min<size_t>(toRead, d->queued());
    if (n == 0)
        return FT_OK;   // an empty queue may have no storage at all
    std::memcpy(buffer, d->queue.data() + d->head, n);
    d->head += n;
    // Compact now and then, so the queue does not grow with the session.
    if (d->head == d->queue.size() || d->head > (1u << 20)) {
        d->queue.erase(d->queue.begin(), d->queue.begin() + std::ptrdiff_t(d->head));
        d->head = 0;
    }
    *read = DWORD(n);
    return FT_OK;
}

FT_STATUS LibftdiD2xx::Close(FT_HANDLE h)
{
    const auto it = open_.find(reinterpret_cast<uintptr_t>(h));
    if (it == open_.end())
        return FT_INVALID_HANDLE;
    std::unique_ptr<Device> d = std::move(it->second);
    open_.erase(it);
    d->stop = true;
    d->reader.join();
    // Closes the USB handle even when the device has gone.
    const bool released = ftdi_usb_close(d->ctx.get()) == 0;
    return released && !d->failed ? FT_OK : FT_IO_ERROR;
}
