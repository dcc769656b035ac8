// The simulated instrument as an FTDI chip on a USB bus: a stand-in for
// libusb-1.0 (file name and SONAME libusb-1.0.so.0) for the vendor's D2XX
// library and libftdi1, which both reach the chip through it. This file is
// the library's calls: devices, handles, transfers and their events; the chip
// itself (ftdi_chip.h) answers the requests and makes the packets. Transfers
// complete in libusb_handle_events*() on the caller's thread, or inside the
// synchronous calls. Configured from the environment as instrument.h says.
#include "ftdi_chip.h"
#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstdarg>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <limits>
#include <mutex>
#include <new>
#include <vector>

#pragma GCC visibility push(default)
#include <libusb-1.0/libusb.h>
#pragma GCC visibility pop

// The structures callers fill and read must have the library's layout.
#if defined(__x86_64__)
static_assert(sizeof(libusb_device_descriptor) == 18);
static_assert(offsetof(libusb_transfer, timeout) == 12 && offsetof(libusb_transfer, callback) == 32 &&
              offsetof(libusb_transfer, buffer) == 48 && offsetof(libusb_transfer, num_iso_packets) == 56 &&
              sizeof(libusb_transfer) == 64);
static_assert(offsetof(libusb_config_descriptor, interface) == 16 && sizeof(libusb_config_descriptor) == 40);
static_assert(offsetof(libusb_endpoint_descriptor, wMaxPacketSize) == 4 && sizeof(libusb_endpoint_descriptor) == 32);
#endif

struct libusb_context {
    int unused = 0;
};
struct libusb_device {
    int refs = 1;   // the bus holds one
};
struct libusb_device_handle {
    libusb_device* dev = nullptr;
    bool claimed = false;
    bool everClaimed = false;
};

