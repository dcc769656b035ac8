#include "dynamic_d2xx.h"
#include "fake_host.h"
#include "link.h"
#include "simulator.h"
#include <QtTest>

namespace {
// One connection to an instant simulator, through its driver calls.
struct Session {
    explicit Session(SimConfig cfg) : sim(cfg) {}
    Simulator sim;
    FT_HANDLE h = nullptr;
    FT_STATUS readStatus = FT_OK;

    FT_STATUS open()
    {
        char serial[100] = {};
        const FT_STATUS st = sim.ListDevices(nullptr, serial, 0x40000001);
        return st != FT_OK ? st : sim.OpenEx(serial, 1, &h);
    }
    FT_STATUS send(int code)
    {
        uint8_t frame[2] = {uint8_t(code), 240};
        DWORD n = 0;
        return sim.Write(h, frame, 2, &n);
    }
    QByteArray read(DWORD n)
    {
        QByteArray buf(int(n), '\0');
        DWORD got = 0;
        readStatus = sim.Read(h, buf.data(), n, &got);
        return buf.left(int(got));
    }
};

SimConfig instant(const QString& faults = {})
{
    SimConfig c;
    c.bytesPerSecond = 0;
    c.modes = {1, 0xEB};
    c.logRecords = 3;
    c.faults = faults;
    return c;
}
} // namespace

class TestSim : public QObject {
    Q_OBJECT
private slots:
    void commands()
    {
        const SimConfig cfg = instant();
        Session s(cfg);
        QCOMPARE(s.open(), FT_OK);
        for (int frame = 0; frame < 3; ++frame) {   // modes cycled
            QCOMPARE(s.send(242), FT_OK);
            QCOMPARE(s.read(10), QByteArray(1, char(cfg.modes[size_t(frame % 2)])));
            for (int b = 0; b < 5; ++b) {
                QCOMPARE(s.send(246), FT_OK);
                QCOMPARE(s.read(9000), Simulator::screenBlock(frame, b, cfg.modes[size_t(frame % 2)]));
            }
            QCOMPARE(s.send(244), FT_OK);
            QCOMPARE(s.read(10), QByteArray());
        }
        // Records of one length the program accepts, the end marker after the last; 248 starts over.
        for (int pass = 0; pass < 2; ++pass) {
            QCOMPARE(s.send(248), FT_OK);
            for (int i = 0; i <= 3; ++i) {
                QCOMPARE(s.send(250), FT_OK);
                const QByteArray rec = s.read(50);
                QCOMPARE(rec, Simulator::logRecord(i, cfg));
                QVERIFY(rec.size() == 40 && rec.endsWith("\r\n") && rec.count('\n') == 1);
                QCOMPARE(rec.mid(4, 2) == " E", i == 3);
            }
        }
        QCOMPARE(s.send(252), FT_OK);   // erased: the end marker comes first
        QCOMPARE(s.send(248), FT_OK);
        QCOMPARE(s.send(250), FT_OK);
        QCOMPARE(s.read(50).mid(4, 2), QByteArray(" E"));
        QCOMPARE(s.send(0x10), FT_OK);   // no command
        QCOMPARE(s.read(10), QByteArray());
        QCOMPARE(s.sim.framesStarted(), 3);
    }

