// The program's screen and log handlers through one driver library, chosen by
// TEST_DRIVER: the file of a D2XX library (FTDI's own over the emulated FTDI
// chip, or our simulator's drop-in), or "libftdi" for libftdi1 over the
// emulated chip. What the display shows equals the instrument's frames decoded
// here from the wire format; the log text is exact. The instrument lives as
// long as the process, so each fault has a run of its own (CMakeLists.txt) and
// functions made for another run skip. Exit code 77 when the library is missing.
#include "dynamic_d2xx.h"
#include "session.h"
#include "fake_host.h"
#include "log_expect.h"
#include "screen_expect.h"
#include "simulator.h"
#include <QtTest>
#if defined(CORVA_HAVE_LIBFTDI)
#include "libftdi_d2xx.h"
#endif

using namespace expect;

#define FOR_RUN(...)                                                                                   \
    if (!QStringList{__VA_ARGS__}.contains(qEnvironmentVariable("CORVASIM_FAULTS").section('=', 0, 0))) \
        QSKIP("belongs to another CORVASIM_FAULTS run");

namespace {
const QString kDriver = qEnvironmentVariable("TEST_DRIVER");

// The program's pieces on the library under test.
struct Rig {
    DynamicD2xx d2xx{kDriver == "libftdi" ? QStringList{} : QStringList{kDriver},
                     kDriver == "libftdi" ? DynamicD2xx::Backend::Libftdi : DynamicD2xx::Backend::Vendor};
    FakeHost host;
    Session session{d2xx, host};
    StatusLog& status = session.status;
    Link& link = session.link;
    Surface& surface = session.surface;
    ScreenCapture& screen = session.screen;
    ErrorLog& log = session.errorLog;
    QList<QImage> shown;
    int stopAfter = 0;   // "Stop" at that change of the display

    Rig()
    {
        surface.onChanged = [this] {
            shown << surface.image().copy();
            if (shown.size() == stopAfter)
                QTimer::singleShot(0, [this] { screen.cmdStop_Click(); });
        };
    }
};
} // namespace

class TestThroughDriver : public QObject {
    Q_OBJECT
    const bool libftdi_ = kDriver == "libftdi";
    const SimConfig cfg_ = SimConfig::fromEnvironment();   // as the instrument reads it
    const SimFaults faults_ = SimFaults::parse(cfg_.faults);
    int frames_ = 0;   // frames the instrument has started in this process

    QString logShown(int n) const
    {
        return ::logShown(n, [this](int i) { return Simulator::logRecord(i, cfg_); }) + kEndOfLog;
    }

    // The instrument's next frame drawn into `want`, when only the first
    // `arrived` bytes of its screen data come.
    void expectFrame(Model& want, long long arrived = 5 * 8192)
    {
        const uint8_t mode = Simulator::modeByteFor(cfg_, frames_);
        QList<QByteArray> blocks;
        for (int b = 0; b < 5; ++b)
            blocks << Simulator::screenBlock(frames_, b, mode).chopped(faults_.shortBy).left(std::clamp<long long>(arrived - 8192 * b, 0, 8192));
        want.frame(mode, blocks);
        ++frames_;
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(QDir::setCurrent(QStringLiteral(CORVA_GRATICULE_DIR)), CORVA_GRATICULE_DIR);
    }

#if defined(CORVA_HAVE_LIBFTDI)
    // libftdi1's calls beyond what a download shows: the serial number is
    // written with its terminator only; a read leaves what it did not take
    // queued, gives what came by its 100 ms time-out (nothing, still OK) and
    // never the modem-status bytes; the device is ours alone; a closed or
    // stale handle fails every call.
    void readsAndHandles()
    {
        if (!libftdi_)
            QSKIP("libftdi1's own calls");
        FOR_RUN("");
        LibftdiD2xx d;
        auto open = [&d] {
            FT_HANDLE h = nullptr;
            char serial[100] = {};
            return d.ListDevices(nullptr, serial, 0x40000001) || d.OpenEx(serial, 1, &h) ? nullptr : h;
        };
        char serial[100];
        std::fill(std::begin(serial), std::end(serial), 'x');
        QCOMPARE(d.ListDevices(nullptr, serial, 0x40000001), FT_OK);
        QCOMPARE(QByteArray(serial), QByteArray(Simulator::kSerial));
        QCOMPARE(serial[qstrlen(Simulator::kSerial) + 1], 'x');
        QCOMPARE(d.ListDevices(reinterpret_cast<void*>(uintptr_t{1}), serial, 0x40000001), FT_DEVICE_NOT_FOUND);
        FT_HANDLE h = open();
        QVERIFY(h);
        QVERIFY2(!open(), "opened twice");
        QCOMPARE(d.SetTimeouts(h, 100, 0), FT_OK);   // the first open still holds
        uint8_t command[2] = {242, 240};
        DWORD n = 0, queued = 0;
        QCOMPARE(d.Write(h, command, 2, &n), FT_OK);
        command[0] = 246;
        QCOMPARE(d.Write(h, command, 2, &n), FT_OK);
        const uint8_t mode = Simulator::modeByteFor(cfg_, frames_);
        const QByteArray sent = char(mode) + Simulator::screenBlock(frames_++, 0, mode);
        do
            QCOMPARE(d.GetQueueStatus(h, &queued), FT_OK);
        while (queued < DWORD(sent.size()));
        QByteArray got;
        for (const auto& [ask, want] : {std::pair(100, 100), std::pair(9000, int(sent.size()) - 100), std::pair(10, 0)}) {
            QByteArray buf(ask, '\0');
            QCOMPARE(d.Read(h, buf.data(), DWORD(ask), &n), FT_OK);
            QCOMPARE(int(n), want);
            got += buf.left(want);
            QCOMPARE(d.GetQueueStatus(h, &queued), FT_OK);
            QCOMPARE(qsizetype(queued), sent.size() - got.size());
        }
        QCOMPARE(got, sent);
        QCOMPARE(d.Close(h), FT_OK);
        FT_HANDLE again = open();
        QVERIFY(again && again != h);
        QCOMPARE(d.Write(h, command, 2, &n), FT_INVALID_HANDLE);
        QCOMPARE(d.SetTimeouts(h, 100, 0), FT_INVALID_HANDLE);
        QCOMPARE(d.GetQueueStatus(h, &n), FT_INVALID_HANDLE);
        QCOMPARE(d.Read(h, command, 1, &n), FT_INVALID_HANDLE);
        QCOMPARE(d.Close(h), FT_INVALID_HANDLE);
        QCOMPARE(d.Close(again), FT_OK);
        QCOMPARE(d.Close(again), FT_INVALID_HANDLE);
    }

#endif

