#include "errorlog.h"
#include "fake_d2xx.h"
#include "fake_host.h"
#include "simulator.h"
#include <QtTest>

namespace {
const QString kEnd = QStringLiteral("-------- End of Log --------");

// A 36-byte record: number, space, text, padding, CR LF.
QByteArray record(int n, const QByteArray& text)
{
    return (QByteArray::number(n).rightJustified(4, '0') + ' ' + text).leftJustified(34, ' ') + "\r\n";
}
// What the status box shows for the records 0 .. n-1 of `make`.
QString shown(int n, const std::function<QByteArray(int)>& make)
{
    QString s;
    for (int i = 0; i < n; ++i)
        s += (i < 4 ? QString() : QString::number(i - 3) + ": ") + QString::fromLatin1(make(i).mid(4));
    return s;
}
// Texts must not start with a capital E: that is the end marker.
QByteArray entry(int i) { return record(i + 1, "Item " + QByteArray::number(i)); }
}

class TestErrorLog : public QObject {
    Q_OBJECT

    struct Rig {
        explicit Rig(D2xx* other = nullptr) : link(state, other ? *other : d2xx, host) {}
        State state;
        FakeD2xx d2xx;
        FakeHost host;
        Link link;
        ErrorLog log{state, link, host};
        // Records by index; the one at `endAt` carries the end marker.
        void serve(int endAt)
        {
            d2xx.queue = {36};
            d2xx.reader = [this, endAt](DWORD) {
                const int i = served++;
                return i == endAt ? record(i + 1, "End of log") : entry(i);
            };
        }
        int served = 0;
    };

private slots:
    void wholeLogWithoutEndMarker()
    {
        Rig r;
        r.serve(-1);
        r.log.cmdGetLog_Click();
        QList<int> codes{248};
        for (int i = 0; i <= 980; ++i)
            codes << 250;
        QCOMPARE(r.d2xx.writtenCodes(), codes);
        // Records 0..979 shown (four plain, then 1 to 976), record 980 not.
        const QString lines = shown(980, entry);
        QCOMPARE(r.state.StatusText, lines);
        QCOMPARE(r.host.text, lines + kEnd);
        QVERIFY(r.host.text.contains("\r\n976:  Item 979"));
        QVERIFY(!r.host.text.contains("Item 980"));
        // The first poll's count carries over: later records are read at once.
        QCOMPARE(r.d2xx.count("GetQueueStatus"), 1);
        QCOMPARE(r.d2xx.names().last(), QString("Close"));
        QCOMPARE(r.host.pointer, (QList<bool>{true, false}));
        QVERIFY(!r.log.LogFailed);
    }

    void endMarker_data()
    {
        QTest::addColumn<int>("endAt");
        QTest::newRow("at index 0") << 0;
        QTest::newRow("at index 6") << 6;
    }
    void endMarker()
    {
        QFETCH(int, endAt);
        Rig r;
        r.state.StatusText = "earlier\r\n";
        r.host.text = "earlier\r\n";
        r.serve(endAt);
        r.log.cmdGetLog_Click();
        QCOMPARE(r.d2xx.count("Write"), 1 + endAt + 1);
        QCOMPARE(r.state.StatusText, shown(endAt, entry));
        QCOMPARE(r.host.text, shown(endAt, entry) + kEnd);
        QCOMPARE(r.host.text1History.first(), QString());
    }

