#include "dynamic_d2xx.h"
#include "fake_host.h"
#include "link.h"
#include "simulator.h"
#include <QTemporaryDir>
#include <QtTest>
#include <set>

namespace {

// One connection to a simulator, through its driver calls.
struct Session {
    explicit Session(SimConfig cfg = {}) : sim(std::move(cfg)) {}
    Simulator sim;
    FT_HANDLE h = nullptr;

    FT_STATUS open()
    {
        char serial[100] = {};
        const FT_STATUS st = sim.ListDevices(nullptr, serial, 0x40000001);
        return st != FT_OK ? st : sim.OpenEx(serial, 1, &h);
    }
    FT_STATUS send(int code, int trailer = 240)
    {
        uint8_t frame[2] = {uint8_t(code), uint8_t(trailer)};
        DWORD n = 0;
        return sim.Write(h, frame, 2, &n);
    }
    DWORD queue()
    {
        DWORD q = 0;
        return sim.GetQueueStatus(h, &q) == FT_OK ? q : ~DWORD(0);
    }
    QByteArray read(DWORD n, FT_STATUS* status = nullptr)
    {
        QByteArray buf(int(n), '\0');
        DWORD got = 0;
        const FT_STATUS st = sim.Read(h, buf.data(), n, &got);
        if (status)
            *status = st;
        return buf.left(int(got));
    }
};

SimConfig instant()
{
    SimConfig c;
    c.bytesPerSecond = 0;
    return c;
}

SimConfig withFaults(const QString& faults)
{
    SimConfig c = instant();
    c.faults = faults;
    return c;
}

// The program's view of a record: first space S among 1..40, the end marker
// right after it, the line feed scanned for from S+30 up to 40.
struct Parsed {
    int s = 0, l = 0;
    bool end = false;
};
Parsed parse(const QByteArray& rec)
{
    auto at = [&](int pos) { return pos >= 1 && pos <= rec.size() ? rec.at(pos - 1) : '\0'; };
    Parsed p;
    p.s = 1;
    while (at(p.s) != ' ' && ++p.s <= 40) {}
    p.end = at(p.s + 1) == 'E';
    p.l = p.s + 30;
    while (at(p.l) != '\n' && ++p.l <= 40) {}
    return p;
}

} // namespace

class TestSim : public QObject {
    Q_OBJECT
private slots:
    void listDevices_data()
    {
        QTest::addColumn<quintptr>("index");
        QTest::addColumn<uint>("flags");
        QTest::addColumn<QString>("faults");
        QTest::addColumn<bool>("ok");
        QTest::newRow("serial of device 0") << quintptr(0) << 0x40000001u << "" << true;
        QTest::newRow("description flag") << quintptr(0) << 0x40000002u << "" << false;
        QTest::newRow("number only") << quintptr(0) << 0x80000000u << "" << false;
        QTest::newRow("no second device") << quintptr(1) << 0x40000001u << "" << false;
        QTest::newRow("nodevice") << quintptr(0) << 0x40000001u << "nodevice" << false;
    }
    void listDevices()
    {
        QFETCH(quintptr, index);
        QFETCH(uint, flags);
        QFETCH(QString, faults);
        QFETCH(bool, ok);
        Simulator sim(withFaults(faults));
        char buf[100];
        std::memset(buf, 'x', sizeof buf);
        const FT_STATUS st = sim.ListDevices(reinterpret_cast<void*>(index), buf, flags);
        QCOMPARE(st == FT_OK, ok);
        if (ok)
            QCOMPARE(QByteArray(buf), QByteArray(Simulator::kSerial));
        if (faults == "nodevice")
            QCOMPARE(st, FT_DEVICE_NOT_FOUND);
    }

