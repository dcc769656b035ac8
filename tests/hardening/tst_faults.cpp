#include "errorlog.h"
#include "link_rig.h"
#include "log_expect.h"
#include "screen.h"
#include <QRegularExpression>
#include <QtTest>

// Every driver call of every handler that talks to the instrument fails in
// turn, every read comes back short or empty, and the library goes missing.
// Each time the handler must come back, close what it opened, say what went
// wrong, and leave the link fit for the next click.

namespace {
enum Handler { Frame, Continuous, GetLog, EraseLog };
const char* const kHandlerNames[] = {"1 Frame", "Continuous", "Get Log", "Erase Log"};
enum Fault { None, FailCall, ShortRead, EmptyRead, Missing };
// A second cycle is the first one with the state it left behind; later ones repeat it.
constexpr int kCycles = 2;

// What the status box shows when a call of this function fails; screen and
// log word some of them differently, hence patterns.
QString failurePattern(const QString& fn)
{
    static const QMap<QString, QString> m{
        {"ListDevices", "List Device Failed"}, {"OpenEx", "OpenEx Failed"},    {"Write", "Write Failed"},
        {"SetTimeouts", "SetTimeout Failed"},  {"GetQueueStatus", "Queue Read Failed"},
        {"Read", "(?<!Queue )Read Failed"},    {"Close", "Close Failed"}};
    return m.value(fn);
}

// Three records, then the end marker; 50 bytes, line feed at position 40.
QByteArray logRecord(int k)
{
    const QByteArray r = k < 3 ? "0" + QByteArray::number(k) + " Fault " + QByteArray::number(k) : QByteArray(" End");
    return (r.leftJustified(39, '.') + "\n").leftJustified(50, '\0');
}

struct Rig : LinkRig {
    Surface surface;
    ScreenCapture screen{state, link, host, surface};
    ErrorLog log{state, link, host};
    int thrown = 0;       // a D2xxError the handler leaves to the window
    int reads = 0;        // reads that brought data, this click
    int mangleAt = -1;    // the one of them that comes back short or empty
    Fault mangle = None;
    bool logData = false;
    int cycles = 0;
    // The pacing waits, and the second a failed send waits, end at the next pass of the event loop.
    QTimer ticker;

    Rig()
    {
        ticker.callOnTimeout([this] { link.Timer1_Timer(); });
        ticker.start(0);
        d2xx.queue = {8192};
        d2xx.reader = [this](DWORD n) {
            // Mode byte 17: level bars, no graticule file.
            const int k = reads++;
            QByteArray b = logData ? logRecord(k) : QByteArray(int(n), '\x11');
            if (k == mangleAt)
                b = mangle == ShortRead ? b.left(b.size() / 2) : QByteArray();
            return b;
        };
        d2xx.onCall = [this](const FakeD2xx::Call& c) {
            if (c.fn == "Write" && quint8(c.bytes[0]) == 244 && ++cycles == kCycles)
                screen.cmdStop_Click();
        };
    }
    void run(int h)
    {
        logData = h == GetLog;
        reads = cycles = 0;
        try {
            switch (h) {
            case Frame: screen.cmdDownLoad_Click(); break;
            case Continuous: screen.cmdContinuous_Click(); break;
            case GetLog: log.cmdGetLog_Click(); break;
            case EraseLog: log.cmdEraseLog_Click(); break;
            }
        } catch (const D2xxError& e) {
            thrown = e.code();
        }
    }
};
}

class TestFaults : public QObject {
    Q_OBJECT
    int cases = 0;

private slots:
    void matrix_data()
    {
        QTest::addColumn<int>("handler");
        QTest::addColumn<int>("fault");
        QTest::addColumn<int>("at");
        QTest::addColumn<QString>("fn");
        for (int h = Frame; h <= EraseLog; ++h) {
            Rig rec;
            rec.run(h);
            const char* name = kHandlerNames[h];
            QTest::addRow("%s: no fault", name) << h << int(None) << -1 << QString();
            QTest::addRow("%s: library missing", name) << h << int(Missing) << -1 << QString();
            for (int i = 0, read = 0; i < rec.d2xx.calls.size(); ++i) {
                const FakeD2xx::Call& c = rec.d2xx.calls[i];
                QTest::addRow("%s: call %d %s fails", name, i, qPrintable(c.fn)) << h << int(FailCall) << i << c.fn;
                if (c.fn != "Read")
                    continue;
                if (c.a > 1)
                    QTest::addRow("%s: read %d short", name, read) << h << int(ShortRead) << read << c.fn;
                QTest::addRow("%s: read %d empty", name, read) << h << int(EmptyRead) << read << c.fn;
                ++read;
            }
        }
    }

    void matrix()
    {
        QFETCH(int, handler);
        QFETCH(int, fault);
        QFETCH(int, at);
        QFETCH(QString, fn);
        Rig r;
        r.d2xx.failCallIndex = fault == FailCall ? at : -1;
        r.mangleAt = fault == ShortRead || fault == EmptyRead ? at : -1;
        r.mangle = Fault(fault);
        r.d2xx.missing = fault == Missing;
        r.run(handler);
        ++cases;

        // Whatever the handler opened it has closed.
        QVERIFY(!r.state.handleOpen);
        if (r.d2xx.count("OpenEx") > 0 && !(fault == FailCall && fn == "OpenEx"))
            QCOMPARE(r.d2xx.calls.last().fn, QString("Close"));
        if (handler == GetLog)
            QCOMPARE(r.host.pointer.last(), false);

        const QString shown = r.host.text1History.join('\n');
        const bool ended = shown.contains(kEndOfLog);
        if (fault == Missing) {
            QVERIFY(r.d2xx.calls.isEmpty());
            // The log says so in its own box, the others leave it to the window's.
            if (handler == GetLog)
                QVERIFY(r.host.messages.size() == 1 && r.host.messages[0].text == "1001");
            else
                QCOMPARE(r.thrown, int(kErrLibraryMissing));
        } else if (fault == FailCall) {
            QVERIFY2(shown.contains(QRegularExpression(failurePattern(fn))), qPrintable(shown));
            // A download that lost a step never ends as if it were complete.
            if (handler == GetLog)
                QCOMPARE(ended, fn == "Close");
        } else {
            // No fault, or a read that brought less: nothing failed.
            QVERIFY2(!shown.contains("Failed"), qPrintable(shown));
            if (handler == GetLog)
                QVERIFY(ended);
        }
        if (fault != Missing)
            QVERIFY(r.host.messages.isEmpty());

        // The next click works as on a fresh start.
        r.d2xx.failCallIndex = -1;
        r.d2xx.missing = false;
        r.mangleAt = -1;
        r.thrown = 0;
        const qsizetype writes = r.d2xx.writtenCodes().size();
        r.run(Frame);
        QCOMPARE(r.thrown, 0);
        QCOMPARE(r.host.text, QString("Downloaded 1 Frame\r\n"));
        QCOMPARE(r.d2xx.writtenCodes().mid(writes), (QList<int>{242, 246, 246, 246, 246, 246, 244}));
        QCOMPARE(r.d2xx.calls.last().fn, QString("Close"));
        QVERIFY(!r.state.handleOpen);
    }

    void cleanupTestCase() { qInfo().noquote() << QStringLiteral("fault matrix: %1 cases").arg(cases); }
};

QTEST_MAIN(TestFaults)
#include "tst_faults.moc"
