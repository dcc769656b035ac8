#pragma once
// The FTDI chip in front of the simulated instrument, as a USB device sees
// it: one FT245R-class chip, 0403:6001, bulk IN 0x81 and OUT 0x02 with
// 64-byte packets. It keeps the EEPROM (with a valid checksum), answers the
// standard and vendor requests, and packs the instrument's answers into bulk
// IN packets that start with the two modem-status bytes: a packet goes once
// 62 data bytes are in, a short one when the latency timer runs out, and the
// status alone each latency period when there is nothing to send. Results
// are libusb's codes; the library calls around it are in usb_emu.cpp.
#include "instrument.h"
#include <array>
#include <cstdint>
#include <vector>

class FtdiChip {
public:
    using Clock = Instrument::Clock;

    static constexpr uint16_t kVendor = 0x0403, kProduct = 0x6001, kChipRelease = 0x0600;   // an R-series chip
    static constexpr uint8_t kEpIn = 0x81, kEpOut = 0x02;

    // The string of descriptor index 1 to 3 (maker, product, serial number);
    // nullptr for any other.
    static const char* string(int index);
    // The descriptors as the chip sends them: the only place they are written.
    static std::vector<uint8_t> deviceDescriptor();
    static std::vector<uint8_t> configDescriptor();   // with its interface and two endpoints
    static std::vector<uint8_t> stringDescriptor(int index);

    FtdiChip();

    // The instrument behind the chip, configured from the environment.
    Instrument inst{SimConfig::fromEnvironment()};

    // One control request: the count of data bytes, or a libusb error.
    int control(uint8_t type, uint8_t request, uint16_t value, uint16_t index, unsigned char* data, uint16_t length);

    // A bulk IN transfer with `length` bytes of buffer, `actual` of them
    // filled, submitted at `submitted`: takes what is due by `now`.
    enum class In { Waiting, Completed, Overflow };
    In bulkIn(unsigned char* buffer, int length, int& actual, Clock::time_point submitted, Clock::time_point now);
    // When bulkIn may next have a packet for a transfer with `room` bytes left.
    Clock::time_point nextPacketDue(int room) const;
    // A bulk OUT transfer: true when the instrument took it (a fault may fail it).
    bool bulkOut(const unsigned char* data, int length);
    // Claimed by a program: the latency period starts now.
    void claimed(Clock::time_point now) { lastIn_ = now; }

private:
    void buildEeprom();
    Clock::duration statusPeriod() const;
    void putPacket(unsigned char* at, int& actual, const QByteArray& data) const;

    Clock::time_point lastIn_{};                 // the last packet on bulk IN, for the status-only packets
    std::array<uint8_t, 2> modem_{0x31, 0x60};   // CTS, DSR; transmitter empty
    std::array<uint16_t, 64> eeprom_{};
    uint8_t bitMode_ = 0;
    int outTransfers_ = 0;                       // for fail-write
};
