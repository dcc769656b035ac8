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
    // Frames and records as the program reads them are checked through the
    // drop-in library (tst_sim_dropin); here what no download shows: 248
    // starts the log over, an erased log begins with its end marker, and an
    // unknown command brings nothing.
    void logRestartEraseAndUnknownCommand()
    {
        const SimConfig cfg = instant();
        Session s(cfg);
        QCOMPARE(s.open(), FT_OK);
        for (int pass = 0; pass < 2; ++pass) {
            QCOMPARE(s.send(248), FT_OK);
            for (int i = 0; i <= 3; ++i) {
                QCOMPARE(s.send(250), FT_OK);
                QCOMPARE(s.read(50), Simulator::logRecord(i, cfg));
            }
        }
        QCOMPARE(s.send(252), FT_OK);
        QCOMPARE(s.send(248), FT_OK);
        QCOMPARE(s.send(250), FT_OK);
        QCOMPARE(s.read(50).mid(4, 2), QByteArray(" E"));
        QCOMPARE(s.send(0x10), FT_OK);
        QCOMPARE(s.read(10), QByteArray());
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
};

QTEST_GUILESS_MAIN(TestSim)
#include "tst_sim.moc"