    void openAndHandles()
    {
        Session s(instant());
        uint8_t byte = 0;
        DWORD n = 0;
        QCOMPARE(s.sim.Read(nullptr, &byte, 1, &n), FT_INVALID_HANDLE);   // never opened
        char wrong[] = "CVM00002";
        FT_HANDLE h = nullptr;
        QVERIFY(s.sim.OpenEx(wrong, 1, &h) != FT_OK);
        QVERIFY(s.sim.OpenEx(const_cast<char*>(Simulator::kSerial), 2, &h) != FT_OK);
        QCOMPARE(s.open(), FT_OK);
        QVERIFY(s.h != nullptr);
        QVERIFY(s.sim.isOpen());
        FT_HANDLE second = nullptr;
        QVERIFY(s.sim.OpenEx(const_cast<char*>(Simulator::kSerial), 1, &second) != FT_OK);
        QCOMPARE(s.sim.Close(s.h), FT_OK);
        QVERIFY(!s.sim.isOpen());
        // Every call on the closed handle is refused, also after a new open.
        const FT_HANDLE old = s.h;
        QCOMPARE(s.open(), FT_OK);
        QVERIFY(s.h != old);
        uint8_t frame[2] = {242, 240};
        DWORD q = 0;
        QCOMPARE(s.sim.Write(old, frame, 2, &n), FT_INVALID_HANDLE);
        QCOMPARE(s.sim.SetTimeouts(old, 100, 0), FT_INVALID_HANDLE);
        QCOMPARE(s.sim.GetQueueStatus(old, &q), FT_INVALID_HANDLE);
        QCOMPARE(s.sim.Read(old, &byte, 1, &n), FT_INVALID_HANDLE);
        QCOMPARE(s.sim.Close(old), FT_INVALID_HANDLE);
        QCOMPARE(s.sim.framesStarted(), 0);
        QCOMPARE(s.sim.Close(s.h), FT_OK);
        QCOMPARE(s.sim.Close(s.h), FT_INVALID_HANDLE);
    }

    void modeByte_data()
    {
        QTest::addColumn<std::vector<int>>("modes");
        QTest::addColumn<std::vector<int>>("want");
        QTest::newRow("one mode") << std::vector<int>{17} << std::vector<int>{17, 17, 17};
        QTest::newRow("cycled") << std::vector<int>{1, 2, 0xEB} << std::vector<int>{1, 2, 0xEB, 1};
    }
    void modeByte()
    {
        QFETCH(std::vector<int>, modes);
        QFETCH(std::vector<int>, want);
        SimConfig cfg = instant();
        cfg.modes = modes;
        Session s(cfg);
        QCOMPARE(s.open(), FT_OK);
        for (size_t i = 0; i < want.size(); ++i) {
            QCOMPARE(s.send(242), FT_OK);
            QCOMPARE(s.read(1), QByteArray(1, char(want[i])));
            QCOMPARE(s.sim.framesStarted(), int(i + 1));
            QCOMPARE(Simulator::modeByteFor(cfg, int(i)), uint8_t(want[i]));
        }
    }

