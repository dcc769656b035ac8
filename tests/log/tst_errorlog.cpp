#include "errorlog.h"
#include "link_rig.h"
#include "log_expect.h"
#include "logrecord.h"
#include <QtTest>

namespace {
// A 36-byte record: number, space, text, padding, CR LF.
QByteArray record(int n, const QByteArray& text)
{
    return (QByteArray::number(n).rightJustified(4, '0') + ' ' + text).leftJustified(34, ' ') + "\r\n";
}
// Texts must not start with a capital E: that is the end marker.
QByteArray entry(int i) { return record(i + 1, "Item " + QByteArray::number(i)); }
QString shown(int n) { return logShown(n, entry); }
}   // namespace

class TestErrorLog : public QObject {
    Q_OBJECT

    // The pacing waits are for the instrument: here each ends at the next pass of the event loop.
    struct Rig : LinkRig {
        ErrorLog log{link, status, host};
        QTimer ticker;
        int served = 0;
        // Records by index, 36 bytes queued for each; the one at `endAt` carries the end marker.
        explicit Rig(int endAt)
        {
            ticker.callOnTimeout([this] { link.Timer1_Timer(); });
            ticker.start(0);
            status.StatusText = "earlier\r\n";
            d2xx.queue = {36};
            d2xx.reader = [this, endAt](DWORD) {
                const int i = served++;
                return i == endAt ? record(i + 1, "End of log") : entry(i);
            };
        }
    };

private slots:
    // The buffer as a read leaves it; the text runs from S through L, cut short at 50.
    void parse_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<int>("start");
        QTest::addColumn<int>("end");
        QTest::addColumn<bool>("endMarker");
        const QByteArray pad(25, ' '), late = QByteArray(11, '7') + " late" + pad;
        // "SAMPLE ENTRY" holds capital Es after S+1: only S+1 marks the end.
        QTest::newRow("worked example") << "0042 SAMPLE ENTRY" + pad.left(17) + "\r\n" << 5 << 36 << false;
        QTest::newRow("no space") << QByteArray("ABCDEFGHIJ").repeated(5) << 41 << 72 << false;
        // Space at 12: the end scan looks at 42 alone.
        QTest::newRow("late space, LF at S+30") << late + "\ntail1234" << 12 << 42 << false;
        // A short record with its line feed early runs on over what the older one left.
        QTest::newRow("LF before S+30") << "0002 Short\n" + QByteArray("RECORD TEXT") + pad.left(12) + "\r\n" + QByteArray(14, 'q') << 5 << 36 << false;
        // The scan stops at 41 whatever is there.
        QTest::newRow("LF beyond 41") << "0003 X" + pad + pad.left(10) + "\n" + QByteArray(8, 'r') << 5 << 41 << false;
        QTest::newRow("capital E") << "0009 Error" + pad.left(24) + "\r\n" << 5 << 36 << true;
        QTest::newRow("lower-case e") << "0009 error" + pad.left(24) + "\r\n" << 5 << 36 << false;
        QTest::newRow("byte above ASCII") << "0001 \xB0" "C" + QByteArray(27, ' ') + "\r\n" << 5 << 36 << false;
    }
    void parse()
    {
        QFETCH(QByteArray, line);
        QFETCH(int, start);
        QFETCH(int, end);
        QFETCH(bool, endMarker);
        std::array<uint8_t, 50> buffer{};
        memcpy(buffer.data(), line.constData(), size_t(qMin<qsizetype>(line.size(), 50)));
        const LogRecord r = parseLogRecord(buffer);
        QCOMPARE((QList<int>{r.start, r.end, r.endMarker}), (QList<int>{start, end, endMarker}));
        QCOMPARE(r.text, line.mid(start - 1, qMin(end, 50) - start + 1));
        // One character a byte.
        QCOMPARE(logDisplayLine(0, r.text), QString::fromLatin1(r.text));
    }

    void download_data()
    {
        QTest::addColumn<int>("endAt");           // -1: no end marker
        QTest::addColumn<QStringList>("fails");   // "function n": its n-th call fails
        QTest::addColumn<QString>("text1");
        QTest::addColumn<int>("writes");
        // Records 0..979 shown (four plain, then 1 to 976), record 980 not.
        QTest::newRow("981 requests, no end marker") << -1 << QStringList() << shown(980) + kEndOfLog << 982;
        QTest::newRow("end marker at index 6") << 6 << QStringList() << shown(6) + kEndOfLog << 8;
        QTest::newRow("close fails") << 5 << QStringList{"Close 1"} << shown(5) + "\r\nUSB Close Failed" << 7;
        // The records read before a failure are no longer shown.
        QTest::newRow("timeouts fail, fifth record") << -1 << QStringList{"SetTimeouts 5"} << "USB SetTimeout Failed" << 6;
        QTest::newRow("read fails, fifth record, close fails") << -1 << QStringList{"Read 5", "Close 1"}
                                                               << "Log Read Failed\r\nUSB Close Failed" << 6;
        QTest::newRow("queue fails, first record") << -1 << QStringList{"GetQueueStatus 1"} << "USB Queue Read Failed" << 2;
    }
    void download()
    {
        QFETCH(int, endAt);
        QFETCH(QStringList, fails);
        QFETCH(int, writes);
        Rig r(endAt);
        for (const QString& f : fails)
            r.d2xx.statuses[f.section(' ', 0, 0)] = QList<FT_STATUS>(f.section(' ', 1).toInt() - 1, FT_OK) << FT_IO_ERROR;
        r.log.cmdGetLog_Click();
        QTEST(r.host.text, "text1");
        QCOMPARE(r.log.LogFailed, !fails.isEmpty() && !fails[0].startsWith("Close"));
        QCOMPARE(r.d2xx.writtenCodes(), QList<int>{248} + QList<int>(writes - 1, 250));
        // The first poll's count carries over: later records are read at once.
        QCOMPARE(r.d2xx.count("GetQueueStatus"), 1);
        QCOMPARE(r.host.pointer, (QList<bool>{true, false}));
    }

    // The bounded wait for a record, on the fake clock: a silent instrument ends
    // the download, a record that stops short is read as far as it came.
    void stall_data()
    {
        QTest::addColumn<QList<DWORD>>("queue");   // one count per poll, the last repeated
        QTest::addColumn<QString>("text1");
        QTest::newRow("silent instrument") << QList<DWORD>{0} << "No answer from the Corvameter: log download stopped";
        // 20 bytes of record 0 over a fresh buffer; the next record, as short, is the end marker.
        QTest::newRow("short records") << QList<DWORD>{0, 20}
                                       << QString::fromLatin1(entry(0).mid(4, 16) + QByteArray(21, '\0')) + kEndOfLog;
    }
    void stall()
    {
        QFETCH(QList<DWORD>, queue);
        Rig r(1);
        r.d2xx.queue = queue;
        r.log.cmdGetLog_Click();
        QTEST(r.host.text, "text1");
        // The text shows each read took what had come; nothing more was asked after silence.
        QCOMPARE(r.d2xx.writtenCodes().size(), queue.last() ? 3 : 2);
    }

    void erase()
    {
        Rig r(-1);
        r.log.cmdEraseLog_Click();
        QCOMPARE(r.host.text, QString("Connecting to Corvameter\r\nErase command sent\r\n"));
        QCOMPARE(r.d2xx.names(), (QStringList{"ListDevices", "OpenEx", "Write", "Close"}));
        QCOMPARE(r.d2xx.writtenCodes(), QList<int>{252});
    }
};

QTEST_GUILESS_MAIN(TestErrorLog)
#include "tst_errorlog.moc"