namespace {

using Clock = Instrument::Clock;

constexpr uint8_t kEpIn = FtdiChip::kEpIn, kEpOut = FtdiChip::kEpOut;

// Our part of a transfer, in front of the part callers see.
struct Xfer {
    bool inFlight = false;   // from submit until its callback has been called
    bool done = false;       // finished, callback not yet called
    bool cancel = false;
    bool sync = false;       // one of ours, waited for by a synchronous call
    Clock::time_point submitted{}, deadline{};
};
constexpr size_t kXferHead = (sizeof(Xfer) + 63) / 64 * 64;
Xfer& priv(libusb_transfer* t)
{
    return *std::launder(reinterpret_cast<Xfer*>(reinterpret_cast<char*>(t) - kXferHead));
}

struct Emu {
    std::mutex m;
    std::condition_variable cv;              // something finished or arrived
    std::recursive_mutex callbacks;          // held while callbacks run and while a caller's `completed` is read
    FtdiChip chip;
    libusb_context defaultContext;
    libusb_device dev;
    libusb_device_handle* claimedBy = nullptr;
    std::deque<libusb_transfer*> in;         // bulk IN transfers waiting for packets, oldest first
    std::deque<libusb_transfer*> finished;   // asynchronous ones done, callbacks due
};

Emu& emu()
{
    static Emu* e = new Emu;   // lives to the end of the process: callers may outlive static destructors
    return *e;
}

uint16_t le16(const uint8_t* p)
{
    return uint16_t(p[0] | p[1] << 8);
}

void complete(Emu& e, libusb_transfer* t, libusb_transfer_status st)
{
    t->status = st;
    Xfer& x = priv(t);
    x.done = true;
    if (!x.sync)
        e.finished.push_back(t);
}

// Everything that has happened by `now`: packets into the waiting bulk IN
// transfers, time-outs, cancels, the instrument leaving the bus.
void progress(Emu& e, Clock::time_point now)
{
    const bool here = e.chip.inst.present(now);
    bool changed = false;
    for (auto it = e.in.begin(); it != e.in.end();) {
        libusb_transfer* t = *it;
        const Xfer& x = priv(t);
        const libusb_transfer_status st = !here     ? LIBUSB_TRANSFER_NO_DEVICE
                                          : x.cancel ? LIBUSB_TRANSFER_CANCELLED
                                          : now >= x.deadline ? LIBUSB_TRANSFER_TIMED_OUT
                                                              : LIBUSB_TRANSFER_COMPLETED;
        if (st == LIBUSB_TRANSFER_COMPLETED) {
            ++it;
            continue;
        }
        it = e.in.erase(it);
        complete(e, t, st);
        changed = true;
    }
    // Packets go to the oldest transfer.
    while (!e.in.empty()) {
        libusb_transfer* t = e.in.front();
        const FtdiChip::In in = e.chip.bulkIn(t->buffer, t->length, t->actual_length, priv(t).submitted, now);
        if (in == FtdiChip::In::Waiting)
            break;
        e.in.pop_front();
        complete(e, t, in == FtdiChip::In::Overflow ? LIBUSB_TRANSFER_OVERFLOW : LIBUSB_TRANSFER_COMPLETED);
        changed = true;
    }
    if (changed)
        e.cv.notify_all();
}

// When progress() may next have something to do.
Clock::time_point nextWake(const Emu& e)
{
    Clock::time_point t = e.chip.inst.unplugTime();
    if (e.in.empty())
        return t;
    // The oldest transfer ends when a packet fills it or a short one comes.
    const libusb_transfer* front = e.in.front();
    t = std::min(t, e.chip.nextPacketDue(front->length - front->actual_length));
    for (libusb_transfer* x : e.in)
        t = std::min(t, priv(x).deadline);
    return t;
}

bool validHandle(const Emu& e, libusb_device_handle* h)
{
    return h && h->dev == &e.dev;
}

int statusToError(libusb_transfer_status st)
{
    switch (st) {
    case LIBUSB_TRANSFER_COMPLETED: return 0;
    case LIBUSB_TRANSFER_TIMED_OUT: return LIBUSB_ERROR_TIMEOUT;
    case LIBUSB_TRANSFER_STALL: return LIBUSB_ERROR_PIPE;
    case LIBUSB_TRANSFER_NO_DEVICE: return LIBUSB_ERROR_NO_DEVICE;
    case LIBUSB_TRANSFER_OVERFLOW: return LIBUSB_ERROR_OVERFLOW;
    case LIBUSB_TRANSFER_CANCELLED: return LIBUSB_ERROR_INTERRUPTED;
    default: return LIBUSB_ERROR_IO;
    }
}

// Waits for events until `until` or until *completed is set; calls the
// callbacks of what finished. 0, as libusb answers.
int handleEvents(const Clock::time_point until, int* completed)
{
    Emu& e = emu();
    for (;;) {
        if (completed) {
            std::lock_guard cb(e.callbacks);
            if (*completed)
                return 0;
        }
        std::unique_lock lock(e.m);
        const auto now = Clock::now();
        progress(e, now);
        if (!e.finished.empty()) {
            std::deque<libusb_transfer*> ready;
            ready.swap(e.finished);
            for (libusb_transfer* t : ready) {
                priv(t).inFlight = false;
                priv(t).done = false;
            }
            lock.unlock();
            {
                std::lock_guard cb(e.callbacks);
                for (libusb_transfer* t : ready) {
                    const bool free = t->flags & LIBUSB_TRANSFER_FREE_TRANSFER;
                    if (t->callback)
                        t->callback(t);
                    if (free)
                        libusb_free_transfer(t);
                }
            }
            e.cv.notify_all();   // another thread may wait for what a callback set
            return 0;
        }
        if (now >= until)
            return 0;
        e.cv.wait_until(lock, std::min(until, nextWake(e)));
    }
}

Clock::time_point after(const struct timeval* tv)
{
    if (!tv)
        return Clock::now() + std::chrono::seconds(60);
    return Clock::now() + std::chrono::seconds(tv->tv_sec) + std::chrono::microseconds(tv->tv_usec);
}

int syncTransfer(libusb_device_handle* h, unsigned char endpoint, unsigned char* data, int length, int* transferred,
                 unsigned int timeout)
{
    libusb_transfer* t = libusb_alloc_transfer(0);
    if (!t)
        return LIBUSB_ERROR_NO_MEM;
    libusb_fill_bulk_transfer(t, h, endpoint, data, length, nullptr, nullptr, timeout);
    priv(t).sync = true;
    int r = libusb_submit_transfer(t);
    if (r == 0) {
        Emu& e = emu();
        std::unique_lock lock(e.m);
        for (;;) {
            progress(e, Clock::now());
            if (priv(t).done)
                break;
            e.cv.wait_until(lock, nextWake(e));
        }
        priv(t).inFlight = false;
        r = statusToError(t->status);
        if (transferred)
            *transferred = t->actual_length;
    }
    libusb_free_transfer(t);
    return r;
}

} // namespace

