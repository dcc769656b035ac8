#include "libftdi_d2xx.h"
#include "diagnosis.h"
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <cstring>
#include <ftdi.h>
#include <libusb.h>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
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
// Ordered as the machine's own listing orders them: those another program
// holds last, then by bus and device number, so that device 0 is the first
// free one.
struct DeviceList {
    struct Item {
        libusb_device* dev;
        bool held;            // another process has its tty or its usbfs node open
        bool ttyHeld;         // ... its tty, which detaching the kernel driver would take away
    };
    DeviceList(ftdi_context* ctx, const std::function<QList<diagnosis::FtdiDevice>()>& machineNow)
    {
        if (ftdi_usb_find_all(ctx, &head, 0, 0) <= 0)
            return;
        const QList<diagnosis::FtdiDevice> machine = machineNow();
        for (ftdi_device_list* i = head; i; i = i->next) {
            const diagnosis::FtdiDevice* m =
                diagnosis::byAddress(machine, libusb_get_bus_number(i->dev), libusb_get_device_address(i->dev));
            items.push_back({i->dev, m && m->held(), m && m->ttyHeld()});
        }
        std::stable_sort(items.begin(), items.end(), [](const Item& a, const Item& b) {
            auto key = [](const Item& i) {
                return std::tuple(i.held, libusb_get_bus_number(i.dev), libusb_get_device_address(i.dev));
            };
            return key(a) < key(b);
        });
    }
    ~DeviceList() { ftdi_list_free(&head); }
    DeviceList(const DeviceList&) = delete;
    DeviceList& operator=(const DeviceList&) = delete;
    ftdi_device_list* head = nullptr;
    std::vector<Item> items;
};

// The serial number of a listed device; false when it cannot be read (no
// permission). Reading it opens the device but claims nothing.
bool serialOf(ftdi_context* ctx, libusb_device* dev, char (&serial)[kSerialBytes])
{
    std::fill(std::begin(serial), std::end(serial), '\0');
    if (ftdi_usb_get_strings(ctx, dev, nullptr, 0, nullptr, 0, serial, kSerialBytes) < 0)
        return false;
    serial[kSerialBytes - 1] = '\0';
    return true;
}
} // namespace

// Several bulk IN transfers are kept in flight, as FTDI's own library does,
// so the chip never waits for the host; each completed one is handed on and
// submitted again. Close cancels them, so it never waits for the chip.
constexpr int kTransfers = 4;

struct LibftdiD2xx::Device {
    Context ctx{nullptr, &ftdi_free};
    std::string serial;
    std::thread reader;
    ULONG readTimeoutMs = 0;   // 0: a read waits for all it asked for
    std::vector<libusb_transfer*> transfers;
    std::vector<std::vector<unsigned char>> buffers;

    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<uint8_t> queue;   // received, not yet read: [head, end)
    size_t head = 0;
    bool failed = false;          // a transfer failed (unplugged): no more come
    bool stopping = false;        // Close: submit nothing again
    int inFlight = 0;

    ~Device();
    size_t queued() const { return queue.size() - head; }
    bool start();
    void run();
    void stop();
    void take(const libusb_transfer* t);
    static void LIBUSB_CALL completed(libusb_transfer* t);
};

LibftdiD2xx::Device::~Device()
{
    for (libusb_transfer* t : transfers)
        libusb_free_transfer(t);
}

// Submits the transfers and starts the thread that handles their events.
bool LibftdiD2xx::Device::start()
{
    const int size = int(std::max(ctx->readbuffer_chunksize, ctx->max_packet_size));
    for (int i = 0; i < kTransfers; ++i) {
        libusb_transfer* t = libusb_alloc_transfer(0);
        if (!t)
            break;
        transfers.push_back(t);
        buffers.emplace_back(size_t(size));
        libusb_fill_bulk_transfer(t, ctx->usb_dev, static_cast<unsigned char>(ctx->out_ep), buffers.back().data(), size,
                                  &Device::completed, this, 0);
        if (libusb_submit_transfer(t) != 0)
            break;
        ++inFlight;
    }
    if (inFlight < kTransfers) {
        stop();
        return false;
    }
    reader = std::thread([this] { run(); });
    return true;
}

// Events until the last transfer is back: after Close's cancel, or once the
// device has gone. A callback may also run in another thread's libusb call
// (a write), so the loop only looks at the count.
void LibftdiD2xx::Device::run()
{
#if defined(__linux__)
    pthread_setname_np(pthread_self(), kReaderName);   // for top -H and the benchmark
#endif
    for (;;) {
        {
            std::lock_guard lock(mutex);
            if (inFlight == 0)
                return;
        }
        timeval tv{1, 0};
        libusb_handle_events_timeout_completed(ctx->usb_ctx, &tv, nullptr);
    }
}