    void usbFailures_data()
    {
        QTest::addColumn<QString>("fn");
        QTest::addColumn<QList<FT_STATUS>>("statuses");
        QTest::addColumn<bool>("closeFails");
        QTest::addColumn<QString>("message");
        QTest::addColumn<int>("reads");
        const QList<FT_STATUS> fifth{0, 0, 0, 0, FT_IO_ERROR};
        for (bool cf : {false, true}) {
            const char* sfx = cf ? ", close fails" : "";
            QTest::addRow("timeouts, fifth record%s", sfx) << "SetTimeouts" << fifth << cf << "USB SetTimeout Failed" << 4;
            QTest::addRow("read, fifth record%s", sfx) << "Read" << fifth << cf << "Log Read Failed" << 5;
            QTest::addRow("queue, first record%s", sfx) << "GetQueueStatus" << QList<FT_STATUS>{FT_IO_ERROR} << cf
                                                        << "USB Queue Read Failed" << 0;
        }
    }
    void usbFailures()
    {
        QFETCH(QString, fn);
        QFETCH(QList<FT_STATUS>, statuses);
        QFETCH(bool, closeFails);
        QFETCH(QString, message);
        QFETCH(int, reads);
        Rig r;
        r.serve(-1);
        r.d2xx.statuses[fn] = statuses;
        if (closeFails)
            r.d2xx.statuses["Close"] = {FT_IO_ERROR};
        r.log.cmdGetLog_Click();
        QVERIFY(r.log.LogFailed);
        // The records read before the failure are no longer shown.
        QCOMPARE(r.host.text, closeFails ? message + "\r\nUSB Close Failed" : message);
        QCOMPARE(r.state.StatusText, message);
        QCOMPARE(r.d2xx.count("Read"), reads);
        QCOMPARE(r.d2xx.count("Close"), 1);
        QCOMPARE(r.host.pointer, (QList<bool>{true, false}));
    }

    void closeFailsAfterCompleteLog()
    {
        Rig r;
        r.serve(5);
        r.d2xx.statuses["Close"] = {FT_IO_ERROR};
        r.log.cmdGetLog_Click();
        QCOMPARE(r.host.text, shown(5, entry) + "\r\nUSB Close Failed");
    }

    void runTimeFailures_data()
    {
        QTest::addColumn<int>("throwAtRead");   // -1: the library is missing
        QTest::addColumn<bool>("d2xxError");
        QTest::addColumn<QString>("code");
        QTest::addColumn<QString>("text1");
        QTest::newRow("library missing") << -1 << true << "1001" << "USB Close Failed";
        QTest::newRow("driver error mid-log") << 3 << true << "1002" << shown(2, entry);
        QTest::newRow("other failure mid-log") << 3 << false << "1099" << shown(2, entry);
    }
    void runTimeFailures()
    {
        QFETCH(int, throwAtRead);
        QFETCH(bool, d2xxError);
        QFETCH(QString, code);
        QFETCH(QString, text1);
        Rig r;
        r.serve(-1);
        r.d2xx.missing = throwAtRead < 0;
        int reads = 0;
        r.d2xx.onCall = [&](const FakeD2xx::Call& c) {
            if (c.fn == "Read" && ++reads == throwAtRead) {
                if (d2xxError)
                    throw D2xxError(kErrEntryPointMissing, "gone");
                throw std::runtime_error("something else");
            }
        };
        r.log.cmdGetLog_Click();
        QCOMPARE(r.host.messages.size(), 1);
        QCOMPARE(r.host.messages[0].text, code);
        QCOMPARE(r.host.messages[0].title, QString("USB Error"));
        QCOMPARE(r.host.messages[0].icon, Host::Icon::None);
        QCOMPARE(r.host.text, text1);
        QVERIFY(!r.state.handleOpen);
        QCOMPARE(r.d2xx.count("Close"), throwAtRead < 0 ? 0 : 1);
        QCOMPARE(r.host.pointer.last(), false);
    }

    void leftOverCountReadsAtOnceAndAtMost50()
    {
        Rig r;
        r.serve(3);
        r.state.QueueCount = 8185;   // left by a screen download
        r.state.LogLine.fill('#');
        r.log.cmdGetLog_Click();
        QCOMPARE(r.d2xx.count("GetQueueStatus"), 0);
        for (const FakeD2xx::Call& c : r.d2xx.calls)
            if (c.fn == "Read")
                QCOMPARE(c.a, 50ull);
        // Only the bytes that came are replaced; older ones stay behind them.
        QCOMPARE(r.state.logAt(37), uint8_t('#'));
        QCOMPARE(r.host.text, shown(3, entry) + kEnd);
    }

