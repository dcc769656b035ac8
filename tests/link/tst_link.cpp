#include "dynamic_d2xx.h"
#include "fake_d2xx.h"
#include "fake_host.h"
#include "link.h"
#include <QElapsedTimer>
#include <QTimer>
#include <QtTest>
#include <ctime>

class TestLink : public QObject {
    Q_OBJECT

    struct Rig {
        State state;
        FakeD2xx d2xx;
        FakeHost host;
        Link link{state, d2xx, host};
        void open() { link.Open_USB(); }
    };

private slots:
    void openSendsListThenOpenBySerial()
    {
        Rig r;
        r.open();
        QCOMPARE(r.d2xx.names(), (QStringList{"ListDevices", "OpenEx"}));
        QCOMPARE(r.d2xx.calls[0].a, 0ull);
        QCOMPARE(r.d2xx.calls[0].b, 0x40000001ull);
        QCOMPARE(r.d2xx.calls[1].bytes, QByteArray("CM123456"));
        QCOMPARE(r.d2xx.calls[1].b, 1ull);
        QCOMPARE(r.state.ftHandle, r.d2xx.handle);
        QVERIFY(r.host.text1History.isEmpty());
    }

    void failuresReplaceText1_data()
    {
        QTest::addColumn<QString>("failing");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QStringList>("calls");
        QTest::newRow("list") << "ListDevices" << "List Device Failed" << QStringList{"ListDevices"};
        QTest::newRow("open") << "OpenEx" << "OpenEx Failed" << QStringList{"ListDevices", "OpenEx"};
        QTest::newRow("write") << "Write" << "Write Failed" << QStringList{"ListDevices", "OpenEx", "Write", "Close"};
        QTest::newRow("write+close") << "Write+Close" << "Send_byte_to_USB: USB Close Failed"
                                     << QStringList{"ListDevices", "OpenEx", "Write", "Close"};
    }
    void failuresReplaceText1()
    {
        QFETCH(QString, failing);
        QFETCH(QString, message);
        QFETCH(QStringList, calls);
        Rig r;
        r.state.StatusText = "earlier\r\n";
        for (const QString& fn : failing.split('+'))
            r.d2xx.statuses[fn] = {FT_IO_ERROR};
        r.state.TimerFired = false;
        QElapsedTimer t;
        t.start();
        r.open();
        if (r.d2xx.count("OpenEx") && !failing.startsWith("Open"))
            r.link.Send_byte_to_USB(242);
        QCOMPARE(r.host.text, message);
        QCOMPARE(r.d2xx.names(), calls);
        QCOMPARE(r.state.StatusText, QString("earlier\r\n"));
        // Only a failed close after a failed write waits, a full second.
        const bool waited = failing == "Write+Close";
        QCOMPARE(r.state.TimerFired, waited);
        if (waited)
            QVERIFY(t.elapsed() >= 999);
        // The next append brings the whole log back.
        r.link.appendStatus("next");
        QCOMPARE(r.host.text, QString("earlier\r\nnext\r\n"));
    }

    void commandFrames_data()
    {
        QTest::addColumn<int>("code");
        for (int code : {242, 244, 246, 248, 250, 252})
            QTest::addRow("%d", code) << code;
    }
    void commandFrames()
    {
        QFETCH(int, code);
        Rig r;
        r.open();
        r.link.Send_byte_to_USB(code);
        const FakeD2xx::Call& w = r.d2xx.calls.last();
        QCOMPARE(w.fn, QString("Write"));
        QCOMPARE(w.handle, r.d2xx.handle);
        QCOMPARE(w.a, 2ull);
        QCOMPARE(w.bytes, QByteArray(1, char(code)) + char(0xF0));
        QCOMPARE(r.state.TxString[0], uint8_t(code));
        QCOMPARE(r.state.BytesWritten, 2);
    }

    void closedHandleNeverReachesDriver_data()
    {
        QTest::addColumn<bool>("viaFailedWrite");
        QTest::newRow("after close") << false;
        QTest::newRow("after failed write") << true;
        QTest::newRow("never opened") << false;
    }
    void closedHandleNeverReachesDriver()
    {
        QFETCH(bool, viaFailedWrite);
        Rig r;
        if (QByteArray(QTest::currentDataTag()) != "never opened") {
            r.open();
            if (viaFailedWrite) {
                r.d2xx.statuses["Write"] = {FT_IO_ERROR};
                r.link.Send_byte_to_USB(246);
            } else {
                QCOMPARE(r.link.close(), FT_OK);
            }
        }
        const int before = int(r.d2xx.calls.size());
        QVERIFY(r.link.setTimeouts() != FT_OK);
        QVERIFY(r.link.getQueueStatus() != FT_OK);
        QVERIFY(r.link.readRx(10) != FT_OK);
        QVERIFY(r.link.readLogLine(10) != FT_OK);
        QVERIFY(r.link.close() != FT_OK);
        QCOMPARE(int(r.d2xx.calls.size()), before);
        r.host.text.clear();
        r.link.Send_byte_to_USB(244);
        QCOMPARE(r.host.text, QString("Send_byte_to_USB: USB Close Failed"));
    }

    void failedNestedOpenKeepsOuterHandle()
    {
        Rig r;
        r.open();
        r.d2xx.statuses["OpenEx"] = {FT_DEVICE_NOT_OPENED};
        r.open();
        QCOMPARE(r.host.text, QString("OpenEx Failed"));
        QCOMPARE(r.link.setTimeouts(), FT_OK);
    }