// ---------------------------------------------------------------- library and devices

extern "C" {

int LIBUSB_CALL libusb_init(libusb_context** ctx)
{
    emu();   // the instrument powers up, reading its configuration
    if (ctx)
        *ctx = new libusb_context;
    return 0;
}

void LIBUSB_CALL libusb_exit(libusb_context* ctx)
{
    if (ctx != &emu().defaultContext)
        delete ctx;
}

void LIBUSB_CALL libusb_set_debug(libusb_context*, int) {}

int LIBUSB_CALL libusb_set_option(libusb_context*, enum libusb_option, ...)
{
    return 0;
}

int LIBUSB_CALL libusb_has_capability(uint32_t capability)
{
    // No hotplug events: the bus is looked at when asked.
    return capability == LIBUSB_CAP_HAS_CAPABILITY || capability == LIBUSB_CAP_SUPPORTS_DETACH_KERNEL_DRIVER;
}

const struct libusb_version* LIBUSB_CALL libusb_get_version(void)
{
    static const libusb_version v{1, 0, 26, 0, "", "emulated FTDI chip"};
    return &v;
}

const char* LIBUSB_CALL libusb_error_name(int code)
{
    switch (code) {
    case LIBUSB_SUCCESS: return "LIBUSB_SUCCESS";
    case LIBUSB_ERROR_IO: return "LIBUSB_ERROR_IO";
    case LIBUSB_ERROR_INVALID_PARAM: return "LIBUSB_ERROR_INVALID_PARAM";
    case LIBUSB_ERROR_ACCESS: return "LIBUSB_ERROR_ACCESS";
    case LIBUSB_ERROR_NO_DEVICE: return "LIBUSB_ERROR_NO_DEVICE";
    case LIBUSB_ERROR_NOT_FOUND: return "LIBUSB_ERROR_NOT_FOUND";
    case LIBUSB_ERROR_BUSY: return "LIBUSB_ERROR_BUSY";
    case LIBUSB_ERROR_TIMEOUT: return "LIBUSB_ERROR_TIMEOUT";
    case LIBUSB_ERROR_OVERFLOW: return "LIBUSB_ERROR_OVERFLOW";
    case LIBUSB_ERROR_PIPE: return "LIBUSB_ERROR_PIPE";
    case LIBUSB_ERROR_INTERRUPTED: return "LIBUSB_ERROR_INTERRUPTED";
    case LIBUSB_ERROR_NO_MEM: return "LIBUSB_ERROR_NO_MEM";
    case LIBUSB_ERROR_NOT_SUPPORTED: return "LIBUSB_ERROR_NOT_SUPPORTED";
    default: return "LIBUSB_ERROR_OTHER";
    }
}

const char* LIBUSB_CALL libusb_strerror(int code)
{
    return libusb_error_name(code);
}

ssize_t LIBUSB_CALL libusb_get_device_list(libusb_context*, libusb_device*** list)
{
    Emu& e = emu();
    std::lock_guard lock(e.m);
    const bool here = e.chip.inst.present(Clock::now());
    auto** l = static_cast<libusb_device**>(std::calloc(2, sizeof(libusb_device*)));
    if (!l)
        return LIBUSB_ERROR_NO_MEM;
    if (here) {
        l[0] = &e.dev;
        ++e.dev.refs;
    }
    *list = l;
    return here ? 1 : 0;
}

void LIBUSB_CALL libusb_free_device_list(libusb_device** list, int unrefDevices)
{
    if (!list)
        return;
    if (unrefDevices)
        for (libusb_device** d = list; *d; ++d)
            libusb_unref_device(*d);
    std::free(list);
}

libusb_device* LIBUSB_CALL libusb_ref_device(libusb_device* dev)
{
    std::lock_guard lock(emu().m);
    ++dev->refs;
    return dev;
}

void LIBUSB_CALL libusb_unref_device(libusb_device* dev)
{
    if (!dev)
        return;
    std::lock_guard lock(emu().m);
    --dev->refs;   // the one device is never freed
}

uint8_t LIBUSB_CALL libusb_get_bus_number(libusb_device*) { return 1; }
uint8_t LIBUSB_CALL libusb_get_device_address(libusb_device*) { return 5; }
uint8_t LIBUSB_CALL libusb_get_port_number(libusb_device*) { return 1; }
int LIBUSB_CALL libusb_get_device_speed(libusb_device*) { return LIBUSB_SPEED_FULL; }
int LIBUSB_CALL libusb_get_max_packet_size(libusb_device*, unsigned char) { return Instrument::kPacketBytes; }

int LIBUSB_CALL libusb_get_port_numbers(libusb_device*, uint8_t* ports, int length)
{
    if (length < 1)
        return LIBUSB_ERROR_OVERFLOW;
    ports[0] = 1;
    return 1;
}

int LIBUSB_CALL libusb_get_device_descriptor(libusb_device*, struct libusb_device_descriptor* desc)
{
    // Read from the chip's own descriptor bytes.
    const std::vector<uint8_t> d = FtdiChip::deviceDescriptor();
    *desc = {d[0], d[1], le16(&d[2]), d[4], d[5], d[6], d[7], le16(&d[8]), le16(&d[10]), le16(&d[12]),
             d[14], d[15], d[16], d[17]};
    return 0;
}

namespace {
struct ConfigBlock {
    libusb_config_descriptor config;   // first: callers free through its address
    libusb_interface interface;
    libusb_interface_descriptor alt;
    libusb_endpoint_descriptor ep[2];
};
} // namespace

int LIBUSB_CALL libusb_get_config_descriptor(libusb_device*, uint8_t index, struct libusb_config_descriptor** config)
{
    if (index != 0)
        return LIBUSB_ERROR_NOT_FOUND;
    auto* b = new (std::nothrow) ConfigBlock{};
    if (!b)
        return LIBUSB_ERROR_NO_MEM;
    // Read from the chip's own descriptor bytes: configuration, interface,
    // its two endpoints, each record led by its length.
    const std::vector<uint8_t> bytes = FtdiChip::configDescriptor();
    const uint8_t* p = bytes.data();
    b->config = {p[0], p[1], le16(p + 2), p[4], p[5], p[6], p[7], p[8], &b->interface, nullptr, 0};
    p += p[0];
    b->interface = {&b->alt, 1};
    b->alt = {p[0], p[1], p[2], p[3], p[4], p[5], p[6], p[7], p[8], b->ep, nullptr, 0};
    p += p[0];
    for (libusb_endpoint_descriptor& ep : b->ep) {
        ep = {p[0], p[1], p[2], p[3], le16(p + 4), p[6], 0, 0, nullptr, 0};
        p += p[0];
    }
    *config = &b->config;
    return 0;
}

int LIBUSB_CALL libusb_get_active_config_descriptor(libusb_device* dev, struct libusb_config_descriptor** config)
{
    return libusb_get_config_descriptor(dev, 0, config);
}

int LIBUSB_CALL libusb_get_config_descriptor_by_value(libusb_device* dev, uint8_t value, struct libusb_config_descriptor** config)
{
    return value == 1 ? libusb_get_config_descriptor(dev, 0, config) : LIBUSB_ERROR_NOT_FOUND;
}

void LIBUSB_CALL libusb_free_config_descriptor(struct libusb_config_descriptor* config)
{
    delete reinterpret_cast<ConfigBlock*>(config);
}

int LIBUSB_CALL libusb_hotplug_register_callback(libusb_context*, int, int, int, int, int, libusb_hotplug_callback_fn, void*,
                                                 libusb_hotplug_callback_handle*)
{
    return LIBUSB_ERROR_NOT_SUPPORTED;
}

void LIBUSB_CALL libusb_hotplug_deregister_callback(libusb_context*, libusb_hotplug_callback_handle) {}

// ---------------------------------------------------------------- handles

int LIBUSB_CALL libusb_open(libusb_device* dev, libusb_device_handle** handle)
{
    Emu& e = emu();
    std::lock_guard lock(e.m);
    if (dev != &e.dev)
        return LIBUSB_ERROR_NOT_FOUND;
    if (!e.chip.inst.present(Clock::now()))
        return LIBUSB_ERROR_NO_DEVICE;
    auto* h = new (std::nothrow) libusb_device_handle;
    if (!h)
        return LIBUSB_ERROR_NO_MEM;
    h->dev = dev;
    ++dev->refs;
    *handle = h;
    return 0;
}

libusb_device_handle* LIBUSB_CALL libusb_open_device_with_vid_pid(libusb_context*, uint16_t vendor, uint16_t product)
{
    libusb_device_handle* h = nullptr;
    if (vendor == FtdiChip::kVendor && product == FtdiChip::kProduct && libusb_open(&emu().dev, &h) != 0)
        h = nullptr;
    return h;
}

void LIBUSB_CALL libusb_close(libusb_device_handle* h)
{
    Emu& e = emu();
    if (!validHandle(e, h))
        return;
    std::lock_guard lock(e.m);
    // Transfers still out on this handle are forgotten, never called back.
    auto mine = [h](libusb_transfer* t) { return t->dev_handle == h; };
    const auto left = std::count_if(e.in.begin(), e.in.end(), mine) + std::count_if(e.finished.begin(), e.finished.end(), mine);
    e.in.erase(std::remove_if(e.in.begin(), e.in.end(), mine), e.in.end());
    e.finished.erase(std::remove_if(e.finished.begin(), e.finished.end(), mine), e.finished.end());
    if (e.claimedBy == h)
        e.claimedBy = nullptr;
    if (h->everClaimed)
        e.chip.inst.trace(left ? QStringLiteral("Close with %1 transfers outstanding").arg(left) : QStringLiteral("Close"));
    --h->dev->refs;
    delete h;
}

libusb_device* LIBUSB_CALL libusb_get_device(libusb_device_handle* h)
{
    return h ? h->dev : nullptr;
}

int LIBUSB_CALL libusb_get_configuration(libusb_device_handle*, int* config)
{
    *config = 1;
    return 0;
}

int LIBUSB_CALL libusb_set_configuration(libusb_device_handle*, int config)
{
    return config == 1 || config == -1 ? 0 : LIBUSB_ERROR_NOT_FOUND;
}

int LIBUSB_CALL libusb_claim_interface(libusb_device_handle* h, int interface)
{
    Emu& e = emu();
    std::lock_guard lock(e.m);
    if (!validHandle(e, h) || interface != 0)
        return LIBUSB_ERROR_NOT_FOUND;
    if (!e.chip.inst.present(Clock::now()))
        return LIBUSB_ERROR_NO_DEVICE;
    if (e.chip.inst.faults().noOpen || (e.claimedBy && e.claimedBy != h)) {   // held by another program
        e.chip.inst.trace(QStringLiteral("Open"), LIBUSB_ERROR_BUSY);
        return LIBUSB_ERROR_BUSY;
    }
    if (e.claimedBy != h)
        e.chip.inst.trace(QStringLiteral("Open"));
    e.claimedBy = h;
    h->claimed = h->everClaimed = true;
    e.chip.claimed(Clock::now());
    return 0;
}

int LIBUSB_CALL libusb_release_interface(libusb_device_handle* h, int interface)
{
    Emu& e = emu();
    std::lock_guard lock(e.m);
    if (!validHandle(e, h) || interface != 0 || !h->claimed)
        return LIBUSB_ERROR_NOT_FOUND;
    h->claimed = false;
    if (e.claimedBy == h)
        e.claimedBy = nullptr;
    return e.chip.inst.present(Clock::now()) ? 0 : LIBUSB_ERROR_NO_DEVICE;
}

int LIBUSB_CALL libusb_set_interface_alt_setting(libusb_device_handle*, int interface, int alt)
{
    return interface == 0 && alt == 0 ? 0 : LIBUSB_ERROR_NOT_FOUND;
}

int LIBUSB_CALL libusb_clear_halt(libusb_device_handle* h, unsigned char)
{
    std::lock_guard lock(emu().m);
    return emu().chip.inst.present(Clock::now()) && h ? 0 : LIBUSB_ERROR_NO_DEVICE;
}

int LIBUSB_CALL libusb_reset_device(libusb_device_handle* h)
{
    Emu& e = emu();
    std::lock_guard lock(e.m);
    if (!validHandle(e, h))
        return LIBUSB_ERROR_NOT_FOUND;
    if (!e.chip.inst.present(Clock::now()))
        return LIBUSB_ERROR_NO_DEVICE;
    e.chip.inst.purge();
    return 0;
}

// No kernel driver is bound to the chip here: nothing to detach.
int LIBUSB_CALL libusb_kernel_driver_active(libusb_device_handle*, int) { return 0; }
int LIBUSB_CALL libusb_detach_kernel_driver(libusb_device_handle*, int) { return LIBUSB_ERROR_NOT_FOUND; }
int LIBUSB_CALL libusb_attach_kernel_driver(libusb_device_handle*, int) { return LIBUSB_ERROR_NOT_FOUND; }
int LIBUSB_CALL libusb_set_auto_detach_kernel_driver(libusb_device_handle*, int) { return 0; }

// ---------------------------------------------------------------- transfers

struct libusb_transfer* LIBUSB_CALL libusb_alloc_transfer(int isoPackets)
{
    if (isoPackets < 0)
        return nullptr;
    const size_t size = kXferHead + sizeof(libusb_transfer) + size_t(isoPackets) * sizeof(libusb_iso_packet_descriptor);
    void* block = std::calloc(1, size);
    if (!block)
        return nullptr;
    new (block) Xfer;
    auto* t = reinterpret_cast<libusb_transfer*>(static_cast<char*>(block) + kXferHead);
    t->num_iso_packets = isoPackets;
    return t;
}

void LIBUSB_CALL libusb_free_transfer(struct libusb_transfer* t)
{
    if (!t)
        return;
    if (t->flags & LIBUSB_TRANSFER_FREE_BUFFER)
        std::free(t->buffer);
    Xfer& x = priv(t);
    if (x.inFlight) {   // a caller's mistake; at least never touch it again
        Emu& e = emu();
        std::lock_guard lock(e.m);
        e.in.erase(std::remove(e.in.begin(), e.in.end(), t), e.in.end());
        e.finished.erase(std::remove(e.finished.begin(), e.finished.end(), t), e.finished.end());
    }
    x.~Xfer();
    std::free(reinterpret_cast<char*>(t) - kXferHead);
}

int LIBUSB_CALL libusb_submit_transfer(struct libusb_transfer* t)
{
    Emu& e = emu();
    std::lock_guard lock(e.m);
    Xfer& x = priv(t);
    if (x.inFlight)
        return LIBUSB_ERROR_BUSY;
    if (!validHandle(e, t->dev_handle) || t->length < 0)
        return LIBUSB_ERROR_INVALID_PARAM;
    const auto now = Clock::now();
    if (!e.chip.inst.present(now))
        return LIBUSB_ERROR_NO_DEVICE;
    x.inFlight = true;
    x.done = x.cancel = false;
    x.submitted = now;
    x.deadline = t->timeout ? now + std::chrono::milliseconds(t->timeout) : Clock::time_point::max();
    t->actual_length = 0;
    if (t->type == LIBUSB_TRANSFER_TYPE_CONTROL) {
        const unsigned char* s = t->buffer;
        const uint16_t length = uint16_t(s[6] | s[7] << 8);
        const int r = t->length < 8 + length ? int(LIBUSB_ERROR_INVALID_PARAM)
                                             : e.chip.control(s[0], s[1], uint16_t(s[2] | s[3] << 8), uint16_t(s[4] | s[5] << 8),
                                                       t->buffer + 8, length);
        t->actual_length = std::max(r, 0);
        complete(e, t, r >= 0 ? LIBUSB_TRANSFER_COMPLETED
                       : r == LIBUSB_ERROR_PIPE ? LIBUSB_TRANSFER_STALL
                       : r == LIBUSB_ERROR_NO_DEVICE ? LIBUSB_TRANSFER_NO_DEVICE
                                                     : LIBUSB_TRANSFER_ERROR);
    } else if (t->type != LIBUSB_TRANSFER_TYPE_BULK) {
        complete(e, t, LIBUSB_TRANSFER_STALL);
    } else if (t->endpoint == kEpIn) {
        e.in.push_back(t);
    } else if (t->endpoint == kEpOut) {
        const bool taken = e.chip.bulkOut(t->buffer, t->length);
        if (taken)
            t->actual_length = t->length;
        complete(e, t, taken ? LIBUSB_TRANSFER_COMPLETED : LIBUSB_TRANSFER_ERROR);
    } else {
        complete(e, t, LIBUSB_TRANSFER_STALL);
    }
    e.cv.notify_all();
    return 0;
}

int LIBUSB_CALL libusb_cancel_transfer(struct libusb_transfer* t)
{
    Emu& e = emu();
    std::lock_guard lock(e.m);
    Xfer& x = priv(t);
    if (!x.inFlight || x.done)
        return LIBUSB_ERROR_NOT_FOUND;
    x.cancel = true;
    e.cv.notify_all();
    return 0;
}

int LIBUSB_CALL libusb_handle_events_timeout_completed(libusb_context*, struct timeval* tv, int* completed)
{
    return handleEvents(after(tv), completed);
}

int LIBUSB_CALL libusb_handle_events_timeout(libusb_context*, struct timeval* tv)
{
    return handleEvents(after(tv), nullptr);
}

int LIBUSB_CALL libusb_handle_events(libusb_context*)
{
    return handleEvents(after(nullptr), nullptr);
}

int LIBUSB_CALL libusb_handle_events_completed(libusb_context*, int* completed)
{
    return handleEvents(after(nullptr), completed);
}

int LIBUSB_CALL libusb_control_transfer(libusb_device_handle* h, uint8_t type, uint8_t request, uint16_t value,
                                        uint16_t index, unsigned char* data, uint16_t length, unsigned int)
{
    Emu& e = emu();
    std::lock_guard lock(e.m);
    if (!validHandle(e, h))
        return LIBUSB_ERROR_INVALID_PARAM;
    return e.chip.control(type, request, value, index, data, length);
}

int LIBUSB_CALL libusb_bulk_transfer(libusb_device_handle* h, unsigned char endpoint, unsigned char* data, int length,
                                     int* transferred, unsigned int timeout)
{
    if (transferred)
        *transferred = 0;
    return syncTransfer(h, endpoint, data, length, transferred, timeout);
}

int LIBUSB_CALL libusb_interrupt_transfer(libusb_device_handle*, unsigned char, unsigned char*, int, int* transferred,
                                          unsigned int)
{
    if (transferred)
        *transferred = 0;
    return LIBUSB_ERROR_PIPE;   // the chip has no interrupt endpoint
}

int LIBUSB_CALL libusb_get_string_descriptor_ascii(libusb_device_handle* h, uint8_t index, unsigned char* data, int length)
{
    if (length <= 0)
        return LIBUSB_ERROR_INVALID_PARAM;
    Emu& e = emu();
    std::lock_guard lock(e.m);
    if (!validHandle(e, h))
        return LIBUSB_ERROR_INVALID_PARAM;
    if (!e.chip.inst.present(Clock::now()))
        return LIBUSB_ERROR_NO_DEVICE;
    const char* s = FtdiChip::string(index);
    if (!s)
        return LIBUSB_ERROR_PIPE;
    const size_t n = std::min(std::strlen(s), size_t(length - 1));
    std::memcpy(data, s, n);
    data[n] = 0;
    return int(n);
}

} // extern "C"
