// The program's screen and log handlers through FTDI's own D2XX library,
// which reaches the emulated FTDI chip: what the display shows equals the
// instrument's frames decoded here from the wire format, and the log text is
// exact. One process is one power-up of the instrument, configured from the
// environment; the failure cases run in processes of their own (see
// CMakeLists.txt) and skip elsewhere. Exit code 77 when FTDI's library could
// not be had.
#include "dynamic_d2xx.h"
#include "errorlog.h"
#include "fake_host.h"
#include "screen.h"
#include "screen_expect.h"
#include "simulator.h"
#include <QtTest>

using namespace expect;

class TestFtdiReal : public QObject {
    Q_OBJECT
    SimConfig cfg_ = SimConfig::fromEnvironment();   // as the emulated chip reads it
    SimFaults faults_ = SimFaults::parse(cfg_.faults);
    DynamicD2xx d2xx_{{QStringLiteral(FTDI_REAL_DIR "/libftd2xx.so")}};
    State state_;
    FakeHost host_;
    Link link_{state_, d2xx_, host_};
    Surface surface_;
    ScreenCapture screen_{state_, link_, host_, surface_};
    ErrorLog log_{state_, link_, host_};
    Model want_;
    int frames_ = 0;   // frames the instrument has started in this process
    QList<QImage> shown_;
    int stopAfter_ = 0;

    // The model's next frame, with the blocks the instrument sends of it.
    void expectFrame(int blocks = 5)
    {
        const uint8_t mode = Simulator::modeByteFor(cfg_, frames_);
        QList<QByteArray> data;
        for (int b = 0; b < blocks; ++b)
            data << Simulator::screenBlock(frames_, b, mode);
        want_.frame(mode, data);
        ++frames_;
    }
    bool faultRun() const { return faults_.noDevice || faults_.stallAfter >= 0 || faults_.unplugAfter >= 0; }

private slots:
    void initTestCase()
    {
        QVERIFY2(QDir::setCurrent(QStringLiteral(CORVA_GRATICULE_DIR)), CORVA_GRATICULE_DIR);
        surface_.onChanged = [this] {
            shown_ << surface_.image().copy();
            if (stopAfter_ && shown_.size() == stopAfter_)
                QTimer::singleShot(0, [this] { screen_.cmdStop_Click(); });
        };
        char serial[100] = {};
        d2xx_.ListDevices(nullptr, serial, FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER);
        QFile maps(QStringLiteral("/proc/self/maps"));
        QVERIFY(maps.open(QIODevice::ReadOnly));
        const QByteArray mapped = maps.readAll();
        QVERIFY2(mapped.contains(FTDI_REAL_DIR "/libftd2xx.so"), "FTDI's library is not loaded");
        QVERIFY2(mapped.contains(USB_EMU_DIR "/libusb-1.0.so.0"), "the emulated chip is not loaded: put " USB_EMU_DIR
                                                                    " on LD_LIBRARY_PATH");
        qInfo("driver library: %s", qPrintable(d2xx_.loadedFrom()));
        qInfo("libusb: %s", USB_EMU_DIR "/libusb-1.0.so.0");
    }

    void oneFrameInEachMode()
    {
        if (faultRun())
            QSKIP("a failure run");
        const int n = int(std::max<size_t>(cfg_.modes.size(), 4));
        for (int i = 0; i < n; ++i) {
            shown_.clear();
            screen_.cmdDownLoad_Click();
            QCOMPARE(host_.text, QString("Downloaded 1 Frame\r\n"));
            QCOMPARE(shown_.size(), 1);
            expectFrame();
            COMPARE_IMAGES(shown_.last(), want_.display);
        }
        QCOMPARE(state_.StatusText, QString());
        QVERIFY(!state_.handleOpen);
    }

