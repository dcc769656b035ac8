#include "ftdi_chip.h"
#include <algorithm>
#include <cstring>
#include <limits>
#include <libusb-1.0/libusb.h>

namespace {
QString hexBytes(const unsigned char* b, int n)
{
    QString s;
    for (int i = 0; i < std::min(n, 16); ++i)
        s += QStringLiteral(" %1").arg(b[i], 2, 16, QChar(u'0')).toUpper();
    if (n > 16)
        s += QStringLiteral(" ... (%1 bytes)").arg(n);
    return s;
}

}   // namespace

const char* FtdiChip::string(int index)
{
    static const char* const strings[] = {nullptr, "Brisko", "Corvameter", Instrument::kSerial};
    return index >= 1 && index <= 3 ? strings[index] : nullptr;
}

FtdiChip::FtdiChip()
{
    buildEeprom();
}

// The R-series EEPROM: settings, the three strings as USB string descriptors
// from byte 0x18 on (pointers with bit 7 set), checksum in the last word.
void FtdiChip::buildEeprom()
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
        const size_t n = std::strlen(string(s));
        b[size_t(0x0E + 2 * (s - 1))] = uint8_t(0x80 | at);
        b[size_t(0x0F + 2 * (s - 1))] = uint8_t(2 + 2 * n);
        b[size_t(at)] = uint8_t(2 + 2 * n);
        b[size_t(at + 1)] = 0x03;
        for (size_t i = 0; i < n; ++i)
            b[size_t(at + 2) + 2 * i] = uint8_t(string(s)[i]);
        at += int(2 + 2 * n);
    }
    for (size_t i = 0; i < 63; ++i)
        eeprom_[i] = uint16_t(b[2 * i] | b[2 * i + 1] << 8);
    uint16_t sum = 0xAAAA;
    for (size_t i = 0; i < 63; ++i) {
        sum ^= eeprom_[i];
        sum = uint16_t(sum << 1 | sum >> 15);
    }
    eeprom_[63] = sum;
}

std::vector<uint8_t> FtdiChip::deviceDescriptor()
{
    return {18, LIBUSB_DT_DEVICE, 0x00, 0x02, 0, 0, 0, 8, kVendor & 0xFF, kVendor >> 8, kProduct & 0xFF, kProduct >> 8,
            kChipRelease & 0xFF, kChipRelease >> 8, 1, 2, 3, 1};
}

std::vector<uint8_t> FtdiChip::configDescriptor()
{
    return {9, LIBUSB_DT_CONFIG, 32, 0, 1, 1, 0, 0xA0, 45,
            9, LIBUSB_DT_INTERFACE, 0, 0, 2, 0xFF, 0xFF, 0xFF, 2,
            7, LIBUSB_DT_ENDPOINT, kEpIn, LIBUSB_TRANSFER_TYPE_BULK, Instrument::kPacketBytes, 0, 0,
            7, LIBUSB_DT_ENDPOINT, kEpOut, LIBUSB_TRANSFER_TYPE_BULK, Instrument::kPacketBytes, 0, 0};
}

std::vector<uint8_t> FtdiChip::stringDescriptor(int index)
{
    if (index == 0)
        return {4, LIBUSB_DT_STRING, 0x09, 0x04};   // US English
    if (index < 1 || index > 3)
        return {};
    std::vector<uint8_t> d{0, LIBUSB_DT_STRING};
    for (const char* c = string(index); *c; ++c)
        d.insert(d.end(), {uint8_t(*c), 0});
    d[0] = uint8_t(d.size());
    return d;
}

// One control request; the count of data bytes, or a libusb error.
int FtdiChip::control(uint8_t type, uint8_t request, uint16_t value, uint16_t index, unsigned char* data, uint16_t length)
{
    if (!inst.present(Clock::now()))
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
        inst.trace(QStringLiteral("Control %1 %2 %3 %4").arg(hex(type, 2), hex(request, 2), hex(value, 4), hex(index, 4)));
    }
    switch (request) {
    case 0x00:   // reset: 0 all, 1 purge towards the host, 2 purge from the host
        if (value == 0 || value == 1)
            inst.purge();
        return 0;
    case 0x05: return answer({modem_[0], modem_[1]});
    case 0x09:   // latency timer, 1 to 255 ms
        inst.setLatencyMs(std::max(value & 0xFF, 1));
        return 0;
    case 0x0A: return answer({uint8_t(inst.latencyMs())});
    case 0x0B:
        bitMode_ = uint8_t(value >> 8);
        return 0;
    case 0x0C: return answer({0xFF});   // pins: all high, the bus idle
    case 0x90: {
        const uint16_t w = eeprom_[index & 63];   // 64 words, the address wraps
        return answer({uint8_t(w & 0xFF), uint8_t(w >> 8)});
    }
    case 0x91:
        eeprom_[index & 63] = value;
        return 0;
    case 0x92:
        eeprom_.fill(0xFFFF);
        return 0;
    default:   // modem control, flow, baud rate, data bits, event and error characters
        if (toHost) {
            std::memset(data, 0, length);
            return length;
        }
        return 0;
    }
}

FtdiChip::Clock::duration FtdiChip::statusPeriod() const
{
    return std::chrono::milliseconds(std::max(inst.latencyMs(), 1));
}

void FtdiChip::putPacket(unsigned char* at, int& actual, const QByteArray& data) const
{
    unsigned char* p = at + actual;
    p[0] = modem_[0];
    p[1] = modem_[1];
    if (!data.isEmpty())
        std::memcpy(p + 2, data.constData(), size_t(data.size()));
    actual += int(2 + data.size());
}

// A short packet ends a transfer, as does a full buffer; with no data the chip
// sends its status alone when the latency timer runs out.
FtdiChip::In FtdiChip::bulkIn(unsigned char* buffer, int length, int& actual, Clock::time_point submitted,
                              Clock::time_point now)
{
    for (;;) {
        const int room = length - actual;
        if (room < 2)
            return In::Completed;
        const auto p = inst.nextPacket();
        if (p && p->due <= now) {
            if (2 + (p->end - p->begin) > room)   // the caller's buffer is no whole number of packets
                return In::Overflow;
            putPacket(buffer, actual, inst.takePacket(*p));
            lastIn_ = std::max(p->due, submitted);
            if (p->end - p->begin < Instrument::kPacketData)
                return In::Completed;
            continue;
        }
        const Clock::time_point statusDue = lastIn_ + statusPeriod();
        if (statusDue <= now) {
            putPacket(buffer, actual, {});
            lastIn_ = std::max(statusDue, submitted);
            return In::Completed;
        }
        return In::Waiting;
    }
}

FtdiChip::Clock::time_point FtdiChip::nextPacketDue(int room) const
{
    const long long packets = std::max(1, room / Instrument::kPacketBytes);
    return std::min(lastIn_ + statusPeriod(), inst.dueWhen(std::numeric_limits<long long>::max(), packets, true));
}

bool FtdiChip::bulkOut(const unsigned char* data, int length)
{
    const int after = inst.faults().failWriteAfter;
    const bool fail = after >= 0 && outTransfers_++ >= after;
    inst.trace(QStringLiteral("Write") + hexBytes(data, length), fail ? long(LIBUSB_ERROR_IO) : 0);
    if (!fail)
        inst.hostWrite(data, size_t(length));
    return !fail;
}
