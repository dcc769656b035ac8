#include "simulator.h"
#include <QtTest>

// The simulator's frames, records and its nodevice, noopen, stall, unplug and
// short-block faults are checked where the program meets them: through the
// drop-in library (tst_sim_dropin*) and corvactl (tst_corvactl). Here the
// call failures a test can order, which no program run shows call by call.
class TestSim : public QObject {
    Q_OBJECT
private slots:
    // Per cycle: write 246, set time-outs, queue, read; then close and open again.
    void faults_data()
    {
        QTest::addColumn<QString>("faults");
        QTest::addColumn<QString>("results");   // status, or count where it succeeded
        const QString ok = "0 | 0 0 8192 8192 | 0 0 8192 8192 | 0 0 8192 8192 | 0 | 0";
        QTest::newRow("none") << "" << ok;
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
        SimConfig cfg;
        cfg.bytesPerSecond = 0;   // instant
        cfg.faults = faults;
        Simulator sim(cfg);
        FT_HANDLE h = nullptr;
        QStringList out;
        auto note = [&](FT_STATUS st, qint64 value) { out << (st ? QString("e%1").arg(st) : QString::number(value)); };
        char* serial = const_cast<char*>(Simulator::kSerial);
        note(sim.OpenEx(serial, 1, &h), 0);
        for (int cycle = 0; cycle < 3; ++cycle) {
            uint8_t command[2] = {246, 240};
            QByteArray buf(8192, '\0');
            DWORD n = 0;
            out << "|";
            note(sim.Write(h, command, 2, &n), 0);
            note(sim.SetTimeouts(h, 100, 0), 0);
            FT_STATUS st = sim.GetQueueStatus(h, &n);
            note(st, n);
            st = sim.Read(h, buf.data(), 8192, &n);
            note(st, n);
        }
        out << "|";
        note(sim.Close(h), 0);
        out << "|";
        note(sim.OpenEx(serial, 1, &h), 0);
        QTEST(out.join(' '), "results");
    }
};

QTEST_GUILESS_MAIN(TestSim)
#include "tst_sim.moc"
