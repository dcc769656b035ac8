// The simulated instrument as an FTDI chip on a USB bus: a stand-in for
// libusb-1.0 (file name and SONAME libusb-1.0.so.0) for the vendor's D2XX
// library and libftdi1, which both reach the chip through it. One FT245R-class
// device, 0403:6001, bulk IN 0x81 and OUT 0x02 with 64-byte packets; every IN
// packet starts with the two modem-status bytes. Transfers complete in
// libusb_handle_events*() on the caller's thread, or inside the synchronous
// calls. Configured from the environment as instrument.h says.
#include "instrument.h"
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

constexpr uint16_t kVendor = 0x0403, kProduct = 0x6001, kChipRelease = 0x0600;   // an R-series chip
constexpr uint8_t kEpIn = 0x81, kEpOut = 0x02;
const char* const kStrings[] = {nullptr, "Brisko", "Corvameter", Instrument::kSerial};

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
    Instrument inst{SimConfig::fromEnvironment()};
    libusb_context defaultContext;
    libusb_device dev;
    libusb_device_handle* claimedBy = nullptr;
    std::deque<libusb_transfer*> in;         // bulk IN transfers waiting for packets, oldest first
    std::deque<libusb_transfer*> finished;   // asynchronous ones done, callbacks due
    Clock::time_point lastIn{};              // the last packet on bulk IN, for the status-only packets
    std::array<uint8_t, 2> modem{0x31, 0x60};   // CTS, DSR; transmitter empty
    std::array<uint16_t, 64> eeprom{};
    uint8_t bitMode = 0;
    int outTransfers = 0;                    // for fail-write

    Emu() { buildEeprom(); }
    void buildEeprom();
};

Emu& emu()
{
    static Emu* e = new Emu;   // lives to the end of the process: callers may outlive static destructors
    return *e;
}

// The R-series EEPROM: settings, the three strings as USB string descriptors
// from byte 0x18 on (pointers with bit 7 set), checksum in the last word.
void Emu::buildEeprom()
{
    std::array<uint8_t, 128> b{};
    b[0x01] = 0x40;   // the R series' fixed endpoint-size bit
    b[0x02] = kVendor & 0xFF, b[0x03] = kVendor >> 8;
    b[0x04] = kProduct & 0xFF, b[0x05] = kProduct >> 8;
    b[0x06] = kChipRelease & 0xFF, b[0x07] = kChipRelease >> 8;
    b[0x08] = 0xA0;   // bus powered, remote wake-up
    b[0x09] = 45;     // 90 mA
    b[0x0C] = 0x00, b[0x0D] = 0x02;   // USB 2.0
    b[0x14] = 0x23, b[0x15] = 0x01, b[0x16] = 0x05;   // CBUS pins: the usual TX/RX LED and power signals
    int at = 0x18;
    for (int s = 1; s <= 3; ++s) {
        const size_t n = std::strlen(kStrings[s]);
        b[size_t(0x0E + 2 * (s - 1))] = uint8_t(0x80 | at);
        b[size_t(0x0F + 2 * (s - 1))] = uint8_t(2 + 2 * n);
        b[size_t(at)] = uint8_t(2 + 2 * n);
        b[size_t(at + 1)] = 0x03;
        for (size_t i = 0; i < n; ++i)
            b[size_t(at + 2) + 2 * i] = uint8_t(kStrings[s][i]);
        at += int(2 + 2 * n);
    }
    for (size_t i = 0; i < 63; ++i)
        eeprom[i] = uint16_t(b[2 * i] | b[2 * i + 1] << 8);
    uint16_t sum = 0xAAAA;
    for (size_t i = 0; i < 63; ++i) {
        sum ^= eeprom[i];
        sum = uint16_t(sum << 1 | sum >> 15);
    }
    eeprom[63] = sum;
}

std::vector<uint8_t> deviceDescriptor()
{
    return {18, LIBUSB_DT_DEVICE, 0x00, 0x02, 0, 0, 0, 8, kVendor & 0xFF, kVendor >> 8, kProduct & 0xFF, kProduct >> 8,
            kChipRelease & 0xFF, kChipRelease >> 8, 1, 2, 3, 1};
}

