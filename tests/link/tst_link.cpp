#include "link_rig.h"
#include <QtTest>

// The exact calls of a download, its messages and the left-over buffer bytes
// are checked through the handlers (tst_screen, tst_errorlog, tst_faults);
// here what the link alone decides.
class TestLink : public QObject {
    Q_OBJECT
private slots:
    // Open_USB, then Send_byte_to_USB(246), with these calls failing.
    void openAndSend_data()
    {
        QTest::addColumn<QString>("failing");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QStringList>("calls");
        QTest::addColumn<bool>("waits");
        const QStringList opened{"ListDevices 0 40000001", "OpenEx 0 1 CM123456"};
        const QStringList written{"Write@1234 2 0 %F6%F0", "Close@1234 0 0"};
        const QString closeFailed = "Send_byte_to_USB: USB Close Failed";
        // After a failed close the driver's list tells whether the device is still there.
        const QString listed = "ListDevices 0 40000001";
        QTest::newRow("open") << "OpenEx" << closeFailed << opened + QStringList{listed} << true;
        QTest::newRow("write") << "Write" << "Write Failed" << opened + written << false;
        QTest::newRow("write, close") << "Write Close" << closeFailed << opened + written + QStringList{listed} << true;
        // Unplugged: waiting brings it back no sooner.
        QTest::newRow("unplugged") << "Write Close ListDevices" << closeFailed << opened + written + QStringList{listed}
                                   << false;
    }
    void openAndSend()
    {
        QFETCH(QString, failing);
        QFETCH(QString, message);
        QFETCH(bool, waits);
        LinkRig r;
        for (const QString& fn : failing.split(' '))
            r.d2xx.statuses[fn] = fn == "ListDevices" ? QList<FT_STATUS>{FT_OK, FT_DEVICE_NOT_FOUND}
                                                      : QList<FT_STATUS>{FT_IO_ERROR};
        r.link.Open_USB();
        r.link.Send_byte_to_USB(246);
        QTEST(r.d2xx.described(), "calls");
        QCOMPARE(r.host.text, message);
        // A failed close after a failed write waits a full second, for a device still there.
        QCOMPARE(r.link.TimerFired, waits);
        QCOMPARE(r.link.Timer1.interval(), waits ? 1000 : 0);
        // A handle that is not open never reaches the driver.
        const qsizetype before = r.d2xx.calls.size();
        QVERIFY(r.link.setTimeouts() && r.link.getQueueStatus() && r.link.readRx(9) && r.link.readLogLine(9) &&
                r.link.close() && r.d2xx.calls.size() == before);
    }

    // A read never asks for more than its buffer holds, and fills only that buffer.
    void reads_data()
    {
        QTest::addColumn<bool>("log");
        QTest::addColumn<qint64>("asked");
        QTest::addColumn<int>("arrive");
        QTest::addColumn<int>("passed");
        QTest::newRow("rx huge count") << false << (qint64(1) << 40) << 10100 << 10000;
        QTest::newRow("rx negative") << false << qint64(-7) << 5 << 0;
        QTest::newRow("log over 50, 30 come") << true << qint64(5000) << 30 << 50;
    }
    void reads()
    {
        QFETCH(bool, log);
        QFETCH(qint64, asked);
        QFETCH(int, arrive);
        QFETCH(int, passed);
        LinkRig r;
        r.link.RxBuffer.fill(0xAA);
        r.link.LogLine.fill(0xAA);
        r.link.Open_USB();
        r.d2xx.reader = [&](DWORD) { return QByteArray(arrive, char(0x11)); };
        QCOMPARE(log ? r.link.readLogLine(asked) : r.link.readRx(asked), FT_OK);
        QCOMPARE(r.d2xx.calls.last().a, quint64(passed));
        const int got = std::min(passed, arrive);
        QCOMPARE(r.link.BytesRead, got);
        const QByteArray rx(reinterpret_cast<const char*>(r.link.RxBuffer.data()), Link::kRxSize);
        const QByteArray line(reinterpret_cast<const char*>(r.link.LogLine.data()), Link::kLogLineSize);
        QCOMPARE(log ? line : rx, QByteArray(got, 0x11) + QByteArray((log ? line : rx).size() - got, char(0xAA)));
        QCOMPARE(log ? rx : line, QByteArray((log ? rx : line).size(), char(0xAA)));
    }

    // Wait_ms sleeps in the event loop on Timer1, so the timer below fires;
    // a wait nested in it ends both (were it not so, the outer one would
    // never end: its timer is stopped).
    void nestedWaitEndsBoth()
    {
        LinkRig r;
        QTimer::singleShot(20, this, [&] { r.link.Wait_ms(100); });
        r.link.Wait_ms(600000);
        QVERIFY(r.link.TimerFired && !r.link.Timer1.isActive());
        QCOMPARE(r.link.Timer1.interval(), 100);
    }
};

QTEST_GUILESS_MAIN(TestLink)
#include "tst_link.moc"
