// Runs "Print Log" on the system's default printer with the status box holding
// the text of the file named on the command line. Exit 0 when no error box came up.
#include "errorlog.h"
#include "fake_d2xx.h"
#include "fake_host.h"
#include <QFile>
#include <QGuiApplication>
#include <QPrinterInfo>
#include <cstdio>

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <text file>\n", argv[0]);
        return 2;
    }
    QFile f(QString::fromLocal8Bit(argv[1]));
    if (!f.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "cannot read %s\n", argv[1]);
        return 2;
    }
    State state;
    FakeD2xx d2xx;
    FakeHost host;
    Link link(state, d2xx, host);
    ErrorLog log(state, link, host);
    host.text = QString::fromLatin1(f.readAll());
    std::printf("default printer: %s\n", qPrintable(QPrinterInfo::defaultPrinterName()));
    log.cmdPrintLog_Click();
    for (const FakeHost::Message& m : host.messages)
        std::fprintf(stderr, "message box \"%s\": %s\n", qPrintable(m.title), qPrintable(m.text));
    return host.messages.isEmpty() && d2xx.calls.isEmpty() ? 0 : 1;
}
