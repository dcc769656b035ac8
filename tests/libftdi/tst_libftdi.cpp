// The driver calls through the real libftdi1 and an emulated FTDI chip (the
// emulated libusb on the loader path), with no vendor library anywhere: the
// receive queue and read time-out, then the program's exchanges end to end,
// checked against models made from the wire format. The instrument lives as
// long as the process, so each fault has a run of its own (CMakeLists.txt);
// functions made for another run skip.
#include "dynamic_d2xx.h"
#include "errorlog.h"
#include "fake_host.h"
#include "libftdi_d2xx.h"
#include "mainwindow.h"
#include "screen.h"
#include "screen_expect.h"
#include "simulator.h"
#include <QtTest>

using namespace expect;

#define FOR_RUN(fault)                                                                                 \
    if (qEnvironmentVariable("CORVASIM_FAULTS").section('=', 0, 0) != QLatin1String(fault))           \
        QSKIP("belongs to the run with CORVASIM_FAULTS=" fault);

namespace {
// What the status box shows for log records 0 .. n-1, then the end line.
QString logShown(int n, const SimConfig& cfg)
{
    QString s;
    for (int i = 0; i < n; ++i)
        s += (i < 4 ? QString() : QString::number(i - 3) + ": ") + QString::fromLatin1(Simulator::logRecord(i, cfg).mid(4));
    return s + QStringLiteral("-------- End of Log --------");
}
} // namespace

class TestLibftdi : public QObject {
    Q_OBJECT

    // The program's pieces on the driver the program itself would pick.
    struct Rig {
        DynamicD2xx d2xx;
        State state;
        FakeHost host;
        Link link{state, d2xx, host};
        Surface surface;
        ScreenCapture screen{state, link, host, surface};
        ErrorLog log{state, link, host};
    };

    const SimConfig cfg = SimConfig::fromEnvironment();
    int frames_ = 0;   // mode requests the instrument has seen in this run

    FT_HANDLE open(LibftdiD2xx& d)
    {
        FT_HANDLE h = nullptr;
        char serial[100] = {};
        if (d.ListDevices(nullptr, serial, FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER) != FT_OK
            || d.OpenEx(serial, FT_OPEN_BY_SERIAL_NUMBER, &h) != FT_OK)
            return nullptr;
        return h;
    }

    // Frame `frame` drawn over `want` as the program draws it, when only the
    // first `arrived` bytes of its screen data come; `buffer` is the receive
    // buffer, which keeps what earlier reads left behind.
    void drawFrame(QImage& want, QByteArray& buffer, int frame, int arrived) const
    {
        const uint8_t mode = Simulator::modeByteFor(cfg, frame);
        buffer[0] = char(mode);
        if (const QString file = graticule(mode & 31); !file.isEmpty())
            want = withPicture(QImage(file));
        const uint8_t levels[4] = {uint8_t(buffer[119]), uint8_t(buffer[121]), uint8_t(buffer[123]), uint8_t(buffer[125])};
        if ((mode & 31) > 10)
            bars(want, levels);
        for (int b = 0; b < 5; ++b) {
            const QByteArray block = Simulator::screenBlock(frame, b, mode).left(std::clamp(arrived - 8192 * b, 0, 8192));
            buffer.replace(0, block.size(), block);
            decodeBlock(want, reinterpret_cast<const uint8_t*>(buffer.constData()), int(block.size()), b);
        }
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(QDir::setCurrent(QStringLiteral(CORVA_GRATICULE_DIR)), CORVA_GRATICULE_DIR);
        QVERIFY2(LibftdiD2xx::unusableReason().isEmpty(), "the emulated libusb is not on the loader path");
    }

    void listsTheChipBySerialNumber()
    {
        FOR_RUN("");
        LibftdiD2xx d;
        char serial[100];
        std::fill(std::begin(serial), std::end(serial), 'x');
        QCOMPARE(d.ListDevices(nullptr, serial, 0x40000001), FT_OK);
        QCOMPARE(QByteArray(serial), QByteArray(Simulator::kSerial));
        QCOMPARE(serial[qstrlen(Simulator::kSerial) + 1], 'x');   // nothing written behind the terminator
        QCOMPARE(d.ListDevices(reinterpret_cast<void*>(uintptr_t{1}), serial, 0x40000001), FT_DEVICE_NOT_FOUND);
    }

