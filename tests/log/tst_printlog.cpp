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
    }

    // The layout the printer gets, printed into a PDF and read back: one page
    // here (a long log over several pages goes through CUPS in print_cups.sh).
    void layout_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("downloaded log") << " 0001 Ref lost input 2\r\n1:  Fan speed low\r\n" + kEndOfLog
                                        << QStringList{"0001 Ref lost input 2", "1: Fan speed low", kEndOfLog};
        QTest::newRow("empty box") << QString() << QStringList{};
        // Printed as the status box shows it: a lone CR or LF, and NUL from stale bytes, are nothing.
        static const char raw[] = "one\ntwo\rthree\0\0\r\nnext\r\n";
        QTest::newRow("as the box shows it") << QString::fromLatin1(raw, sizeof raw - 1) << QStringList{"onetwothree", "next"};
    }
    void layout()
    {
        QFETCH(QString, text);
        QFETCH(QStringList, lines);
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
        QVERIFY(run("pdfinfo", {pdf}).contains(QRegularExpression("Pages:\\s+1\\n")));
        // Bold title, plain body.
        const QStringList fonts = run("pdffonts", {pdf}).split('\n', Qt::SkipEmptyParts).mid(2);
        QCOMPARE(fonts.size(), lines.isEmpty() ? 1 : 2);
        QVERIFY2(fonts[0].section(' ', 0, 0).contains("Bold") && !fonts.value(1).section(' ', 0, 0).contains("Bold"),
                 qPrintable(fonts.join(',')));
    }
};

QTEST_MAIN(TestPrintLog)
#include "tst_printlog.moc"
