#include "dynamic_d2xx.h"
#include "fake_host.h"
#include "link.h"
#include "simulator.h"
#include <QtTest>

class TestSim : public QObject {
    Q_OBJECT
private slots:
    // The real program's loader path, the drop-in library, the link's calls.
    void dropInLibraryAnswersThroughTheLink_data()
    {
        QTest::addColumn<bool>("dropIn");
        QTest::newRow("in-process") << false;
        QTest::newRow("drop-in library") << true;
    }
    void dropInLibraryAnswersThroughTheLink()
    {
        QFETCH(bool, dropIn);
        qputenv("CORVASIM_MODES", "17");
        Simulator inProcess;
        DynamicD2xx loaded({QStringLiteral(SIM_LIB_PATH)});
        D2xx& d = dropIn ? static_cast<D2xx&>(loaded) : inProcess;
        State s;
        FakeHost host;
        Link link(s, d, host);
        link.Open_USB();
        QVERIFY2(host.text1History.isEmpty(), qPrintable(host.text));
        QVERIFY(s.handleOpen);
        link.Send_byte_to_USB(242);
        QCOMPARE(link.setTimeouts(), FT_OK);
        QCOMPARE(link.readRx(1), FT_OK);
        QCOMPARE(s.BytesRead, 1);
        QCOMPARE(s.rx(1), uint8_t(17));
        link.Send_byte_to_USB(246);
        // The block arrives over time: poll until it is all there.
        do
            QCOMPARE(link.getQueueStatus(), FT_OK);
        while (s.QueueCount < 8192);
        QCOMPARE(link.readRx(8192), FT_OK);
        QCOMPARE(s.BytesRead, 8192);
        const QByteArray want = Simulator::screenBlock(0, 0, 17);
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(s.RxBuffer.data()), 8192), want);
        // A second open while open fails, as on hardware.
        link.Open_USB();
        QCOMPARE(host.text, QString("OpenEx Failed"));
        QCOMPARE(link.close(), FT_OK);
        qunsetenv("CORVASIM_MODES");
    }

    void readTimesOutShortWithSuccess()
    {
        SimConfig cfg;
        cfg.bytesPerSecond = 20000;   // a block needs ~400 ms
        Simulator sim(cfg);
        char serial[100] = {};
        QCOMPARE(sim.ListDevices(nullptr, serial, 0x40000001), FT_OK);
        FT_HANDLE h = nullptr;
        QCOMPARE(sim.OpenEx(serial, 1, &h), FT_OK);
        uint8_t frame[2] = {246, 240};
        DWORD n = 0;
        QCOMPARE(sim.Write(h, frame, 2, &n), FT_OK);
        QCOMPARE(sim.SetTimeouts(h, 100, 0), FT_OK);
        std::vector<uint8_t> buf(8192);
        QCOMPARE(sim.Read(h, buf.data(), 8192, &n), FT_OK);
        QVERIFY(n > 0 && n < 8192);
        QCOMPARE(sim.Close(h), FT_OK);
        QCOMPARE(sim.Read(h, buf.data(), 1, &n), FT_INVALID_HANDLE);
    }

    void logRecordsEndWithAMarker_data()
    {
        QTest::addColumn<int>("records");
        QTest::newRow("none") << 0;
        QTest::newRow("three") << 3;
    }
    void logRecordsEndWithAMarker()
    {
        QFETCH(int, records);
        SimConfig cfg;
        cfg.logRecords = records;
        for (int i = 0; i <= records; ++i) {
            const QByteArray r = Simulator::logRecord(i, cfg);
            QVERIFY(r.size() >= 36 && r.size() <= 40);
            QCOMPARE(r.mid(4, 1), QByteArray(" "));
            QVERIFY(r.endsWith("\r\n"));
            QCOMPARE(r.at(5) == 'E', i == records);
        }
    }
};

QTEST_GUILESS_MAIN(TestSim)
#include "tst_sim.moc"