    // Each row: commands sent, queue level waited for, bytes asked; then what
    // the read gives and what stays queued. The read time-out is 100 ms.
    void queueAndReadTimeout_data()
    {
        QTest::addColumn<QList<int>>("commands");
        QTest::addColumn<int>("waitFor");
        QTest::addColumn<int>("toRead");
        QTest::addColumn<int>("got");
        QTest::addColumn<int>("left");
        QTest::newRow("a read waits for the mode byte") << QList<int>{242} << 0 << 1 << 1 << 0;
        QTest::newRow("a read waits for a whole block") << QList<int>{242, 246} << 0 << 8193 << 8193 << 0;
        QTest::newRow("what is not read stays queued") << QList<int>{242, 246} << 8193 << 100 << 100 << 8093;
        QTest::newRow("more than comes: what there is") << QList<int>{242, 246} << 8193 << 9000 << 8193 << 0;
        QTest::newRow("nothing asked: nothing, still OK") << QList<int>{} << 0 << 10 << 0 << 0;
    }
    void queueAndReadTimeout()
    {
        FOR_RUN("");
        QFETCH(QList<int>, commands);
        QFETCH(int, waitFor);
        QFETCH(int, toRead);
        LibftdiD2xx d;
        FT_HANDLE h = open(d);
        QVERIFY(h);
        QCOMPARE(d.SetTimeouts(h, 100, 0), FT_OK);
        for (int code : commands) {
            uint8_t frame[2] = {uint8_t(code), 240};
            DWORD written = 0;
            QCOMPARE(d.Write(h, frame, 2, &written), FT_OK);
            QCOMPARE(written, DWORD(2));
        }
        DWORD queued = 0;
        do
            QCOMPARE(d.GetQueueStatus(h, &queued), FT_OK);
        while (int(queued) < waitFor);
        QByteArray buf(toRead, '\0');
        DWORD got = 0;
        QCOMPARE(d.Read(h, buf.data(), DWORD(toRead), &got), FT_OK);
        QTEST(int(got), "got");
        QCOMPARE(d.GetQueueStatus(h, &queued), FT_OK);
        QTEST(int(queued), "left");
        // The bytes as the instrument sent them, modem-status bytes gone.
        if (!commands.isEmpty()) {
            const uint8_t mode = Simulator::modeByteFor(cfg, frames_++);
            const QByteArray sent = char(mode) + (commands.size() > 1 ? Simulator::screenBlock(frames_ - 1, 0, mode) : QByteArray());
            QCOMPARE(buf.left(int(got)), sent.left(int(got)));
        }
        QCOMPARE(d.Close(h), FT_OK);
    }

    // A closed or stale handle fails every call; the device is ours alone.
    void handles()
    {
        FOR_RUN("");
        LibftdiD2xx d;
        FT_HANDLE h = open(d);
        QVERIFY(h);
        QVERIFY2(!open(d), "opened twice");
        QCOMPARE(d.SetTimeouts(h, 100, 0), FT_OK);   // the first open still holds
        QCOMPARE(d.Close(h), FT_OK);
        FT_HANDLE again = open(d);
        QVERIFY(again && again != h);
        uint8_t b[2] = {242, 240};
        DWORD n = 0;
        QCOMPARE(d.Write(h, b, 2, &n), FT_INVALID_HANDLE);
        QCOMPARE(d.SetTimeouts(h, 100, 0), FT_INVALID_HANDLE);
        QCOMPARE(d.GetQueueStatus(h, &n), FT_INVALID_HANDLE);
        QCOMPARE(d.Read(h, b, 1, &n), FT_INVALID_HANDLE);
        QCOMPARE(d.Close(h), FT_INVALID_HANDLE);
        QCOMPARE(d.Close(again), FT_OK);
        QCOMPARE(d.Close(again), FT_INVALID_HANDLE);
    }

    void framesMatchTheInstrument_data()
    {
        QTest::addColumn<bool>("continuous");
        QTest::addColumn<int>("frames");
        QTest::newRow("1 Frame, one at a time") << false << 6;
        QTest::newRow("Continuous, then Stop") << true << 6;
    }
    void framesMatchTheInstrument()
    {
        FOR_RUN("");
        QFETCH(bool, continuous);
        QFETCH(int, frames);
        Rig r;
        QList<QImage> shown;
        r.surface.onChanged = [&] {
            shown << r.surface.image().copy();
            if (continuous && shown.size() == frames)
                QTimer::singleShot(0, [&] { r.screen.cmdStop_Click(); });
        };
        for (int f = 0; f < (continuous ? 1 : frames); ++f)
            continuous ? r.screen.cmdContinuous_Click() : r.screen.cmdDownLoad_Click();
        QCOMPARE(r.d2xx.backend(), DynamicD2xx::Backend::Libftdi);
        QVERIFY(r.d2xx.libraryInUse().startsWith("libftdi1 "));
        QCOMPARE(shown.size(), frames);
        QCOMPARE(r.state.StatusText, QString());
        QVERIFY(!r.state.handleOpen);

        QImage want = withPicture(QImage());
        QByteArray buffer(10000, '\0');
        for (int f = 0; f < frames; ++f, ++frames_) {
            drawFrame(want, buffer, frames_, 5 * 8192);
            COMPARE_IMAGES(shown[f], want);
        }
    }