std::vector<uint8_t> configDescriptor()
{
    return {9, LIBUSB_DT_CONFIG, 32, 0, 1, 1, 0, 0xA0, 45,
            9, LIBUSB_DT_INTERFACE, 0, 0, 2, 0xFF, 0xFF, 0xFF, 2,
            7, LIBUSB_DT_ENDPOINT, kEpIn, LIBUSB_TRANSFER_TYPE_BULK, 64, 0, 0,
            7, LIBUSB_DT_ENDPOINT, kEpOut, LIBUSB_TRANSFER_TYPE_BULK, 64, 0, 0};
}

std::vector<uint8_t> stringDescriptor(int index)
{
    if (index == 0)
        return {4, LIBUSB_DT_STRING, 0x09, 0x04};   // US English
    if (index < 1 || index > 3)
        return {};
    std::vector<uint8_t> d{0, LIBUSB_DT_STRING};
    for (const char* c = kStrings[index]; *c; ++c)
        d.insert(d.end(), {uint8_t(*c), 0});
    d[0] = uint8_t(d.size());
    return d;
}

Clock::duration statusPeriod(const Emu& e)
{
    return std::chrono::milliseconds(std::max(e.inst.latencyMs(), 1));
}

void complete(Emu& e, libusb_transfer* t, libusb_transfer_status st)
{
    t->status = st;
    Xfer& x = priv(t);
    x.done = true;
    if (!x.sync)
        e.finished.push_back(t);
}

void putPacket(Emu& e, libusb_transfer* t, const QByteArray& data)
{
    unsigned char* p = t->buffer + t->actual_length;
    p[0] = e.modem[0];
    p[1] = e.modem[1];
    if (!data.isEmpty())
        std::memcpy(p + 2, data.constData(), size_t(data.size()));
    t->actual_length += int(2 + data.size());
}

// Everything that has happened by `now`: packets into the waiting bulk IN
// transfers, time-outs, cancels, the instrument leaving the bus.
void progress(Emu& e, Clock::time_point now)
{
    const bool here = e.inst.present(now);
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
    // Packets go to the oldest transfer. A short packet ends a transfer, as
    // does a full buffer; with no data the chip sends its status alone when
    // the latency timer runs out.
    while (!e.in.empty()) {
        libusb_transfer* t = e.in.front();
        const Xfer& x = priv(t);
        libusb_transfer_status end = LIBUSB_TRANSFER_ERROR;   // not ended
        for (;;) {
            const int room = t->length - t->actual_length;
            if (room < 2) {
                end = LIBUSB_TRANSFER_COMPLETED;
                break;
            }
            const auto p = e.inst.nextPacket();
            if (p && p->due <= now) {
                if (2 + (p->end - p->begin) > room) {   // the caller's buffer is no whole number of packets
                    end = LIBUSB_TRANSFER_OVERFLOW;
                    break;
                }
                putPacket(e, t, e.inst.takePacket(*p));
                e.lastIn = std::max(p->due, x.submitted);
                if (p->end - p->begin < Instrument::kPacketData) {
                    end = LIBUSB_TRANSFER_COMPLETED;
                    break;
                }
                continue;
            }
            const Clock::time_point statusDue = e.lastIn + statusPeriod(e);
            if (statusDue <= now) {
                putPacket(e, t, {});
                e.lastIn = std::max(statusDue, x.submitted);
                end = LIBUSB_TRANSFER_COMPLETED;
            }
            break;
        }
        if (end == LIBUSB_TRANSFER_ERROR)
            break;
        e.in.pop_front();
        complete(e, t, end);
        changed = true;
    }
    if (changed)
        e.cv.notify_all();
}

// When progress() may next have something to do.
Clock::time_point nextWake(const Emu& e)
{
    Clock::time_point t = e.inst.unplugTime();
    if (e.in.empty())
        return t;
    t = std::min(t, e.lastIn + statusPeriod(e));
    // The oldest transfer ends when a packet fills it or a short one comes.
    const libusb_transfer* front = e.in.front();
    const long long room = std::max(1, (front->length - front->actual_length) / Instrument::kPacketBytes);
    t = std::min(t, e.inst.dueWhen(std::numeric_limits<long long>::max(), room, true));
    for (libusb_transfer* x : e.in)
        t = std::min(t, priv(x).deadline);
    return t;
}