    void readIntoBuffer_data()
    {
        QTest::addColumn<bool>("log");
        QTest::addColumn<qint64>("asked");
        QTest::addColumn<int>("arrive");
        QTest::addColumn<quint64>("passed");
        QTest::newRow("rx one byte") << false << qint64(1) << 1 << 1ull;
        QTest::newRow("rx time-out, nothing") << false << qint64(8192) << 0 << 8192ull;
        QTest::newRow("rx short block") << false << qint64(8192) << 100 << 8192ull;
        QTest::newRow("rx huge count") << false << qint64(1) << 10000 << 10000ull;
        QTest::newRow("rx negative") << false << qint64(-7) << 0 << 0ull;
        QTest::newRow("log record") << true << qint64(38) << 38 << 38ull;
        QTest::newRow("log over 50") << true << qint64(5000) << 50 << 50ull;
        QTest::newRow("log negative") << true << qint64(-1) << 0 << 0ull;
    }
    void readIntoBuffer()
    {
        QFETCH(bool, log);
        QFETCH(qint64, asked);
        QFETCH(int, arrive);
        QFETCH(quint64, passed);
        if (QByteArray(QTest::currentDataTag()) == "rx huge count")
            asked = qint64(1) << 40;
        Rig r;
        r.state.RxBuffer.fill(0xAA);
        r.state.LogLine.fill(0xAA);
        r.open();
        r.d2xx.reads = {QByteArray(arrive, char(0x11)) + QByteArray(100, char(0x22))};
        const FT_STATUS st = log ? r.link.readLogLine(asked) : r.link.readRx(asked);
        QCOMPARE(st, FT_OK);
        QCOMPARE(r.d2xx.calls.last().a, passed);
        QCOMPARE(r.state.BytesRead, int(std::min<quint64>(passed, quint64(arrive) + 100)));
        const auto check = [&](const auto& buf) {
            for (int i = 0; i < int(buf.size()); ++i) {
                const uint8_t want = i < arrive ? 0x11 : i < r.state.BytesRead ? 0x22 : 0xAA;
                if (buf[size_t(i)] != want)
                    QFAIL(qPrintable(QString("position %1 holds %2").arg(i + 1).arg(buf[size_t(i)])));
            }
        };
        if (log) {
            check(r.state.LogLine);
            QCOMPARE(r.state.RxBuffer[0], uint8_t(0xAA));
        } else {
            check(r.state.RxBuffer);
        }
    }

    void queueStatusKeepsValueBetweenCalls()
    {
        Rig r;
        r.open();
        r.d2xx.queue = {8192};
        QCOMPARE(r.link.getQueueStatus(), FT_OK);
        QCOMPARE(r.state.QueueCount, 8192);
        r.link.close();
        r.link.getQueueStatus();
        QCOMPARE(r.state.QueueCount, 8192);
    }

    void waitProcessesEventsAtLeastOnce()
    {
        Rig r;
        bool ran = false;
        QMetaObject::invokeMethod(this, [&] { ran = true; }, Qt::QueuedConnection);
        r.link.Wait_ms(0);
        QVERIFY(ran);
        QVERIFY(!r.link.Timer1.isActive());
        QVERIFY(r.state.TimerFired);
    }

    void waitLastsItsIntervalWithoutSpinning()
    {
        Rig r;
        QElapsedTimer t;
        t.start();
        const std::clock_t cpu0 = std::clock();
        r.link.Wait_ms(300);
        const double cpuMs = 1000.0 * double(std::clock() - cpu0) / CLOCKS_PER_SEC;
        QVERIFY2(t.elapsed() >= 299, qPrintable(QString::number(t.elapsed())));
        // Asleep in the event loop, not polling: a busy loop would burn ~300 ms.
        QVERIFY2(cpuMs < 150, qPrintable(QString("CPU %1 ms").arg(cpuMs)));
    }

    void nestedWaitEndsTheOuterOne()
    {
        Rig r;
        QElapsedTimer t;
        qint64 innerDone = -1;
        QTimer::singleShot(20, this, [&] {
            r.link.Wait_ms(100);
            innerDone = t.elapsed();
        });
        t.start();
        r.link.Wait_ms(2000);
        const qint64 outer = t.elapsed();
        QVERIFY(innerDone >= 119);
        // The outer wait gives up its own interval once the inner one is over.
        QVERIFY2(outer - innerDone < 300, qPrintable(QString("%1 %2").arg(innerDone).arg(outer)));
        QVERIFY(!r.link.Timer1.isActive());
    }

    void missingLibraryIsNamedRunTimeFailure()
    {
        DynamicD2xx d({QStringLiteral("/nonexistent/libftd2xx.so")});
        char buf[100] = {};
        try {
            d.ListDevices(nullptr, buf, 0x40000001);
            QFAIL("no failure raised");
        } catch (const D2xxError& e) {
            QCOMPARE(e.code(), int(kErrLibraryMissing));
            QVERIFY(QString(e.what()).contains(DynamicD2xx::platformLibraryName()));
            QVERIFY(QString(e.what()).contains("Install"));
        }
    }
};

QTEST_GUILESS_MAIN(TestLink)
#include "tst_link.moc"