    void tourVisitsEveryGraticuleMode()
    {
        std::set<int> seen;
        for (int f = 0; f < 200; ++f)
            seen.insert(Simulator::modeByteFor(SimConfig{}, f) & 31);
        QCOMPARE(seen, (std::set<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 11, 12, 13, 14, 15, 16}));
    }

    void blockArrivesOverTime()
    {
        SimConfig cfg;
        cfg.bytesPerSecond = 1.0e5;   // a block takes about 80 ms
        cfg.modes = {5};
        Session s(cfg);
        QCOMPARE(s.open(), FT_OK);
        QCOMPARE(s.send(242), FT_OK);
        QCOMPARE(s.read(1), QByteArray(1, char(5)));
        QCOMPARE(s.send(246), FT_OK);
        DWORD q = s.queue();
        QVERIFY2(q < 8192, qPrintable(QString::number(q)));
        DWORD last = q;
        QElapsedTimer guard;
        guard.start();
        while (q < 8192 && guard.elapsed() < 5000) {
            q = s.queue();
            QVERIFY(q >= last && q % 64 == 0);   // whole USB packets, never going back
            last = q;
        }
        QCOMPARE(q, DWORD(8192));
        QCOMPARE(s.read(8192), Simulator::screenBlock(0, 0, 5));
        QCOMPARE(s.queue(), DWORD(0));
        // Without a time-out a read waits for what is on its way.
        QCOMPARE(s.send(246), FT_OK);
        QCOMPARE(s.read(9000), Simulator::screenBlock(0, 1, 5));
    }

    void readTimesOutShortWithSuccess()
    {
        SimConfig cfg;
        cfg.bytesPerSecond = 20000;   // a block needs ~400 ms
        Session s(cfg);
        QCOMPARE(s.open(), FT_OK);
        QCOMPARE(s.send(246), FT_OK);
        QCOMPARE(s.sim.SetTimeouts(s.h, 100, 0), FT_OK);
        FT_STATUS st = 1;
        QByteArray got = s.read(8192, &st);
        QCOMPARE(st, FT_OK);
        QVERIFY(got.size() > 0 && got.size() < 8192);
        // The rest comes later, nothing lost and nothing twice.
        while (got.size() < 8192) {
            const QByteArray more = s.read(8192, &st);
            QCOMPARE(st, FT_OK);
            QVERIFY(!more.isEmpty());
            got += more;
        }
        QCOMPARE(got, Simulator::screenBlock(0, 0, Simulator::modeByteFor(cfg, 0)));
        // Nothing on its way: a timed read still succeeds, with nothing.
        QCOMPARE(s.read(1, &st), QByteArray());
        QCOMPARE(st, FT_OK);
    }

    void frameBlocksAndLevels()
    {
        SimConfig cfg = instant();
        cfg.modes = {12};
        Session s(cfg);
        QCOMPARE(s.open(), FT_OK);
        for (int frame = 0; frame < 2; ++frame) {
            QCOMPARE(s.send(242), FT_OK);
            QCOMPARE(s.read(1).size(), 1);
            for (int b = 0; b < 5; ++b) {
                QCOMPARE(s.send(246), FT_OK);
                const QByteArray block = s.read(8192);
                QCOMPARE(block, Simulator::screenBlock(frame, b, 12));
                for (int c = 0; c < 64; ++c)
                    QCOMPARE(block.at(c * 128), '\0');
                if (b == 4)
                    for (int ch = 0; ch < 4; ++ch)
                        QCOMPARE(uint8_t(block.at(119 + 2 * ch)), Simulator::levelFor(frame, ch));
            }
            QCOMPARE(s.send(244), FT_OK);
        }
    }

    void picturesMove_data()
    {
        QTest::addColumn<int>("mode");
        QTest::newRow("waveform") << 1;
        QTest::newRow("vector") << 6;
        QTest::newRow("audio") << 14;
        QTest::newRow("no graticule") << 31;
    }
    void picturesMove()
    {
        QFETCH(int, mode);
        std::set<int> levels;
        for (int f = 0; f < 20; ++f) {
            QByteArray screen, next;
            for (int b = 0; b < 5; ++b) {
                screen += Simulator::screenBlock(f, b, mode);
                next += Simulator::screenBlock(f + 1, b, mode);
            }
            QCOMPARE(screen.size(), 5 * 8192);
            QVERIFY(screen != next);
            // Both white and grey pixels, by the host's thresholds.
            bool white = false, grey = false;
            for (char ch : screen) {
                const int hi = uint8_t(ch) >> 4;
                white |= hi >= 8;
                grey |= hi >= 1 && hi < 8;
            }
            QVERIFY(white && grey);
            for (int ch = 0; ch < 4; ++ch) {
                const int v = Simulator::levelFor(f, ch);
                QVERIFY(v >= 0 && v <= 206);
                levels.insert(v);
            }
        }
        QVERIFY(levels.size() > 10);
    }

    void logRecordFormat_data()
    {
        QTest::addColumn<int>("records");
        QTest::newRow("end marker first") << 0;
        QTest::newRow("three") << 3;
        QTest::newRow("default") << 24;
        QTest::newRow("no end marker") << -1;
    }
    void logRecordFormat()
    {
        QFETCH(int, records);
        SimConfig cfg;
        cfg.logRecords = records;
        const int last = records < 0 ? 980 : records;
        for (int i = 0; i <= last; ++i) {
            const QByteArray r = Simulator::logRecord(i, cfg);
            // One length for all, or the program's reads would drift.
            QCOMPARE(r.size(), Simulator::kRecordBytes);
            QCOMPARE(r.left(4), QByteArray::number(i % 10000).rightJustified(4, '0'));
            QVERIFY(r.endsWith("\r\n"));
            QCOMPARE(r.count('\n'), 1);
            const Parsed p = parse(r);
            QCOMPARE(p.s, 5);
            QCOMPARE(p.end, records >= 0 && i == records);
            QCOMPARE(p.l, int(r.size()));   // the line break the record carries is the one shown
        }
    }

    void logThroughCommands()
    {
        SimConfig cfg = instant();
        cfg.logRecords = 5;
        Session s(cfg);
        QCOMPARE(s.open(), FT_OK);
        for (int pass = 0; pass < 2; ++pass) {   // 248 starts over
            QCOMPARE(s.send(248), FT_OK);
            QCOMPARE(s.queue(), DWORD(0));
            for (int i = 0; i <= 5; ++i) {
                QCOMPARE(s.send(250), FT_OK);
                QCOMPARE(s.read(50), Simulator::logRecord(i, cfg));
            }
        }
        QCOMPARE(s.send(252), FT_OK);
        QCOMPARE(s.send(248), FT_OK);
        QCOMPARE(s.send(250), FT_OK);
        QVERIFY(parse(s.read(50)).end);
    }

    // The program reads each record with the count it last polled, which a
    // record of another length would throw out of step.
    void logReadsStayInStepTheProgramsWay()
    {
        SimConfig cfg = instant();
        Simulator sim(cfg);
        State s;
        FakeHost host;
        Link link(s, sim, host);
        link.Open_USB();
        link.Send_byte_to_USB(248);
        for (int i = 0; i <= cfg.logRecords; ++i) {
            link.Send_byte_to_USB(250);
            QCOMPARE(link.setTimeouts(), FT_OK);
            while (s.QueueCount < 36)
                QCOMPARE(link.getQueueStatus(), FT_OK);
            QCOMPARE(link.readLogLine(s.QueueCount), FT_OK);
            const QByteArray want = Simulator::logRecord(i, cfg);
            QCOMPARE(QByteArray(reinterpret_cast<const char*>(s.LogLine.data()), int(want.size())), want);
        }
        QCOMPARE(link.close(), FT_OK);
    }

    void ignoredFrames_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("no trailer") << QByteArray("\xF2\x00", 2);
        QTest::newRow("unknown code") << QByteArray("\x10\xF0", 2);
        QTest::newRow("odd code") << QByteArray("\xF3\xF0", 2);
        QTest::newRow("three bytes") << QByteArray("\xF2\xF0\xF2", 3);
        QTest::newRow("one byte") << QByteArray("\xF2", 1);
    }
    void ignoredFrames()
    {
        QFETCH(QByteArray, bytes);
        Session s(instant());
        QCOMPARE(s.open(), FT_OK);
        DWORD n = 0;
        QCOMPARE(s.sim.Write(s.h, bytes.data(), DWORD(bytes.size()), &n), FT_OK);
        QCOMPARE(n, DWORD(bytes.size()));
        QCOMPARE(s.read(8192), QByteArray());   // returns at once: nothing on its way
        QCOMPARE(s.sim.framesStarted(), 0);
    }

    void faults_data()
    {
        QTest::addColumn<QString>("faults");
        QTest::addColumn<std::vector<int>>("blockSizes");
        QTest::newRow("none") << "" << std::vector<int>{8192, 8192, 8192};
        QTest::newRow("short-block") << "short-block" << std::vector<int>{8092, 8092, 8092};
        QTest::newRow("short-block=5") << "short-block=5" << std::vector<int>{8187, 8187, 8187};
        QTest::newRow("stall-after=10000") << "stall-after=10000" << std::vector<int>{8192, 1808, 0};
        QTest::newRow("stall-after=0") << "stall-after=0" << std::vector<int>{0, 0, 0};
    }
    void faults()
    {
        QFETCH(QString, faults);
        QFETCH(std::vector<int>, blockSizes);
        Session s(withFaults(faults));
        QCOMPARE(s.open(), FT_OK);
        QCOMPARE(s.send(242), FT_OK);
        QCOMPARE(s.read(1).size(), 1);   // the mode byte comes all the same
        for (int size : blockSizes) {
            QCOMPARE(s.send(246), FT_OK);
            QCOMPARE(s.read(9000).size(), size);
        }
        QCOMPARE(s.send(250), FT_OK);
        QVERIFY(s.read(50).size() >= 36);
    }

    void failingCalls_data()
    {
        QTest::addColumn<QString>("faults");
        QTest::addColumn<QString>("call");
        QTest::addColumn<int>("okBefore");
        for (const char* call : {"write", "timeouts", "queue", "read", "close"}) {
            QTest::addRow("fail-%s", call) << QString("fail-%1").arg(call) << QString(call) << 0;
            QTest::addRow("fail-%s=2", call) << QString("fail-%1=2").arg(call) << QString(call) << 2;
        }
    }
    void failingCalls()
    {
        QFETCH(QString, faults);
        QFETCH(QString, call);
        QFETCH(int, okBefore);
        Session s(withFaults(faults));
        auto once = [&]() -> FT_STATUS {
            if (call == "write")
                return s.send(244);
            if (call == "timeouts")
                return s.sim.SetTimeouts(s.h, 100, 0);
            if (call == "queue") {
                DWORD q = 0;
                return s.sim.GetQueueStatus(s.h, &q);
            }
            if (call == "read") {
                FT_STATUS st = FT_OK;
                s.read(1, &st);
                return st;
            }
            const FT_STATUS st = s.sim.Close(s.h);
            if (s.open() != FT_OK)   // a failed close still lets go of the device
                return 99;
            return st;
        };
        QCOMPARE(s.open(), FT_OK);
        for (int i = 0; i < okBefore; ++i)
            QCOMPARE(once(), FT_OK);
        QCOMPARE(once(), FT_IO_ERROR);
        QCOMPARE(once(), FT_IO_ERROR);
    }

    void faultNames_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("unknown");
        QTest::newRow("all") << "nodevice,noopen, stall-after=7;short-block=3 fail-read=2" << QStringList{};
        QTest::newRow("typos") << "nodevic,stall-after,short-block=x,fail-read=-1" << QStringList{"nodevic", "stall-after", "short-block=x", "fail-read=-1"};
    }
    void faultNames()
    {
        QFETCH(QString, text);
        QFETCH(QStringList, unknown);
        const SimFaults f = SimFaults::parse(text);
        QCOMPARE(f.unknown, unknown);
        if (unknown.isEmpty()) {
            QVERIFY(f.noDevice && f.noOpen);
            QCOMPARE(f.stallAfter, 7LL);
            QCOMPARE(f.shortBy, 3);
            QCOMPARE(f.failReadAfter, 2);
            QCOMPARE(f.failWriteAfter, -1);
        }
    }

    void noOpenFault()
    {
        Session s(withFaults("noopen"));
        QCOMPARE(s.open(), FT_DEVICE_NOT_OPENED);
        QVERIFY(!s.sim.isOpen());
    }

    void environment()
    {
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("CORVASIM_MODES entry \"300\""));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("CORVASIM_MODES entry \"x\""));
        qputenv("CORVASIM_RATE", "250000");
        qputenv("CORVASIM_MODES", "1, 0x11,300,x");
        qputenv("CORVASIM_LOG_RECORDS", "-5");
        qputenv("CORVASIM_FAULTS", "short-block");
        qputenv("CORVASIM_TRACE", "/tmp/t");
        const SimConfig c = SimConfig::fromEnvironment();
        for (const char* v : {"CORVASIM_RATE", "CORVASIM_MODES", "CORVASIM_LOG_RECORDS", "CORVASIM_FAULTS", "CORVASIM_TRACE"})
            qunsetenv(v);
        QCOMPARE(c.bytesPerSecond, 250000.0);
        QCOMPARE(c.modes, (std::vector<int>{1, 17}));
        QCOMPARE(c.logRecords, -1);
        QCOMPARE(c.faults, QString("short-block"));
        QCOMPARE(c.traceFile, QString("/tmp/t"));
        const SimConfig d = SimConfig::fromEnvironment();
        QCOMPARE(d.bytesPerSecond, 1.0e6);
        QVERIFY(d.modes.empty());
        QCOMPARE(d.logRecords, 24);
    }

    void traceLines()
    {
        QTemporaryDir dir;
        SimConfig cfg = instant();
        cfg.modes = {1};
        cfg.traceFile = dir.filePath("trace.txt");
        {
            Session s(cfg);
            QCOMPARE(s.open(), FT_OK);
            QCOMPARE(s.send(242), FT_OK);
            QCOMPARE(s.sim.SetTimeouts(s.h, 100, 0), FT_OK);
            QCOMPARE(s.queue(), DWORD(1));
            QCOMPARE(s.read(1).size(), 1);
            QCOMPARE(s.sim.Close(s.h), FT_OK);
            QCOMPARE(s.sim.Close(s.h), FT_INVALID_HANDLE);
        }
        QFile f(cfg.traceFile);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromLatin1(f.readAll()).split('\n'),
                 (QStringList{"ListDevices 0 0x40000001", "OpenEx CVM00001 1", "Write F2 F0", "SetTimeouts 100 0",
                              "GetQueueStatus -> 1", "Read 1 -> 1", "Close", "Close [status 1]", ""}));
    }

    // The real program's loader path: the drop-in library through the link.
    void dropInLibraryThroughTheLink()
    {
        QTemporaryDir dir;
        const QString tracePath = dir.filePath("trace.txt");
        qputenv("CORVASIM_MODES", "17");
        qputenv("CORVASIM_TRACE", tracePath.toLocal8Bit());
        DynamicD2xx loaded({QStringLiteral(SIM_LIB_PATH)});
        State s;
        FakeHost host;
        Link link(s, loaded, host);
        link.Open_USB();   // the library's simulator reads the environment now
        qunsetenv("CORVASIM_MODES");
        qunsetenv("CORVASIM_TRACE");
        QVERIFY2(host.text1History.isEmpty(), qPrintable(host.text));
        QVERIFY(s.handleOpen);
        link.Send_byte_to_USB(242);
        QCOMPARE(link.setTimeouts(), FT_OK);
        QCOMPARE(link.readRx(1), FT_OK);
        QCOMPARE(s.BytesRead, 1);
        QCOMPARE(s.rx(1), uint8_t(17));
        link.Send_byte_to_USB(246);
        QElapsedTimer guard;
        guard.start();
        do
            QCOMPARE(link.getQueueStatus(), FT_OK);
        while (s.QueueCount < 8192 && guard.elapsed() < 5000);
        QCOMPARE(link.readRx(8192), FT_OK);
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(s.RxBuffer.data()), s.BytesRead), Simulator::screenBlock(0, 0, 17));
        link.Open_USB();   // a second open while open fails, as on hardware
        QCOMPARE(host.text, QString("OpenEx Failed"));
        QCOMPARE(link.close(), FT_OK);

        QFile f(tracePath);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QStringList lines = QString::fromLatin1(f.readAll()).split('\n', Qt::SkipEmptyParts);
        lines.removeIf([](const QString& l) { return l.startsWith("GetQueueStatus -> "); });
        QCOMPARE(lines, (QStringList{"ListDevices 0 0x40000001", "OpenEx CVM00001 1", "Write F2 F0", "SetTimeouts 100 0",
                                     "Read 1 -> 1", "Write F6 F0", "Read 8192 -> 8192", "ListDevices 0 0x40000001",
                                     "OpenEx CVM00001 1 [status 3]", "Close"}));
    }
};

QTEST_GUILESS_MAIN(TestSim)
#include "tst_sim.moc"