    // "Continuous" through every mode until "Stop"; with short blocks each
    // read times out with what came. A click's own open and close through the
    // library are the log's, the stall's and the unplug's as much as "1 Frame"'s.
    void framesMatchTheInstrument()
    {
        FOR_RUN("", "short-block");
        const int frames = std::max(int(cfg_.modes.size()), 6);
        Rig r;
        r.stopAfter = frames;
        r.screen.cmdContinuous_Click();
        QCOMPARE(r.shown.size(), frames);
        QCOMPARE(r.status.StatusText, QString());
        QVERIFY(!r.link.handleOpen);
        Model want;
        for (int f = 0; f < frames; ++f) {
            expectFrame(want);
            COMPARE_IMAGES(r.shown[f], want.display);
        }
        // The library meant, with the emulated chip under all but the drop-in.
        QFile maps(QStringLiteral("/proc/self/maps"));
        QVERIFY(maps.open(QIODevice::ReadOnly));
        const QByteArray mapped = maps.readAll();
        QVERIFY2(libftdi_ ? r.d2xx.libraryInUse().startsWith("libftdi1 ") : mapped.contains(kDriver.toUtf8()),
                 qPrintable(r.d2xx.libraryInUse()));
        QCOMPARE(mapped.contains(USB_EMU_DIR "/libusb-1.0.so.0"), !kDriver.contains("sim-lib"));
    }

    // Last of the fault-free run: the instrument keeps its log erased.
    void getLogThenEraseLog()
    {
        FOR_RUN("", "short-block");
        Rig r;
        r.link.QueueCount = 8185;   // as a screen download leaves it
        for (int i = 0; i < 2; ++i) {   // each "Get Log" starts the log over
            r.log.cmdGetLog_Click();
            QCOMPARE(r.host.text, logShown(cfg_.logRecords));
        }
        r.log.cmdEraseLog_Click();   // its words are tst_errorlog's
        r.log.cmdGetLog_Click();
        QCOMPARE(r.host.text, logShown(0));
        QVERIFY(r.host.messages.isEmpty());
    }

    // Pulled out in the middle of a continuous download: the frames before it
    // are right, the run ends by itself, and nothing is left open.
    void unplugDuringContinuous()
    {
        FOR_RUN("unplug-after");
        Rig r;
        r.screen.cmdContinuous_Click();   // no "Stop": the loop must end by itself
        const int whole = int(faults_.unplugAfter / (5 * Simulator::kBlockBytes));
        QVERIFY2(r.shown.size() > whole && r.shown.size() <= whole + 1, qPrintable(QString::number(r.shown.size())));
        Model want;
        for (int f = 0; f < whole; ++f) {
            expectFrame(want);
            COMPARE_IMAGES(r.shown[f], want.display);
        }
        QVERIFY(!r.link.handleOpen);
        QVERIFY2(!r.host.text1History.filter("Failed").isEmpty(), qPrintable(r.host.text1History.join(" | ")));
        r.screen.cmdDownLoad_Click();   // the next click finds no instrument
        QCOMPARE(r.host.text1History.filter("List Device Failed").size(), 1);
    }

    // The instrument stops sending screen data after N bytes: the frame shows
    // what came (each later read times out empty, the queue count carried over
    // saves the waits); a fresh start waits, gives up and releases the device,
    // and the log still comes.
    void instrumentStopsAnswering()
    {
        FOR_RUN("stall-after");
        {
            Rig r;
            r.screen.cmdDownLoad_Click();
            Model want;
            expectFrame(want, faults_.stallAfter);
            COMPARE_IMAGES(r.surface.image(), want.display);
            QVERIFY2(r.host.text1History.filter("Failed").isEmpty(), qPrintable(r.host.text1History.join(" | ")));
            QVERIFY(!r.link.handleOpen);
        }
        Rig r;
        r.screen.cmdDownLoad_Click();
        QVERIFY2(r.host.text1History.contains(QStringLiteral("No screen data from the Corvameter")),
                 qPrintable(r.host.text1History.join(" | ")));
        QVERIFY(!r.link.handleOpen);
        r.log.cmdGetLog_Click();
        QCOMPARE(r.host.text, logShown(cfg_.logRecords));
    }
};

int main(int argc, char** argv)
{
    if (kDriver != "libftdi" && !QFile::exists(kDriver)) {
        std::printf("SKIP: no driver library at \"%s\" (FTDI's comes from the ftdi_real_library test)\n", qPrintable(kDriver));
        return 77;
    }
    QGuiApplication app(argc, argv);
    TestThroughDriver t;
    return QTest::qExec(&t, argc, argv);
}

#include "tst_through_driver.moc"
