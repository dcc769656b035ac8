// The emulated FTDI chip, judged by Debian's libftdi1 and by raw libusb calls
// as a program on a real bus makes them. Runs with the emulator's folder on
// the loader path; the first check makes sure that is the libusb it got.
// Asynchronous transfers and their cancelling are how FTDI's library reads:
// the tst_ftdi_real* runs go through them.
#include "instrument.h"
#include <QFile>
#include <QtTest>
#include <ftdi.h>
#include <libusb.h>

class TestUsbEmu : public QObject {
    Q_OBJECT
    SimConfig cfg_ = SimConfig::fromEnvironment();

private slots:
    void initTestCase()
    {
        QFile maps(QStringLiteral("/proc/self/maps"));
        QVERIFY(maps.open(QIODevice::ReadOnly));
        QVERIFY2(maps.readAll().contains(USB_EMU_DIR "/libusb-1.0.so.0"),
                 "the emulated libusb is not the one loaded: run with " USB_EMU_DIR " on LD_LIBRARY_PATH");
    }

    // libftdi1 takes the chip for an R-series one, decodes its EEPROM
    // (checksum included) and reads the latency timer back as set. Its open
    // (reset, baud rate), the serial number and the instrument's answers
    // through libftdi1 are checked by tst_libftdi.
    void libftdi()
    {
        ftdi_context* f = ftdi_new();
        QVERIFY(f);
        auto done = qScopeGuard([f] { ftdi_free(f); });
        QCOMPARE(ftdi_usb_open_desc(f, 0x0403, 0x6001, nullptr, Instrument::kSerial), 0);
        QCOMPARE(int(f->type), int(TYPE_R));
        QCOMPARE(ftdi_read_eeprom(f), 0);
        QCOMPARE(ftdi_eeprom_decode(f, 0), 0);
        char serial[64] = {};
        QCOMPARE(ftdi_eeprom_get_strings(f, nullptr, 0, nullptr, 0, serial, 64), 0);
        QCOMPARE(QByteArray(serial), QByteArray(Instrument::kSerial));
        unsigned char latency = 0;
        QCOMPARE(ftdi_get_latency_timer(f, &latency), 0);
        QCOMPARE(int(latency), cfg_.latencyMs);
        QCOMPARE(ftdi_set_latency_timer(f, 2), 0);
        QCOMPARE(ftdi_get_latency_timer(f, &latency), 0);
        QCOMPARE(int(latency), 2);
        QCOMPARE(ftdi_usb_close(f), 0);
    }

    // Raw bulk transfers: a status-only packet while nothing is to send, a
    // block in packets of two status bytes and up to 62 data bytes with one
    // short packet at its end.
    void rawTransfers()
    {
        libusb_context* ctx = nullptr;
        QCOMPARE(libusb_init(&ctx), 0);
        libusb_device_handle* h = libusb_open_device_with_vid_pid(ctx, 0x0403, 0x6001);
        QVERIFY(h);
        auto done = qScopeGuard([&] { libusb_close(h); libusb_exit(ctx); });
        QCOMPARE(libusb_claim_interface(h, 0), 0);
        QCOMPARE(libusb_control_transfer(h, 0x40, 0, 0, 0, nullptr, 0, 100), 0);   // reset
        unsigned char buf[512];
        QCOMPARE(libusb_control_transfer(h, 0xC0, 5, 0, 0, buf, 2, 100), 2);
        const QByteArray modem(reinterpret_cast<const char*>(buf), 2);
        int got = 0;
        auto read = [&] {
            const int st = libusb_bulk_transfer(h, 0x81, buf, sizeof buf, &got, 1000);
            return st == 0 ? QByteArray(reinterpret_cast<const char*>(buf), got) : QByteArray(libusb_error_name(st));
        };
        QCOMPARE(read(), modem);
        for (unsigned char code : {242, 246}) {
            unsigned char command[2] = {code, 240};
            QCOMPARE(libusb_bulk_transfer(h, 0x02, command, 2, &got, 100), 0);
        }
        QByteArray data;
        QList<int> shortPackets;   // data bytes of each packet with fewer than 62
        for (int n = 0; data.size() < 1 + Instrument::kBlockBytes && n < 1000; ++n) {
            const QByteArray packets = read();
            for (qsizetype at = 0; at < packets.size(); at += 64) {
                const QByteArray packet = packets.mid(at, 64);
                QCOMPARE(packet.left(2), modem);
                if (packet.size() > 2 && packet.size() < 64)
                    shortPackets << int(packet.size() - 2);
                data += packet.mid(2);
            }
        }
        const uint8_t mode = Instrument::modeByteFor(cfg_, 0);
        QCOMPARE(data, char(mode) + Instrument::screenBlock(0, 0, mode));
        // The chip knows no answers, only bytes: the mode byte rides with the
        // block, and one short packet ends them, 1 + 8192 - 132 * 62 bytes.
        QCOMPARE(shortPackets, QList<int>({9}));
    }
};

QTEST_GUILESS_MAIN(TestUsbEmu)
#include "tst_usb_emu.moc"