QString hexBytes(const unsigned char* b, int n)
{
    QString s;
    for (int i = 0; i < std::min(n, 16); ++i)
        s += QStringLiteral(" %1").arg(b[i], 2, 16, QChar(u'0')).toUpper();
    if (n > 16)
        s += QStringLiteral(" ... (%1 bytes)").arg(n);
    return s;
}

// One control request; the count of data bytes, or a libusb error.
int control(Emu& e, uint8_t type, uint8_t request, uint16_t value, uint16_t index, unsigned char* data, uint16_t length)
{
    if (!e.inst.present(Clock::now()))
        return LIBUSB_ERROR_NO_DEVICE;
    const bool toHost = type & LIBUSB_ENDPOINT_IN;
    auto answer = [&](const std::vector<uint8_t>& bytes) {
        if (bytes.empty())
            return int(LIBUSB_ERROR_PIPE);
        const size_t n = std::min<size_t>(bytes.size(), length);
        if (n)
            std::memcpy(data, bytes.data(), n);
        return int(n);
    };
    if ((type & 0x60) == LIBUSB_REQUEST_TYPE_STANDARD) {
        if (toHost && request == LIBUSB_REQUEST_GET_DESCRIPTOR) {
            switch (value >> 8) {
            case LIBUSB_DT_DEVICE: return answer(deviceDescriptor());
            case LIBUSB_DT_CONFIG: return answer(configDescriptor());
            case LIBUSB_DT_STRING: return answer(stringDescriptor(value & 0xFF));
            default: return LIBUSB_ERROR_PIPE;
            }
        }
        if (toHost && request == LIBUSB_REQUEST_GET_STATUS)
            return answer({0, 0});
        if (toHost && request == LIBUSB_REQUEST_GET_CONFIGURATION)
            return answer({1});
        return toHost ? LIBUSB_ERROR_PIPE : 0;
    }
    if ((type & 0x60) != LIBUSB_REQUEST_TYPE_VENDOR)
        return LIBUSB_ERROR_PIPE;
    if (request != 0x05 && request != 0x90) {   // not the frequent reads
        auto hex = [](unsigned v, int width) { return QString::number(v, 16).rightJustified(width, u'0').toUpper(); };
        e.inst.trace(QStringLiteral("Control %1 %2 %3 %4").arg(hex(type, 2), hex(request, 2), hex(value, 4), hex(index, 4)));
    }
    switch (request) {
    case 0x00:   // reset: 0 all, 1 purge towards the host, 2 purge from the host
        if (value == 0 || value == 1)
            e.inst.purge();
        return 0;
    case 0x05: return answer({e.modem[0], e.modem[1]});
    case 0x09:   // latency timer, 1 to 255 ms
        e.inst.setLatencyMs(std::max(value & 0xFF, 1));
        return 0;
    case 0x0A: return answer({uint8_t(e.inst.latencyMs())});
    case 0x0B:
        e.bitMode = uint8_t(value >> 8);
        return 0;
    case 0x0C: return answer({0xFF});   // pins: all high, the bus idle
    case 0x90: {
        const uint16_t w = e.eeprom[index & 63];   // 64 words, the address wraps
        return answer({uint8_t(w & 0xFF), uint8_t(w >> 8)});
    }
    case 0x91:
        e.eeprom[index & 63] = value;
        return 0;
    case 0x92:
        e.eeprom.fill(0xFFFF);
        return 0;
    default:   // modem control, flow, baud rate, data bits, event and error characters
        if (toHost) {
            std::memset(data, 0, length);
            return length;
        }
        return 0;
    }
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
    const bool here = e.inst.present(Clock::now());
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
    const std::vector<uint8_t> d = deviceDescriptor();
    *desc = {};
    desc->bLength = d[0];
    desc->bDescriptorType = d[1];
    desc->bcdUSB = 0x0200;
    desc->bMaxPacketSize0 = d[7];
    desc->idVendor = kVendor;
    desc->idProduct = kProduct;
    desc->bcdDevice = kChipRelease;
    desc->iManufacturer = 1;
    desc->iProduct = 2;
    desc->iSerialNumber = 3;
    desc->bNumConfigurations = 1;
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
    b->config = {9, LIBUSB_DT_CONFIG, 32, 1, 1, 0, 0xA0, 45, &b->interface, nullptr, 0};
    b->interface = {&b->alt, 1};
    b->alt = {9, LIBUSB_DT_INTERFACE, 0, 0, 2, 0xFF, 0xFF, 0xFF, 2, b->ep, nullptr, 0};
    b->ep[0] = {7, LIBUSB_DT_ENDPOINT, kEpIn, LIBUSB_TRANSFER_TYPE_BULK, Instrument::kPacketBytes, 0, 0, 0, nullptr, 0};
    b->ep[1] = {7, LIBUSB_DT_ENDPOINT, kEpOut, LIBUSB_TRANSFER_TYPE_BULK, Instrument::kPacketBytes, 0, 0, 0, nullptr, 0};
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
    if (!e.inst.present(Clock::now()))
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
    if (vendor == kVendor && product == kProduct && libusb_open(&emu().dev, &h) != 0)
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
        e.inst.trace(left ? QStringLiteral("Close with %1 transfers outstanding").arg(left) : QStringLiteral("Close"));
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
    if (!e.inst.present(Clock::now()))
        return LIBUSB_ERROR_NO_DEVICE;
    if (e.inst.faults().noOpen || (e.claimedBy && e.claimedBy != h)) {   // held by another program
        e.inst.trace(QStringLiteral("Open"), LIBUSB_ERROR_BUSY);
        return LIBUSB_ERROR_BUSY;
    }
    if (e.claimedBy != h)
        e.inst.trace(QStringLiteral("Open"));
    e.claimedBy = h;
    h->claimed = h->everClaimed = true;
    e.lastIn = Clock::now();
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
    return e.inst.present(Clock::now()) ? 0 : LIBUSB_ERROR_NO_DEVICE;
}

