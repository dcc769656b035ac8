// The diagnosis reads a fake machine: sysfs, /proc and the device nodes in a
// folder made here, the user judged by the node's mode bits as uid 4242. So
// does the driver loader when FTDI's library fails an open.
#include "diagnosis.h"
#include "dynamic_d2xx.h"
#include "fake_d2xx.h"
#include "fake_machine.h"
#include <QtTest>

using namespace diagnosis;
using Cause = Finding::Cause;
Q_DECLARE_METATYPE(Cause)

using Tree = FakeMachine;

namespace {
const QString kCable = "dev 1-1 bus=1 addr=2 serial=OTHERCABLE desc=FT232R~USB~UART driver=ftdi_sio tty=ttyUSB0;"
                       "hold 4321 minicom /dev/ttyUSB0;";
const QString kInstrument = "dev 1-2 bus=1 addr=7 serial=CVM00001 desc=Corvameter";
} // namespace

class TestDiagnosis : public QObject {
    Q_OBJECT
private slots:
    // The drop-in lives once a process and reads its faults on its first call.
    void initTestCase() { qputenv("CORVASIM_FAULTS", "noopen"); }

    // The cable a terminal holds comes last, the instrument is device 0, and
    // every fact the listing shows is read from its own place.
    void listing()
    {
        Tree t(kCable + kInstrument + " driver=ftdi_sio tty=ttyUSB1 mode=0664;"
               "hold 999 corvactl /dev/bus/usb/001/007;"      // ourselves
               "hold 77 screen /dev/ttyUSB0;hold 77 screen /dev/ttyUSB0");
        const QList<FtdiDevice> d = t.devices();
        QCOMPARE(d.size(), 2);
        QCOMPARE(d[0].serial, "CVM00001");
        QCOMPARE(deviceZero(d), 0);
        QCOMPARE(d[0].node, "/dev/bus/usb/001/007");
        QCOMPARE(d[0].tty, "/dev/ttyUSB1");
        QCOMPARE(d[0].kernelDriver, "ftdi_sio");
        QVERIFY(!d[0].held() && !d[0].mayOpen && d[0].nodeFound);
        QCOMPARE(d[0].mode, 0664u);
        QCOMPARE(d[1].busPath, "1-1");
        QCOMPARE(d[1].description, "FT232R USB UART");
        QVERIFY(d[1].mayOpen && d[1].ttyHeld());
        QCOMPARE(d[1].holders.size(), 2);   // each process once
        QCOMPARE(d[1].holders[0].name + d[1].holders[1].name, "screenminicom");
        QCOMPARE(bySerial(d, "OTHERCABLE"), &d[1]);
        QCOMPARE(byAddress(d, 1, 7), &d[0]);
        // All of them held: device 0 is the first of them, and its open fails as busy.
        Tree busy(kCable + kInstrument + ";hold 5 other /dev/bus/usb/001/007");
        QCOMPARE(busy.devices()[deviceZero(busy.devices())].serial, "OTHERCABLE");
        // Not an FTDI kind the program opens: never device 0.
        QCOMPARE(deviceZero(Tree("dev 3-1 bus=3 addr=4 prod=6002 serial=X").devices()), -1);
    }