    void silentInstrumentEndsTheWait()
    {
        Rig r;
        r.log.queueStallMs = 30;
        r.d2xx.queue = {10};
        r.log.cmdGetLog_Click();
        QVERIFY(r.log.LogFailed);
        QVERIFY(r.host.text.startsWith("No answer from the Corvameter"));
        QCOMPARE(r.d2xx.count("Read"), 0);
        QCOMPARE(r.d2xx.names().last(), QString("Close"));
        QCOMPARE(r.host.pointer, (QList<bool>{true, false}));
    }

    void slowQueueIsWaitedFor()
    {
        Rig r;
        r.serve(1);
        r.log.queueStallMs = 200;
        // Filling for longer than the allowance, but never standing still that long.
        r.d2xx.queue.clear();
        for (DWORD q = 0; q <= 36; q += 2)
            r.d2xx.queue << q;
        r.d2xx.onCall = [](const FakeD2xx::Call& c) {
            if (c.fn == "GetQueueStatus")
                QThread::msleep(20);
        };
        r.log.cmdGetLog_Click();
        QCOMPARE(r.d2xx.count("GetQueueStatus"), 19);
        QCOMPARE(r.host.text, shown(1, entry) + kEnd);
    }

    void againstTheSimulator_data()
    {
        QTest::addColumn<int>("leftOver");
        QTest::addColumn<bool>("erased");
        QTest::newRow("fresh") << 0 << false;
        QTest::newRow("after a screen download") << 8185 << false;
        QTest::newRow("after Erase Log") << 0 << true;
    }
    void againstTheSimulator()
    {
        QFETCH(int, leftOver);
        QFETCH(bool, erased);
        SimConfig cfg;
        cfg.logRecords = 24;
        Simulator sim(cfg);
        Rig r(&sim);
        r.state.QueueCount = leftOver;
        if (erased) {
            r.log.cmdEraseLog_Click();
            QCOMPARE(r.host.text, QString("Connecting to Corvameter\r\nErase command sent\r\n"));
        }
        r.log.cmdGetLog_Click();
        const int records = erased ? 0 : 24;
        QCOMPARE(r.host.text, shown(records, [&](int i) { return Simulator::logRecord(i, cfg); }) + kEnd);
        QVERIFY(r.host.messages.isEmpty());
        QVERIFY(!sim.isOpen());
    }

    void erase_data()
    {
        QTest::addColumn<bool>("closeFails");
        QTest::newRow("connected") << false;
        QTest::newRow("close fails") << true;
    }
    void erase()
    {
        QFETCH(bool, closeFails);
        Rig r;
        r.state.StatusText = "earlier\r\n";
        if (closeFails)
            r.d2xx.statuses["Close"] = {FT_IO_ERROR};
        r.log.cmdEraseLog_Click();
        const QString two = "Connecting to Corvameter\r\nErase command sent\r\n";
        QCOMPARE(r.state.StatusText, two);
        QCOMPARE(r.host.text, closeFails ? QString("Close Failed") : two);
        QCOMPARE(r.d2xx.names(), (QStringList{"ListDevices", "OpenEx", "Write", "Close"}));
        QCOMPARE(r.d2xx.writtenCodes(), QList<int>{252});
        QVERIFY(r.host.pointer.isEmpty());
        QVERIFY(r.host.messages.isEmpty());
    }

    void eraseLeavesRunTimeFailuresToTheWindow()
    {
        Rig r;
        r.d2xx.missing = true;
        QVERIFY_THROWS_EXCEPTION(D2xxError, r.log.cmdEraseLog_Click());
        QVERIFY(r.host.messages.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestErrorLog)
#include "tst_errorlog.moc"