int LIBUSB_CALL libusb_set_interface_alt_setting(libusb_device_handle*, int interface, int alt)
{
    return interface == 0 && alt == 0 ? 0 : LIBUSB_ERROR_NOT_FOUND;
}

int LIBUSB_CALL libusb_clear_halt(libusb_device_handle* h, unsigned char)
{
    std::lock_guard lock(emu().m);
    return emu().inst.present(Clock::now()) && h ? 0 : LIBUSB_ERROR_NO_DEVICE;
}

int LIBUSB_CALL libusb_reset_device(libusb_device_handle* h)
{
    Emu& e = emu();
    std::lock_guard lock(e.m);
    if (!validHandle(e, h))
        return LIBUSB_ERROR_NOT_FOUND;
    if (!e.inst.present(Clock::now()))
        return LIBUSB_ERROR_NO_DEVICE;
    e.inst.purge();
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
    if (!e.inst.present(now))
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
                                             : control(e, s[0], s[1], uint16_t(s[2] | s[3] << 8), uint16_t(s[4] | s[5] << 8),
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
        const int after = e.inst.faults().failWriteAfter;
        const bool fail = after >= 0 && e.outTransfers++ >= after;
        e.inst.trace(QStringLiteral("Write") + hexBytes(t->buffer, t->length), fail ? long(LIBUSB_ERROR_IO) : 0);
        if (!fail) {
            e.inst.hostWrite(t->buffer, size_t(t->length));
            t->actual_length = t->length;
        }
        complete(e, t, fail ? LIBUSB_TRANSFER_ERROR : LIBUSB_TRANSFER_COMPLETED);
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
    return control(e, type, request, value, index, data, length);
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
    if (!e.inst.present(Clock::now()))
        return LIBUSB_ERROR_NO_DEVICE;
    if (index < 1 || index > 3)
        return LIBUSB_ERROR_PIPE;
    const size_t n = std::min(std::strlen(kStrings[index]), size_t(length - 1));
    std::memcpy(data, kStrings[index], n);
    data[n] = 0;
    return int(n);
}

} // extern "C"