    void explainFailedOpen_data()
    {
        QTest::addColumn<QString>("tree");
        QTest::addColumn<Library>("library");
        QTest::addColumn<QString>("tried");
        QTest::addColumn<Cause>("cause");
        QTest::addColumn<QString>("why");   // parts, '|' between them
        QTest::addColumn<QString>("fix");
        const auto V = Library::Vendor, L = Library::Libftdi;
        QTest::newRow("empty bus") << "" << L << "" << Cause::NoDevice << "no FTDI device is attached" << "plug the Corvameter in";
        QTest::newRow("listed, not on the bus") << "" << V << "CVM00001" << Cause::Unknown
                                                << "shows no USB device with that serial number" << "unplug it";
        QTest::newRow("other kinds only") << "dev 3-1 bus=3 addr=4 prod=6002 serial=X" << L << "" << Cause::NoDevice
                                          << "found only X (0403:6002)" << "plug";
        QTest::newRow("no access") << kInstrument + " mode=0664" << L << "" << Cause::NoAccess
                                   << "you may not open /dev/bus/usb/001/007, the USB device node of CVM00001|mode 0664"
                                   << "dist/70-corvameter.rules|usermod -aG plugdev";
        QTest::newRow("ftdi_sio, FTDI's library") << kInstrument + " driver=ftdi_sio tty=ttyUSB3" << V << "CVM00001"
                                                  << Cause::KernelDriver << "ftdi_sio driver holds CVM00001 as /dev/ttyUSB3"
                                                  << "--driver libftdi|echo 1-2:1.0 | sudo tee /sys/bus/usb/drivers/ftdi_sio/unbind";
        QTest::newRow("ftdi_sio, libftdi1") << kInstrument + " driver=ftdi_sio" << L << "CVM00001" << Cause::Unknown
                                            << "CVM00001 could not be opened through libftdi1" << "sudo fuser -v /dev/bus/usb/001/007";
        QTest::newRow("held, ours aside") << kInstrument + ";hold 999 me /dev/bus/usb/001/007;hold 31 picocom /dev/bus/usb/001/007"
                                          << V << "CVM00001" << Cause::Held
                                          << "CVM00001 is in use by another program: picocom (process 31) has /dev/bus/usb/001/007 open"
                                          << "kill 31";
        QTest::newRow("the cable tried, by serial") << kCable + kInstrument << V << "OTHERCABLE" << Cause::Held
                                                    << "minicom (process 4321) has /dev/ttyUSB0 open|tried OTHERCABLE at 1-1; "
                                                       "also attached: CVM00001 at 1-2 (Corvameter)"
                                                    << "close that program";
        QTest::newRow("device 0 beside the cable") << kCable + kInstrument + " driver=ftdi_sio" << V << "" << Cause::KernelDriver
                                                   << "holds CVM00001|also attached: OTHERCABLE at 1-1 (FT232R USB UART)" << "unbind";
        QTest::newRow("library missing") << kInstrument << Library::Missing << "" << Cause::LibraryMissing
                                         << "libftd2xx.so could not be loaded" << "sudo apt install libftdi1-2";
    }
    void explainFailedOpen()
    {
        QFETCH(QString, tree);
        QFETCH(Library, library);
        QFETCH(QString, tried);
        Tree t(tree);
        const Finding f = explain(t.devices(), library, tried);
        QTEST(f.cause, "cause");
        QFETCH(QString, why);
        QFETCH(QString, fix);
        for (const auto& [text, parts] : {std::pair(f.why, why), std::pair(f.fix, fix)})
            for (const QString& part : parts.split(u'|'))
                QVERIFY2(text.contains(part), qPrintable(f.line()));
        QVERIFY(f.sentences().front().isUpper() && f.sentences().endsWith(u'.'));
    }

    // FTDI's library cannot open the instrument: libftdi1 takes its place only
    // in the program's own choice, for a kernel driver it may detach, and then
    // makes the same open; the caller sees one open.
    void vendorGivesWayToLibftdi_data()
    {
        QTest::addColumn<QString>("tree");
        QTest::addColumn<bool>("forcedVendor");
        QTest::addColumn<bool>("libftdiUsable");
        QTest::addColumn<bool>("switches");
        const QString bound = kInstrument + " driver=ftdi_sio tty=ttyUSB1";
        QTest::newRow("ftdi_sio bound, tty free") << bound << false << true << true;
        QTest::newRow("--driver vendor") << bound << true << true << false;
        QTest::newRow("tty held") << bound + ";hold 31 minicom /dev/ttyUSB1" << false << true << false;
        QTest::newRow("no driver bound") << kInstrument << false << true << false;
        QTest::newRow("libftdi1 unusable") << bound << false << false << false;
    }
    void vendorGivesWayToLibftdi()
    {
        QFETCH(QString, tree);
        QFETCH(bool, forcedVendor);
        QFETCH(bool, libftdiUsable);
        QFETCH(bool, switches);
        Tree t(tree);
        DynamicD2xx d({SIM_DROPIN}, forcedVendor ? DynamicD2xx::Backend::Vendor : DynamicD2xx::Backend::None);
        d.where = t.where();
        FakeD2xx* libftdi = nullptr;
        d.libftdiLoader = [&](QString& inUse, QString& why) -> std::unique_ptr<D2xx> {
            if (!libftdiUsable) {
                why = "libusb cannot start";
                return nullptr;
            }
            inUse = "libftdi1 1.5";
            auto fake = std::make_unique<FakeD2xx>();
            libftdi = fake.get();
            return fake;
        };
        if (switches)
            QTest::ignoreMessage(QtInfoMsg, "USB driver library: libftdi1 1.5 "
                                            "(FTDI's library cannot open CVM00001 while ftdi_sio holds it)");
        char serial[100] = {};
        FT_HANDLE h = nullptr;
        QCOMPARE(d.ListDevices(nullptr, serial, FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER), FT_OK);
        QCOMPARE(d.OpenEx(serial, FT_OPEN_BY_SERIAL_NUMBER, &h), switches ? FT_OK : FT_DEVICE_NOT_OPENED);
        QCOMPARE(d.library(), switches ? Library::Libftdi : Library::Vendor);
        QCOMPARE(libftdi ? libftdi->described() : QStringList(), switches ? QStringList{"OpenEx 0 1 CVM00001"} : QStringList());
    }
};

QTEST_GUILESS_MAIN(TestDiagnosis)
#include "tst_diagnosis.moc"
