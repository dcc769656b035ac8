#include "errorlog.h"
#include "link_rig.h"
#include "log_expect.h"
#include "screen.h"
#include <QRegularExpression>
#include <QtTest>

// Every driver call of every handler that talks to the instrument fails in
// turn, and the library goes missing. Each time the handler must come back,
// close what it opened, say what went wrong, and leave the link fit for the
// next click. (Reads that bring less are the screen's and the log's own tests.)

namespace {
enum Handler { Frame, Continuous, GetLog, EraseLog };
const char* const kHandlerNames[] = {"1 Frame", "Continuous", "Get Log", "Erase Log"};

struct Rig : LinkRig {
    Surface surface;
    ScreenCapture screen{link, status, surface};
    ErrorLog log{link, status, host};
    // The pacing waits, and the second a failed send waits, end at the next pass of the event loop.
    QTimer ticker;
    int thrown = 0;     // a D2xxError the handler leaves to the window
    int cycles = 0;

    Rig()
    {
        ticker.callOnTimeout([this] { link.Timer1_Timer(); });
        ticker.start(0);
        d2xx.queue = {8192};
        // Mode byte 17: level bars, no graticule file. The log is its end marker alone:
        // every call of the record loop is made once, and the text says whether it ended.
        d2xx.reader = [this](DWORD n) {
            return d2xx.writtenCodes().last() == 250 ? QByteArray(" End") : QByteArray(int(n), '\x11');
        };
        // "Stop" in the second cycle: the first one with the state the first left behind.
        d2xx.onCall = [this](const FakeD2xx::Call& c) {
            if (c.fn == "Write" && quint8(c.bytes[0]) == 244 && ++cycles == 2)
                screen.cmdStop_Click();
        };
    }
    // The handler's outcome, as its base and the counts it carries.
    Outcome outcome;
    int64_t arrived = 0;   // blocks, frames or records by handler

    void run(int h)
    {
        cycles = 0;
        try {
            switch (h) {
            case Frame: {
                const FrameOutcome o = screen.cmdDownLoad_Click();
                outcome = o, arrived = o.bytes;
                break;
            }
            case Continuous: {
                const ContinuousOutcome o = screen.cmdContinuous_Click();
                outcome = o, arrived = o.frames;
                break;
            }
            case GetLog: {
                const LogOutcome o = log.cmdGetLog_Click();
                outcome = o, arrived = o.ended;
                break;
            }
            case EraseLog: outcome = log.cmdEraseLog_Click(); break;
            }
        } catch (const D2xxError& e) {
            thrown = e.code();
        }
    }
};
}

class TestFaults : public QObject {
    Q_OBJECT

private slots:
    void matrix_data()
    {
        QTest::addColumn<int>("handler");
        QTest::addColumn<int>("at");        // the call that fails, -1 none
        QTest::addColumn<QString>("fn");    // its function, "" none
        QTest::addColumn<bool>("missing");  // the library cannot be loaded
        for (int h = Frame; h <= EraseLog; ++h) {
            Rig rec;
            rec.run(h);
            QTest::addRow("%s: no fault", kHandlerNames[h]) << h << -1 << QString() << false;
            QTest::addRow("%s: library missing", kHandlerNames[h]) << h << -1 << QString() << true;
            for (int i = 0; i < rec.d2xx.calls.size(); ++i) {
                const QString fn = rec.d2xx.calls[i].fn;
                QTest::addRow("%s: call %d %s fails", kHandlerNames[h], i, qPrintable(fn)) << h << i << fn << false;
            }
        }
    }

