#include "errorlog.h"
#include "link_rig.h"
#include "log_expect.h"
#include "printlog.h"
#include <QPrinter>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {
QString run(const QString& tool, const QStringList& args)
{
    QProcess p;
    p.start(tool, args);
    return p.waitForFinished(20000) && p.exitCode() == 0 ? QString::fromUtf8(p.readAllStandardOutput()) : QString();
}
}   // namespace

class TestPrintLog : public QObject {
    Q_OBJECT
    QTemporaryDir dir;

private slots:
    void initTestCase()
    {
        for (const char* tool : {"pdftotext", "pdfinfo", "pdffonts"})
            if (QStandardPaths::findExecutable(tool).isEmpty())
                QSKIP("pdftotext/pdfinfo not installed (apt-get install poppler-utils)");
        // No printer at all for this process, whatever the machine has.
        qputenv("CUPS_SERVER", dir.filePath("no-cups.sock").toLocal8Bit());
        qunsetenv("PRINTER");
        qunsetenv("LPDEST");
    }

    // The layout the printer gets, printed into a PDF and read back.
    void layout_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<int>("minPages");
        QString log;
        QStringList lines;
        for (int i = 1; i <= 976; ++i) {
            log += QStringLiteral("%1:  Entry %1\r\n").arg(i);
            lines << QStringLiteral("%1: Entry %1").arg(i);
        }
        QTest::newRow("downloaded log") << " 0001 Ref lost input 2\r\n1:  Fan speed low\r\n" + kEndOfLog
                                        << QStringList{"0001 Ref lost input 2", "1: Fan speed low", kEndOfLog} << 1;
        QTest::newRow("empty box") << QString() << QStringList{} << 1;
        // Printed as the status box shows it.
        QTest::newRow("lone LF") << "one\ntwo\r\n" << QStringList{"onetwo"} << 1;
        QTest::newRow("lone CR") << "one\rtwo\r\nthree" << QStringList{"onetwo", "three"} << 1;
        QTest::newRow("NUL from stale bytes") << QString::fromLatin1("1:  Entry\0\0\0\r\nnext", 18) << QStringList{"1: Entry", "next"} << 1;
        // 12-point lines, at least that far apart, on an A4 paint area.
        const qreal height = QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Portrait, {}).paintRectPoints().height();
        QTest::newRow("long log spans pages") << log + kEndOfLog << lines + QStringList{kEndOfLog} << qMax(11, int(978 / (height / 12)));
    }
    void layout()
    {
        QFETCH(QString, text);
        QFETCH(QStringList, lines);
        QFETCH(int, minPages);
        const QString pdf = dir.filePath(QString(QTest::currentDataTag()) + ".pdf");
        QPrinter printer(QPrinter::HighResolution);
        printer.setOutputFormat(QPrinter::PdfFormat);
        printer.setOutputFileName(pdf);
        printer.setPageSize(QPageSize(QPageSize::A4));
        QVERIFY(printLogDocument(printer, text));
        QStringList got;
        for (QString l : run("pdftotext", {"-layout", pdf, "-"}).split('\n'))
            if (!(l = l.remove('\f').simplified()).isEmpty())
                got << l;
        QCOMPARE(got, QStringList{kPrintTitle} + lines);
        const int pages = QRegularExpression("Pages:\\s+(\\d+)").match(run("pdfinfo", {pdf})).captured(1).toInt();
        QVERIFY2(minPages > 1 ? pages >= minPages : pages == 1, qPrintable(QString::number(pages)));
        // Bold title, plain body.
        const QStringList fonts = run("pdffonts", {pdf}).split('\n', Qt::SkipEmptyParts).mid(2);
        QCOMPARE(fonts.size(), lines.isEmpty() ? 1 : 2);
        QVERIFY2(fonts[0].section(' ', 0, 0).contains("Bold") && !fonts.value(1).section(' ', 0, 0).contains("Bold"),
                 qPrintable(fonts.join(',')));
    }

    // No printer, or one that fails: the one box.
    void printErrorBox_data()
    {
        QTest::addColumn<bool>("printer");
        QTest::newRow("no printer") << false;
        QTest::newRow("printer fails") << true;
    }
    void printErrorBox()
    {
        QFETCH(bool, printer);
        LinkRig r;
        ErrorLog log(r.state, r.link, r.host);
        r.host.text = "1:  Entry\r\n";
        QPrinter broken;
        broken.setOutputFormat(QPrinter::PdfFormat);
        broken.setOutputFileName(dir.filePath("no/such/folder/x.pdf"));
        printer ? void(log.printLogOn(broken)) : log.cmdPrintLog_Click();
        QCOMPARE(r.host.messages.size(), 1);
        QCOMPARE(r.host.messages[0].text + " / " + r.host.messages[0].title, QString("Can't find a Printer / Print Error"));
        QCOMPARE(r.host.messages[0].icon, Host::Icon::Exclamation);
        QVERIFY(r.d2xx.calls.isEmpty());
    }
};

QTEST_MAIN(TestPrintLog)
#include "tst_printlog.moc"