    // Last of the fault-free run: the instrument keeps its log erased.
    void getLogThenEraseLog()
    {
        FOR_RUN("");
        Rig r;
        r.state.QueueCount = 8185;   // as a screen download leaves it
        r.log.cmdGetLog_Click();
        QCOMPARE(r.host.text, logShown(cfg.logRecords, cfg));
        r.log.cmdEraseLog_Click();
        QCOMPARE(r.host.text, QString("Connecting to Corvameter\r\nErase command sent\r\n"));
        r.log.cmdGetLog_Click();
        QCOMPARE(r.host.text, logShown(0, cfg));
        QVERIFY(r.host.messages.isEmpty());
    }

    void noDevice()
    {
        FOR_RUN("nodevice");
        Rig r;
        r.screen.cmdDownLoad_Click();
        QCOMPARE(r.d2xx.backend(), DynamicD2xx::Backend::Libftdi);
        QCOMPARE(r.host.text1History.first(), QString("List Device Failed"));
        QCOMPARE(r.host.text, QString("USB Close Failed"));
        QVERIFY(!r.state.handleOpen);
    }

    // Held by another program: the hint speaks of libftdi1's causes.
    void openRefusedHint()
    {
        FOR_RUN("noopen");
        DynamicD2xx d2xx;
        Corvameter_rem w(d2xx);
        QStringList boxes;
        w.messageHook = [&](const QString& text, const QString& title, Host::Icon) { boxes << title + ": " + text; };
        w.cmdDownLoad->click();
        QCOMPARE(w.link.lastOpen, Link::OpenOutcome::NotTried);   // judged and forgotten
        QCOMPARE(boxes.size(), 1);
        QVERIFY2(boxes[0].startsWith("USB Device: ") && boxes[0].contains("libftdi1") && boxes[0].contains("udev")
                     && !boxes[0].contains("rmmod"),
                 qPrintable(boxes[0]));
    }

    // Pulled out in the middle of a continuous download: the run ends by
    // itself, every later call fails, nothing is left open.
    void unplugDuringContinuous()
    {
        FOR_RUN("unplug-after");
        Rig r;
        int shown = 0;
        r.surface.onChanged = [&] { ++shown; };
        r.screen.cmdContinuous_Click();
        QVERIFY(shown > 0);
        QVERIFY(!r.state.handleOpen);
        QVERIFY2(r.host.text1History.filter("Failed").size() > 0, qPrintable(r.host.text1History.join(" | ")));
        r.screen.cmdDownLoad_Click();
        QCOMPARE(r.host.text1History.filter("List Device Failed").size(), 1);
    }

    // The instrument stops sending screen data after 20000 bytes: the frame
    // shows what came (each later read times out empty, the queue count
    // carried over saves the waits); a fresh start waits, gives up and
    // releases the device, and the log still comes.
    void instrumentStopsAnswering()
    {
        FOR_RUN("stall-after");
        {
            Rig r;
            r.screen.cmdDownLoad_Click();
            QImage want = withPicture(QImage());
            QByteArray buffer(10000, '\0');
            drawFrame(want, buffer, 0, 20000);
            COMPARE_IMAGES(r.surface.image(), want);
            QVERIFY(!r.state.handleOpen);
        }
        Rig r;
        r.screen.cmdDownLoad_Click();
        QVERIFY2(r.host.text1History.contains(QStringLiteral("No screen data from the Corvameter")),
                 qPrintable(r.host.text1History.join(" | ")));
        QVERIFY(!r.state.handleOpen);
        r.log.cmdGetLog_Click();
        QCOMPARE(r.host.text, logShown(cfg.logRecords, cfg));
    }
};

QTEST_MAIN(TestLibftdi)
#include "tst_libftdi.moc"