    void continuousThenStop()
    {
        if (faultRun())
            QSKIP("a failure run");
        shown_.clear();
        stopAfter_ = 6;
        screen_.cmdContinuous_Click();   // "Stop" comes from the display's sixth change
        stopAfter_ = 0;
        QCOMPARE(shown_.size(), 6);
        for (const QImage& frame : shown_) {
            expectFrame();
            COMPARE_IMAGES(frame, want_.display);
        }
        QCOMPARE(state_.StatusText, QString());
        QVERIFY(!state_.handleOpen);
    }

    void getLogThenErase()
    {
        if (faultRun())
            QSKIP("a failure run");
        QString text;
        const int records = cfg_.logRecords < 0 ? 1000 : cfg_.logRecords;
        for (int i = 0; i < std::min(records, 1000); ++i)
            text += (i < 4 ? QString() : QString::number(i - 3) + ": ") + QString::fromLatin1(Simulator::logRecord(i, cfg_).mid(4));
        const QString end = QStringLiteral("-------- End of Log --------");
        log_.cmdGetLog_Click();
        QCOMPARE(host_.text, text + end);
        log_.cmdEraseLog_Click();
        QCOMPARE(host_.text, QString("Connecting to Corvameter\r\nErase command sent\r\n"));
        log_.cmdGetLog_Click();
        QCOMPARE(host_.text, end);
        QVERIFY(host_.messages.isEmpty());
    }

    // No instrument on the bus: the open fails and says so; nothing is drawn.
    void noInstrument()
    {
        if (!faults_.noDevice)
            QSKIP("run with CORVASIM_FAULTS=nodevice");
        const QImage before = surface_.image().copy();
        screen_.cmdDownLoad_Click();
        QCOMPARE(host_.text1History.value(0), QString("List Device Failed"));
        QVERIFY(!state_.handleOpen);
        COMPARE_IMAGES(surface_.image(), before);
    }

    // Unplugged during a continuous download: the frames before it are
    // right, and the download ends by itself with the device let go.
    void unpluggedDuringContinuous()
    {
        if (faults_.unplugAfter < 0)
            QSKIP("run with CORVASIM_FAULTS=unplug-after=N");
        shown_.clear();
        stopAfter_ = 1000;   // never reached: the loop must end without "Stop"
        screen_.cmdContinuous_Click();
        stopAfter_ = 0;
        const int whole = int(faults_.unplugAfter / (5 * Simulator::kBlockBytes));
        QVERIFY2(shown_.size() > whole && shown_.size() <= whole + 1, qPrintable(QString::number(shown_.size())));
        for (int f = 0; f < whole; ++f) {
            expectFrame();
            COMPARE_IMAGES(shown_[f], want_.display);
        }
        QVERIFY(!state_.handleOpen);
        qInfo("status box, in turn: %s", qPrintable(host_.text1History.join(u" | ").simplified()));
        screen_.cmdDownLoad_Click();   // the next click finds no instrument
        QVERIFY(host_.text1History.contains(QStringLiteral("List Device Failed")));
    }

    // The instrument answers the mode byte and then falls silent: the frame
    // shows its graticule, the program says what happened, and lets go.
    void silentInstrument()
    {
        if (faults_.stallAfter != 0)
            QSKIP("run with CORVASIM_FAULTS=stall-after=0");
        shown_.clear();
        screen_.cmdDownLoad_Click();
        QCOMPARE(shown_.size(), 1);
        expectFrame(0);
        COMPARE_IMAGES(shown_.last(), want_.display);
        QVERIFY2(host_.text1History.contains("No screen data from the Corvameter"), qPrintable(host_.text));
        QVERIFY(!state_.handleOpen);
    }
};

int main(int argc, char** argv)
{
    if (!QFile::exists(QStringLiteral(FTDI_REAL_DIR "/libftd2xx.so"))) {
        std::printf("SKIP: FTDI's library was not built in %s (see the ftdi_real_library test)\n", FTDI_REAL_DIR);
        return 77;
    }
    QGuiApplication app(argc, argv);
    TestFtdiReal t;
    return QTest::qExec(&t, argc, argv);
}

#include "tst_ftdi_real.moc"