    // Per cycle: write 246, set time-outs, queue, read; then close and open again.
    void faults_data()
    {
        QTest::addColumn<QString>("faults");
        QTest::addColumn<QString>("results");   // status, or count where it succeeded
        const QString ok = "0 | 0 0 8192 8192 | 0 0 8192 8192 | 0 0 8192 8192 | 0 | 0";
        QTest::newRow("none") << "" << ok;
        QTest::newRow("nodevice") << "nodevice" << "e2 | e1 e1 e1 e1 | e1 e1 e1 e1 | e1 e1 e1 e1 | e1 | e2";
        QTest::newRow("noopen") << "noopen" << "e3 | e1 e1 e1 e1 | e1 e1 e1 e1 | e1 e1 e1 e1 | e1 | e3";
        QTest::newRow("short-block") << "short-block" << "0 | 0 0 8092 8092 | 0 0 8092 8092 | 0 0 8092 8092 | 0 | 0";
        QTest::newRow("short-block=5") << "short-block=5" << "0 | 0 0 8187 8187 | 0 0 8187 8187 | 0 0 8187 8187 | 0 | 0";
        QTest::newRow("stall-after=10000") << "stall-after=10000" << "0 | 0 0 8192 8192 | 0 0 1808 1808 | 0 0 0 0 | 0 | 0";
        // Gone once the bytes before the unplug are out: what asks the device
        // fails (as with the vendor's library, the time-outs do not), the bus is empty.
        QTest::newRow("unplug-after=10000") << "unplug-after=10000" << "0 | 0 0 8192 8192 | 0 0 e4 e4 | e4 0 e4 e4 | 0 | e2";
        QTest::newRow("fail-write=1") << "fail-write=1" << "0 | 0 0 8192 8192 | e4 0 0 0 | e4 0 0 0 | 0 | 0";
        QTest::newRow("fail-timeouts") << "fail-timeouts" << "0 | 0 e4 8192 8192 | 0 e4 8192 8192 | 0 e4 8192 8192 | 0 | 0";
        QTest::newRow("fail-queue=2") << "fail-queue=2" << "0 | 0 0 8192 8192 | 0 0 8192 8192 | 0 0 e4 8192 | 0 | 0";
        QTest::newRow("fail-read=1") << "fail-read=1" << "0 | 0 0 8192 8192 | 0 0 8192 e4 | 0 0 16384 e4 | 0 | 0";
        // A failing close still lets go of the device.
        QTest::newRow("fail-close") << "fail-close" << "0 | 0 0 8192 8192 | 0 0 8192 8192 | 0 0 8192 8192 | e4 | 0";
        QTest::newRow("names not understood") << "nodevic,stall-after,short-block=x" << ok;
    }
    void faults()
    {
        QFETCH(QString, faults);
        if (faults.startsWith("nodevic,"))
            QTest::ignoreMessage(QtWarningMsg, "corvasim: CORVASIM_FAULTS: not understood: nodevic stall-after short-block=x");
        Session s(instant(faults));
        QStringList out;
        auto note = [&](FT_STATUS st, qint64 value) { out << (st ? QString("e%1").arg(st) : QString::number(value)); };
        note(s.open(), 0);
        for (int cycle = 0; cycle < 3; ++cycle) {
            out << "|";
            note(s.send(246), 0);
            note(s.sim.SetTimeouts(s.h, 100, 0), 0);
            DWORD q = 0;
            FT_STATUS st = s.sim.GetQueueStatus(s.h, &q);
            note(st, q);
            const qsizetype got = s.read(8192).size();
            note(s.readStatus, got);
        }
        note((out << "|", s.sim.Close(s.h)), 0);
        note((out << "|", s.open()), 0);
        QTEST(out.join(' '), "results");
    }

    // The real program's loader path: the drop-in library through the link.
    void dropInLibraryThroughTheLink()
    {
        if (!QFile::exists(QStringLiteral(SIM_LIB_PATH)))
            QSKIP("drop-in library not built");
        qputenv("CORVASIM_MODES", "17");
        DynamicD2xx loaded({QStringLiteral(SIM_LIB_PATH)});
        State s;
        FakeHost host;
        Link link(s, loaded, host);
        link.Open_USB();   // the library's simulator reads the environment now
        qunsetenv("CORVASIM_MODES");
        QVERIFY2(host.text1History.isEmpty() && s.handleOpen, qPrintable(host.text));
        link.Send_byte_to_USB(242);
        QCOMPARE(link.setTimeouts(), FT_OK);
        QCOMPARE(link.readRx(1), FT_OK);
        QCOMPARE(s.rx(1), uint8_t(17));
        link.Send_byte_to_USB(246);
        QElapsedTimer guard;
        guard.start();
        do
            QCOMPARE(link.getQueueStatus(), FT_OK);
        while (s.QueueCount < 8192 && guard.elapsed() < 5000);
        QCOMPARE(link.readRx(8192), FT_OK);
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(s.RxBuffer.data()), s.BytesRead),
                 Simulator::screenBlock(0, 0, 17));
        QCOMPARE(link.close(), FT_OK);
    }
};

QTEST_GUILESS_MAIN(TestSim)
#include "tst_sim.moc"
