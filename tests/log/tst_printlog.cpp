#include "errorlog.h"
#include "fake_d2xx.h"
#include "fake_host.h"
#include "printlog.h"
#include <QPrinter>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

namespace {
QString run(const QString& tool, const QStringList& args)
{
    QProcess p;
    p.start(tool, args);
    if (!p.waitForFinished(20000) || p.exitCode() != 0)
        return {};
    return QString::fromUtf8(p.readAllStandardOutput());
}

struct Printed {
    QStringList lines;   // non-empty text lines, blanks squeezed
    int pages = 0;
    QString bbox;        // pdftotext -bbox output
    QStringList fonts;   // names of the embedded fonts
};
}

class TestPrintLog : public QObject {
    Q_OBJECT

    QTemporaryDir dir;

    // Prints `text` into a PDF through the layout the printer gets, then reads it back.
    Printed print(const QString& text)
    {
        const QString pdf = dir.filePath(QStringLiteral("log%1.pdf").arg(++files));
        QPrinter printer(QPrinter::HighResolution);
        printer.setOutputFormat(QPrinter::PdfFormat);
        printer.setOutputFileName(pdf);
        printer.setPageSize(QPageSize(QPageSize::A4));
        paintTop = printer.pageLayout().paintRectPoints().top();
        Printed out;
        if (!printLogDocument(printer, text))
            return out;
        const QString plain = run("pdftotext", {"-layout", pdf, "-"});
        for (QString l : plain.split('\n')) {
            l = l.remove('\f').simplified();
            if (!l.isEmpty())
                out.lines << l;
        }
        const QRegularExpression pages(QStringLiteral("Pages:\\s+(\\d+)"));
        out.pages = pages.match(run("pdfinfo", {pdf})).captured(1).toInt();
        out.bbox = run("pdftotext", {"-bbox", pdf, "-"});
        for (const QString& l : run("pdffonts", {pdf}).split('\n').mid(2))
            if (!l.isEmpty())
                out.fonts << l.section(' ', 0, 0);
        return out;
    }
    int files = 0;
    qreal paintTop = 0;

    // Top and height of the first word `w` in the bbox output.
    static QPair<double, double> box(const QString& bbox, const QString& w)
    {
        const QRegularExpression re(QStringLiteral("yMin=\"([\\d.]+)\" xMax=\"[\\d.]+\" yMax=\"([\\d.]+)\">%1<").arg(w));
        const auto m = re.match(bbox);
        return {m.captured(1).toDouble(), m.captured(2).toDouble() - m.captured(1).toDouble()};
    }

private slots:
    void initTestCase()
    {
        if (QStandardPaths::findExecutable("pdftotext").isEmpty() || QStandardPaths::findExecutable("pdfinfo").isEmpty() ||
            QStandardPaths::findExecutable("pdffonts").isEmpty())
            QSKIP("pdftotext/pdfinfo not installed (apt-get install poppler-utils)");
        QVERIFY(dir.isValid());
        // No printer at all for this process, whatever the machine has.
        qputenv("CUPS_SERVER", dir.filePath("no-cups.sock").toLocal8Bit());
        qunsetenv("PRINTER");
        qunsetenv("LPDEST");
    }

    void layout_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("downloaded log")
            << " 0001 Ref lost input 2\r\n1:  Fan speed low\r\n-------- End of Log --------"
            << QStringList{"0001 Ref lost input 2", "1: Fan speed low", "-------- End of Log --------"};
        QTest::newRow("empty box") << QString() << QStringList{};
        QTest::newRow("line feed alone") << "one\ntwo\r\n" << QStringList{"one", "two"};
    }
    void layout()
    {
        QFETCH(QString, text);
        QFETCH(QStringList, lines);
        const Printed p = print(text);
        QCOMPARE(p.lines, QStringList{kPrintTitle} + lines);
        QCOMPARE(p.pages, 1);
        // Bold title, plain body.
        QCOMPARE(p.fonts.size(), lines.isEmpty() ? 1 : 2);
        QVERIFY2(p.fonts[0].contains("Bold"), qPrintable(p.fonts.join(',')));
        if (!lines.isEmpty())
            QVERIFY2(!p.fonts[1].contains("Bold"), qPrintable(p.fonts.join(',')));
        // A blank line stands above the title, which is half again as tall as the body.
        const auto title = box(p.bbox, "Brisko");
        QVERIFY2(title.first - paintTop > 5, qPrintable(QString::number(title.first - paintTop)));
        if (!lines.isEmpty()) {
            const auto body = box(p.bbox, lines.last().section(' ', 0, 0));
            QVERIFY(body.second > 0);
            QVERIFY2(qAbs(title.second / body.second - 1.5) < 0.15, qPrintable(QString::number(title.second / body.second)));
        }
    }

    void longLogSpansPages()
    {
        QString text;
        QStringList want{kPrintTitle};
        for (int i = 1; i <= 976; ++i) {
            text += QStringLiteral("%1:  Entry %1\r\n").arg(i);
            want << QStringLiteral("%1: Entry %1").arg(i);
        }
        text += QStringLiteral("-------- End of Log --------");
        want << QStringLiteral("-------- End of Log --------");
        const Printed p = print(text);
        QCOMPARE(p.lines, want);
        // 12-point lines, at least that far apart, on an A4 paint area.
        const int perPage = int(QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Portrait, {}).paintRectPoints().height() / 12);
        QVERIFY2(p.pages >= 978 / perPage && p.pages > 10, qPrintable(QString::number(p.pages)));
    }

    void longLinesWrap()
    {
        QStringList words;
        for (int i = 0; i < 60; ++i)
            words << QStringLiteral("word%1").arg(i, 2, 10, QChar('0'));
        const QString unbroken = QString("0123456789").repeated(30);
        const Printed p = print(words.join(' ') + "\r\n" + unbroken);
        const QStringList body = p.lines.mid(1);
        // Each of the two lines is wider than the page: both wrap, nothing is cut.
        QVERIFY2(body.size() >= 4, qPrintable(body.join('|')));
        QString all = body.join(' ');
        QVERIFY(all.startsWith(words.join(' ')));
        QVERIFY(all.remove(' ').endsWith(unbroken));
    }

    void noPrinterShowsOneBox()
    {
        State s;
        FakeD2xx d;
        FakeHost host;
        Link link(s, d, host);
        ErrorLog log(s, link, host);
        host.text = "1:  Entry\r\n";
        log.cmdPrintLog_Click();
        QCOMPARE(host.messages.size(), 1);
        QCOMPARE(host.messages[0].text, QString("Can't find a Printer"));
        QCOMPARE(host.messages[0].title, QString("Print Error"));
        QCOMPARE(host.messages[0].icon, Host::Icon::Exclamation);
        QVERIFY(d.calls.isEmpty());
    }

    void failureWhilePrintingShowsOneBox()
    {
        State s;
        FakeD2xx d;
        FakeHost host;
        Link link(s, d, host);
        ErrorLog log(s, link, host);
        QPrinter printer;
        printer.setOutputFormat(QPrinter::PdfFormat);
        printer.setOutputFileName(dir.filePath("no/such/folder/x.pdf"));
        log.printLogOn(printer);
        QCOMPARE(host.messages.size(), 1);
        QCOMPARE(host.messages[0].text, QString("Can't find a Printer"));
        QCOMPARE(host.messages[0].title, QString("Print Error"));
    }
};

QTEST_MAIN(TestPrintLog)
#include "tst_printlog.moc"
