// The emulated FTDI chip, judged by Debian's libftdi1 and by raw libusb calls
// as a program on a real bus makes them. Runs with the emulator's folder on
// the loader path; the first check makes sure that is the libusb it got.
#include "instrument.h"
#include <QFile>
#include <QtTest>
#include <ftdi.h>
#include <libusb.h>

namespace {
QByteArray command(int code)
{
    return QByteArray(1, char(code)) + char(240);
}

struct Transfer {
    QByteArray packets;
    int status = -1;
    int done = 0;
};

void LIBUSB_CALL onDone(libusb_transfer* t)
{
    auto* r = static_cast<Transfer*>(t->user_data);
    r->packets = QByteArray(reinterpret_cast<const char*>(t->buffer), t->actual_length);
    r->status = t->status;
    r->done = 1;
}
} // namespace

class TestUsbEmu : public QObject {
    Q_OBJECT
    SimConfig cfg_ = SimConfig::fromEnvironment();

private slots:
    void initTestCase()
    {
        QCOMPARE(libusb_init(nullptr), 0);
        QFile maps(QStringLiteral("/proc/self/maps"));
        QVERIFY(maps.open(QIODevice::ReadOnly));
        QVERIFY2(maps.readAll().contains(USB_EMU_DIR "/libusb-1.0.so.0"),
                 "the emulated libusb is not the one loaded: run with " USB_EMU_DIR " on LD_LIBRARY_PATH");
        qInfo("libusb loaded from %s", USB_EMU_DIR "/libusb-1.0.so.0");
    }

    // libftdi1 finds the chip, takes it for an R-series one and decodes its
    // EEPROM (checksum included); the instrument's answers through libftdi1
    // are checked by tst_libftdi.
    void libftdi()
    {
        ftdi_context* f = ftdi_new();
        QVERIFY(f);
        auto done = qScopeGuard([f] { ftdi_free(f); });
        QCOMPARE(ftdi_usb_open_desc(f, 0x0403, 0x6001, nullptr, Instrument::kSerial), 0);
        QCOMPARE(int(f->type), int(TYPE_R));
        QCOMPARE(f->max_packet_size, 64u);
        char maker[64], product[64], serial[64];
        QCOMPARE(ftdi_usb_get_strings2(f, libusb_get_device(f->usb_dev), maker, 64, product, 64, serial, 64), 0);
        QCOMPARE(QByteArray(serial), QByteArray(Instrument::kSerial));
        QCOMPARE(ftdi_read_eeprom(f), 0);
        QCOMPARE(ftdi_eeprom_decode(f, 0), 0);
        int value = 0;
        QCOMPARE(ftdi_get_eeprom_value(f, PRODUCT_ID, &value), 0);
        QCOMPARE(value, 0x6001);
        char eeSerial[64] = {};
        QCOMPARE(ftdi_eeprom_get_strings(f, nullptr, 0, nullptr, 0, eeSerial, 64), 0);
        QCOMPARE(QByteArray(eeSerial), QByteArray(serial));
        unsigned char latency = 0;
        QCOMPARE(ftdi_get_latency_timer(f, &latency), 0);
        QCOMPARE(int(latency), cfg_.latencyMs);
        QCOMPARE(ftdi_set_latency_timer(f, 2), 0);
        QCOMPARE(ftdi_get_latency_timer(f, &latency), 0);
        QCOMPARE(int(latency), 2);
        QCOMPARE(ftdi_set_baudrate(f, 115200), 0);
        unsigned short modem = 0;
        QCOMPARE(ftdi_poll_modem_status(f, &modem), 0);
        QCOMPARE(ftdi_usb_close(f), 0);
    }

    // Raw asynchronous transfers: status-only packets while nothing is to
    // send, a block in packets of two status bytes and up to 62 data bytes
    // with one short packet at its end, and a cancel.
    void rawTransfers()
    {
        libusb_context* ctx = nullptr;
        QCOMPARE(libusb_init(&ctx), 0);
        libusb_device_handle* h = libusb_open_device_with_vid_pid(ctx, 0x0403, 0x6001);
        QVERIFY(h);
        auto done = qScopeGuard([&] { libusb_close(h); libusb_exit(ctx); });
        QCOMPARE(libusb_claim_interface(h, 0), 0);
        QCOMPARE(libusb_control_transfer(h, 0x40, 0, 0, 0, nullptr, 0, 100), 0);   // reset
        unsigned char status[2];
        QCOMPARE(libusb_control_transfer(h, 0xC0, 5, 0, 0, status, 2, 100), 2);

        libusb_transfer* t = libusb_alloc_transfer(0);
        auto freeIt = qScopeGuard([t] { libusb_free_transfer(t); });
        unsigned char buf[512];
        auto run = [&](bool cancel) {
            Transfer r;
            libusb_fill_bulk_transfer(t, h, 0x81, buf, sizeof buf, onDone, &r, 0);
            if (libusb_submit_transfer(t) != 0)
                return r;
            if (cancel)
                libusb_cancel_transfer(t);
            timeval tv{1, 0};
            while (!r.done)
                libusb_handle_events_timeout_completed(ctx, &tv, &r.done);
            return r;
        };
        Transfer idle = run(false);
        QCOMPARE(idle.status, int(LIBUSB_TRANSFER_COMPLETED));
        QCOMPARE(idle.packets, QByteArray(reinterpret_cast<const char*>(status), 2));
        QCOMPARE(run(true).status, int(LIBUSB_TRANSFER_CANCELLED));

        int sent = 0;
        QCOMPARE(libusb_bulk_transfer(h, 0x02, reinterpret_cast<unsigned char*>(command(242).data()), 2, &sent, 100), 0);
        QCOMPARE(libusb_bulk_transfer(h, 0x02, reinterpret_cast<unsigned char*>(command(246).data()), 2, &sent, 100), 0);
        QCOMPARE(sent, 2);
        QByteArray data;
        const qsizetype wantSize = 1 + Instrument::kBlockBytes;
        QList<int> shortPackets;   // data bytes of each packet with fewer than 62
        for (int n = 0; data.size() < wantSize && n < 1000; ++n) {
            const Transfer r = run(false);
            QCOMPARE(r.status, int(LIBUSB_TRANSFER_COMPLETED));
            for (qsizetype at = 0; at < r.packets.size(); at += 64) {
                const QByteArray packet = r.packets.mid(at, 64);
                QCOMPARE(packet.left(2), QByteArray(reinterpret_cast<const char*>(status), 2));
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