// Cancels what is in flight and waits for it to come back. Also for a device
// whose start failed half-way, with no thread yet.
void LibftdiD2xx::Device::stop()
{
    {
        std::lock_guard lock(mutex);
        stopping = true;
    }
    // Not in flight: NOT_FOUND, nothing to do.
    for (libusb_transfer* t : transfers)
        libusb_cancel_transfer(t);
    if (reader.joinable()) {
        reader.join();
        return;
    }
    for (;;) {
        {
            std::lock_guard lock(mutex);
            if (inFlight == 0)
                return;
        }
        timeval tv{0, 100000};
        libusb_handle_events_timeout_completed(ctx->usb_ctx, &tv, nullptr);
    }
}

// The payload of each packet, without the two modem-status bytes it starts with.
void LibftdiD2xx::Device::take(const libusb_transfer* t)
{
    if (head > 0 && head == queue.size()) {
        queue.clear();
        head = 0;
    }
    const int packet = int(std::max(ctx->max_packet_size, 3u));
    for (int at = 0; at < t->actual_length; at += packet) {
        const int end = std::min(at + packet, t->actual_length);
        if (end - at > 2)
            queue.insert(queue.end(), t->buffer + at + 2, t->buffer + end);
    }
}

void LIBUSB_CALL LibftdiD2xx::Device::completed(libusb_transfer* t)
{
    auto* d = static_cast<Device*>(t->user_data);
    bool cancelOthers = false;
    {
        std::lock_guard lock(d->mutex);
        bool again = false;
        switch (t->status) {
        case LIBUSB_TRANSFER_COMPLETED:
            d->take(t);
            again = true;
            break;
        case LIBUSB_TRANSFER_TIMED_OUT:
            again = true;
            break;
        case LIBUSB_TRANSFER_CANCELLED:
            break;
        default:   // gone, or the pipe broke: nothing more will come
            cancelOthers = !d->failed;
            d->failed = true;
            break;
        }
        if (again && !d->stopping && !d->failed) {
            if (libusb_submit_transfer(t) == 0)
                again = true;
            else
                again = false, cancelOthers = true, d->failed = true;
        } else {
            again = false;
        }
        if (!again)
            --d->inFlight;
        d->arrived.notify_all();
    }
    if (cancelOthers)
        for (libusb_transfer* other : d->transfers)
            if (other != t)
                libusb_cancel_transfer(other);
}

LibftdiD2xx::LibftdiD2xx(QString root) : root_(std::move(root)) {}

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

// Looking through every process's open files takes a while on a busy
// machine; an open right after its listing uses what the listing found.
QList<diagnosis::FtdiDevice> LibftdiD2xx::machine()
{
    const auto now = std::chrono::steady_clock::now();
    if (!machineAt_ || now - *machineAt_ > std::chrono::seconds(1)) {
        machine_ = diagnosis::ftdiDevices({root_, std::nullopt, 0});
        machineAt_ = now;
    }
    return machine_;
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
    DeviceList list(ctx.get(), [this] { return machine(); });
    const uintptr_t index = reinterpret_cast<uintptr_t>(arg1);
    if (index >= list.items.size())
        return FT_DEVICE_NOT_FOUND;
    char serial[kSerialBytes];
    if (!serialOf(ctx.get(), list.items[index].dev, serial))
        return FT_DEVICE_NOT_OPENED;
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
    // ftdi_sio goes back onto the device when it is released.
    d->ctx->module_detach_mode = AUTO_DETACH_REATACH_SIO_MODULE;
    bool found = false, opened = false;
    {
        DeviceList list(d->ctx.get(), [this] { return machine(); });
        for (const DeviceList::Item& item : list.items) {
            char s[kSerialBytes];
            if (!serialOf(d->ctx.get(), item.dev, s) || serial != s)
                continue;
            found = true;
            // Someone works through its tty: busy, and the kernel driver stays.
            // One another program has claimed fails the claim as busy.
            opened = !item.ttyHeld && ftdi_usb_open_dev(d->ctx.get(), item.dev) == 0;
            break;
        }
    }
    if (!opened)
        return found ? FT_DEVICE_NOT_OPENED : FT_DEVICE_NOT_FOUND;
    if (!d->start()) {
        ftdi_usb_close(d->ctx.get());
        return FT_DEVICE_NOT_OPENED;
    }
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
    d->stop();
    // Closes the USB handle even when the device has gone.
    const bool released = ftdi_usb_close(d->ctx.get()) == 0;
    return released && !d->failed ? FT_OK : FT_IO_ERROR;
}
