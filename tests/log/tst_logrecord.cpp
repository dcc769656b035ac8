#include "logrecord.h"
#include <QtTest>

using Line = std::array<uint8_t, 50>;
Q_DECLARE_METATYPE(Line)

namespace {
// The buffer as a read leaves it: `record` over whatever `before` left there.
Line lay(const QByteArray& before, const QByteArray& record)
{
    Line l{};
    QByteArray all = before.left(50);
    all.replace(0, qMin(record.size(), 50), record.left(50));
    memcpy(l.data(), all.constData(), size_t(all.size()));
    return l;
}
QByteArray spaces(int n) { return QByteArray(n, ' '); }
}

class TestLogRecord : public QObject {
    Q_OBJECT
private slots:
    void parse_data()
    {
        QTest::addColumn<Line>("line");
        QTest::addColumn<int>("start");
        QTest::addColumn<int>("end");
        QTest::addColumn<bool>("endMarker");
        QTest::addColumn<QByteArray>("text");

        const QByteArray sample = "0042 SAMPLE ENTRY" + spaces(17) + "\r\n";
        QTest::newRow("worked example") << lay({}, sample) << 5 << 36 << false
                                        << QByteArray(" SAMPLE ENTRY" + spaces(17) + "\r\n");

        const QByteArray letters = QByteArray("ABCDEFGHIJ").repeated(5);
        QTest::newRow("no space") << lay({}, letters) << 41 << 72 << false << QByteArray("ABCDEFGHIJ");
        QByteArray e42 = letters;
        e42[41] = 'E';
        QTest::newRow("no space, E at 42") << lay({}, e42) << 41 << 72 << true << QByteArray("AECDEFGHIJ");

        // Space at 12: the end scan looks at 42 alone.
        const QByteArray late = QByteArray(11, '7') + " late" + spaces(25);
        QByteArray lateLf = late + "\n" + "tail1234";
        QTest::newRow("late space, LF at S+30") << lay({}, lateLf) << 12 << 42 << false
                                                << lateLf.mid(11, 31);
        QByteArray lateNoLf = late + "x\n" + "tail123";
        QTest::newRow("late space, no LF at S+30") << lay({}, lateNoLf) << 12 << 43 << false
                                                   << lateNoLf.mid(11, 32);
        // Space at 25: the text is cut short at the end of the buffer.
        const QByteArray later = QByteArray(24, '1') + " " + QByteArray("z").repeated(25);
        QTest::newRow("space at 25, cut at 50") << lay({}, later) << 25 << 56 << false << later.mid(24, 26);

        // A short record with its line feed early runs on over the older record.
        const QByteArray older = "0001 OLDER RECORD TEXT" + spaces(12) + "\r\n" + QByteArray(14, 'q');
        const QByteArray shortRec = "0002 Short\n";
        QTest::newRow("LF before S+30") << lay(older, shortRec) << 5 << 36 << false
                                        << QByteArray(" Short\n" + older.mid(11, 25));

        const QByteArray lf41 = "0003 X" + spaces(34) + "\n" + QByteArray(9, 'r');
        QTest::newRow("LF at 41") << lay({}, lf41) << 5 << 41 << false << lf41.mid(4, 37);
        const QByteArray lf42 = "0003 X" + spaces(35) + "\n" + QByteArray(8, 'r');
        QTest::newRow("LF beyond 41") << lay({}, lf42) << 5 << 41 << false << lf42.mid(4, 37);

        QTest::newRow("capital E") << lay({}, "0009 Error" + spaces(24) + "\r\n") << 5 << 36 << true
                                   << QByteArray(" Error" + spaces(24) + "\r\n");
        QTest::newRow("lower-case e") << lay({}, "0009 error" + spaces(24) + "\r\n") << 5 << 36 << false
                                      << QByteArray(" error" + spaces(24) + "\r\n");
        // Only the character straight after the space counts.
        QTest::newRow("E later") << lay({}, "0009 Ref E" + spaces(24) + "\r\n") << 5 << 36 << false
                                 << QByteArray(" Ref E" + spaces(24) + "\r\n");
    }
    void parse()
    {
        QFETCH(Line, line);
        QFETCH(int, start);
        QFETCH(int, end);
        QFETCH(bool, endMarker);
        QFETCH(QByteArray, text);
        const LogRecord r = parseLogRecord(line);
        QCOMPARE(r.start, start);
        QCOMPARE(r.end, end);
        QCOMPARE(r.endMarker, endMarker);
        QCOMPARE(r.text, text);
    }

    void displayLine_data()
    {
        QTest::addColumn<int>("index");
        QTest::addColumn<QString>("line");
        QTest::newRow("0") << 0 << QString(" SAMPLE ENTRY\r\n");
        QTest::newRow("3") << 3 << QString(" SAMPLE ENTRY\r\n");
        QTest::newRow("4") << 4 << QString("1:  SAMPLE ENTRY\r\n");
        QTest::newRow("6") << 6 << QString("3:  SAMPLE ENTRY\r\n");
        QTest::newRow("979") << 979 << QString("976:  SAMPLE ENTRY\r\n");
        QTest::newRow("980") << 980 << QString();
    }
    void displayLine()
    {
        QFETCH(int, index);
        QFETCH(QString, line);
        QCOMPARE(logDisplayLine(index, " SAMPLE ENTRY\r\n"), line);
    }

    void bytesAboveAsciiStayOneCharacterEach()
    {
        const QByteArray rec = "0001 \xB0" "C" + spaces(28) + "\r\n";
        const LogRecord r = parseLogRecord(lay({}, rec));
        QCOMPARE(logDisplayLine(0, r.text), QString::fromLatin1(rec.mid(4)));
        QCOMPARE(logDisplayLine(0, r.text).size(), rec.size() - 4);
    }
};

QTEST_APPLESS_MAIN(TestLogRecord)
#include "tst_logrecord.moc"
