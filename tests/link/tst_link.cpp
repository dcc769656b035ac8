#include "link_rig.h"
#include <QtTest>

using Rig = LinkRig;

class TestLink : public QObject {
    Q_OBJECT
private slots:
    // Open_USB, then Send_byte_to_USB(246); "-" sends without an open.
    void openAndSend_data()
    {
        QTest::addColumn<QString>("failing");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QStringList>("calls");
        const QStringList opened{"ListDevices 0 40000001", "OpenEx 0 1 CM123456"};
        QTest::newRow("ok") << "" << "" << opened + QStringList{"Write@1234 2 0 %F6%F0"};
        QTest::newRow("list") << "ListDevices" << "Send_byte_to_USB: USB Close Failed" << opened.mid(0, 1);
        QTest::newRow("open") << "OpenEx" << "Send_byte_to_USB: USB Close Failed" << opened;
        QTest::newRow("write") << "Write" << "Write Failed" << opened + QStringList{"Write@1234 2 0 %F6%F0", "Close@1234 0 0"};
        QTest::newRow("write, close") << "Write Close" << "Send_byte_to_USB: USB Close Failed"
                                      << opened + QStringList{"Write@1234 2 0 %F6%F0", "Close@1234 0 0"};
        QTest::newRow("never opened") << "-" << "Send_byte_to_USB: USB Close Failed" << QStringList{};
    }
    void openAndSend()
    {
        QFETCH(QString, failing);
        QFETCH(QString, message);
        Rig r;
        r.state.StatusText = "earlier\r\n";
        for (const QString& fn : failing.split(' ', Qt::SkipEmptyParts))
            r.d2xx.statuses[fn] = {FT_IO_ERROR};
        if (failing != "-")
            r.link.Open_USB();
        if (failing == "ListDevices" || failing == "OpenEx")
            QCOMPARE(r.host.text, failing == "OpenEx" ? QString("OpenEx Failed") : QString("List Device Failed"));
        r.link.Send_byte_to_USB(246);
        QTEST(r.d2xx.described(), "calls");
        QCOMPARE(r.host.text, message);
        QCOMPARE(r.state.BytesWritten, message.isEmpty() ? 2 : 0);
        // Only a failed close after a failed write waits, a full second.
        QCOMPARE(r.state.TimerFired, message.contains("Close"));
        QCOMPARE(r.link.Timer1.interval(), message.contains("Close") ? 1000 : 0);
        // A handle that is not open never reaches the driver.
        const qsizetype before = r.d2xx.calls.size();
        if (!r.state.handleOpen)
            QVERIFY(r.link.setTimeouts() && r.link.getQueueStatus() && r.link.readRx(9) && r.link.readLogLine(9) &&
                    r.link.close() && r.d2xx.calls.size() == before);
        // Messages replace Text1 but leave the log, which the next append shows whole.
        r.link.appendStatus("next");
        QCOMPARE(r.host.text, QString("earlier\r\nnext\r\n"));
    }

    void reads_data()
    {
        QTest::addColumn<bool>("log");
        QTest::addColumn<qint64>("asked");
        QTest::addColumn<int>("arrive");
        QTest::addColumn<int>("passed");
        QTest::newRow("rx one byte") << false << qint64(1) << 1 << 1;
        QTest::newRow("rx time-out, nothing") << false << qint64(8192) << 0 << 8192;
        QTest::newRow("rx short block") << false << qint64(8192) << 100 << 8192;
        QTest::newRow("rx huge count") << false << (qint64(1) << 40) << 10100 << 10000;
        QTest::newRow("rx negative") << false << qint64(-7) << 5 << 0;
        QTest::newRow("log record") << true << qint64(38) << 38 << 38;
        QTest::newRow("log over 50") << true << qint64(5000) << 60 << 50;
        QTest::newRow("log negative") << true << qint64(-1) << 5 << 0;
    }
    void reads()
    {
        QFETCH(bool, log);
        QFETCH(qint64, asked);
        QFETCH(int, arrive);
        QFETCH(int, passed);
        Rig r;
        r.state.RxBuffer.fill(0xAA);
        r.state.LogLine.fill(0xAA);
        r.link.Open_USB();
        r.d2xx.reader = [&](DWORD) { return QByteArray(arrive, char(0x11)); };
        QCOMPARE(log ? r.link.readLogLine(asked) : r.link.readRx(asked), FT_OK);
        QCOMPARE(r.d2xx.calls.last().a, quint64(passed));
        QCOMPARE(r.state.BytesRead, std::min(passed, arrive));
        // Only the bytes that came are replaced, and only in the buffer read into.
        const QByteArray rx(reinterpret_cast<const char*>(r.state.RxBuffer.data()), State::kRxSize);
        const QByteArray line(reinterpret_cast<const char*>(r.state.LogLine.data()), State::kLogLineSize);
        const int got = std::min(passed, arrive);
        QCOMPARE(log ? line : rx, QByteArray(got, 0x11) + QByteArray((log ? line : rx).size() - got, char(0xAA)));
        QCOMPARE(log ? rx : line, QByteArray((log ? rx : line).size(), char(0xAA)));
    }