    void matrix()
    {
        QFETCH(int, handler);
        QFETCH(int, at);
        QFETCH(QString, fn);
        QFETCH(bool, missing);
        Rig r;
        r.d2xx.failCallIndex = at;
        r.d2xx.missing = missing;
        r.run(handler);

        // The outcome names the step whose call failed, and only a clean run is ok.
        if (missing) {
            if (handler == GetLog)
                QVERIFY(r.outcome.failedAt(Outcome::RunTime) && r.outcome.runTimeError == kErrLibraryMissing);
        } else {
            QCOMPARE(r.outcome.ok(), at < 0);
            static const QMap<QString, Outcome::Step> steps{
                {"ListDevices", Outcome::Open}, {"OpenEx", Outcome::Open},           {"Write", Outcome::Write},
                {"SetTimeouts", Outcome::SetTimeouts}, {"GetQueueStatus", Outcome::QueuePoll},
                {"Read", Outcome::Read},        {"Close", Outcome::Close}};
            if (at >= 0)
                QVERIFY2(r.outcome.failedAt(steps[fn]), qPrintable(QString::number(r.outcome.failed, 16)));
            const Link::OpenOutcome open = fn == "ListDevices" ? Link::OpenOutcome::ListFailed
                                           : fn == "OpenEx"    ? Link::OpenOutcome::OpenExFailed
                                                               : Link::OpenOutcome::Opened;
            QCOMPARE(r.outcome.open.outcome, open);
            QCOMPARE(r.outcome.open.status == FT_OK, open == Link::OpenOutcome::Opened);
            QCOMPARE(r.outcome.open.serial, QByteArray(open == Link::OpenOutcome::ListFailed ? "" : "CM123456"));
            if (at < 0) {
                // Five whole blocks; "Stop" in the second frame; the end line reached.
                const int64_t want[] = {5 * 8192, 2, 1, 0};
                QCOMPARE(r.arrived, want[handler]);
            }
        }

        // Whatever the handler opened it has closed: the last call on the device
        // (a look at the list may follow, whether it is still there).
        QVERIFY(!r.link.handleOpen);
        QStringList onDevice = r.d2xx.names();
        onDevice.removeAll("ListDevices");
        if (r.d2xx.count("OpenEx") > 0 && fn != "OpenEx")
            QCOMPARE(onDevice.last(), QString("Close"));
        if (handler == GetLog)
            QCOMPARE(r.host.pointer.last(), false);

        // What the status box shows when a call of this function fails; screen and
        // log word some of them differently, hence patterns.
        static const QMap<QString, QString> failures{
            {"ListDevices", "List Device Failed"}, {"OpenEx", "OpenEx Failed"},    {"Write", "Write Failed"},
            {"SetTimeouts", "SetTimeout Failed"},  {"GetQueueStatus", "Queue Read Failed"},
            {"Read", "(?<!Queue )Read Failed"},    {"Close", "Close Failed"}};
        const QString shown = r.host.text1History.join('\n');
        if (missing) {
            // The log says so in its own box, the others leave it to the window's.
            if (handler == GetLog)
                QVERIFY(r.host.messages.size() == 1 && r.host.messages[0].text == "1001");
            else
                QCOMPARE(r.thrown, int(kErrLibraryMissing));
        } else {
            QVERIFY(r.host.messages.isEmpty());
            const QRegularExpression failure(at < 0 ? "Failed" : failures[fn]);
            QVERIFY2(shown.contains(failure) == (at >= 0), qPrintable(shown));
            // A download that lost a step never ends as if it were complete.
            if (handler == GetLog)
                QCOMPARE(shown.contains(kEndOfLog), at < 0 || fn == "Close");
        }

        // The next click works as on a fresh start.
        r.d2xx.failCallIndex = -1;
        r.d2xx.missing = false;
        const qsizetype writes = r.d2xx.writtenCodes().size();
        r.run(Frame);
        QCOMPARE(r.host.text, QString("Downloaded 1 Frame\r\n"));
        QCOMPARE(r.d2xx.writtenCodes().mid(writes), (QList<int>{242, 246, 246, 246, 246, 246, 244}));
        QVERIFY(!r.link.handleOpen);
    }
};

QTEST_MAIN(TestFaults)
#include "tst_faults.moc"