    // Waiting asleep before a read: polls until the bytes are queued, for at
    // most 100 ms, then reads no more than is there; the program's count stays.
    void readsWaitAsleep_data()
    {
        QTest::addColumn<QList<DWORD>>("queue");
        QTest::addColumn<FT_STATUS>("pollStatus");
        QTest::addColumn<int>("polls");
        QTest::addColumn<int>("passed");
        QTest::newRow("already queued") << QList<DWORD>{8192} << FT_OK << 1 << 8192;
        QTest::newRow("queue grows") << QList<DWORD>{0, 4000, 8192} << FT_OK << 3 << 8192;
        QTest::newRow("time-out reads what is there") << QList<DWORD>{0, 5} << FT_OK << 14 << 5;
        QTest::newRow("failing poll leaves it to the read") << QList<DWORD>{0} << FT_IO_ERROR << 1 << 8192;
    }
    void readsWaitAsleep()
    {
        QFETCH(QList<DWORD>, queue);
        QFETCH(FT_STATUS, pollStatus);
        QFETCH(int, polls);
        QFETCH(int, passed);
        Rig r;
        r.link.waitAsleepBeforeRead = true;
        r.link.Open_USB();
        r.state.QueueCount = 1234;
        r.d2xx.queue = queue;
        r.d2xx.statuses["GetQueueStatus"] = {pollStatus};
        r.d2xx.reader = [](DWORD n) { return QByteArray(int(n), char(0x11)); };
        QCOMPARE(r.link.readRx(8192), FT_OK);
        QCOMPARE(int(r.d2xx.calls.last().a), passed);
        QCOMPARE(r.d2xx.count("GetQueueStatus"), polls);
        QVERIFY(r.clock.us <= 100 * 1000 + 8000);
        QCOMPARE(r.state.QueueCount, 1234);
    }

    // Wait_ms sleeps in the event loop on Timer1; a wait nested in it ends
    // both (were it not so, the outer one would never end: its timer is stopped).
    void wait_data()
    {
        QTest::addColumn<int>("ms");
        QTest::addColumn<int>("nested");   // a 100 ms wait started this far in, or -1
        QTest::newRow("0 ms runs queued events") << 0 << -1;
        QTest::newRow("300 ms") << 300 << -1;
        QTest::newRow("nested") << 600000 << 20;
    }
    void wait()
    {
        QFETCH(int, ms);
        QFETCH(int, nested);
        Rig r;
        bool ran = false;
        QMetaObject::invokeMethod(this, [&] { ran = true; }, Qt::QueuedConnection);
        if (nested >= 0)
            QTimer::singleShot(nested, this, [&] { r.link.Wait_ms(100); });
        r.link.Wait_ms(ms);
        QVERIFY(ran && r.state.TimerFired && !r.link.Timer1.isActive());
        QCOMPARE(r.link.Timer1.interval(), nested >= 0 ? 100 : ms);
    }
};

QTEST_GUILESS_MAIN(TestLink)
#include "tst_link.moc"
