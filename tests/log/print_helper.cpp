// Runs "Print Log" on the system's default printer with the status box holding
// the text of the file named on the command line. Exit 0 when no error box came up.
#include "errorlog.h"
#include "link_rig.h"
#include <QFile>
#include <QGuiApplication>
#include <cstdio>

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    QFile f(QString::fromLocal8Bit(argc == 2 ? argv[1] : ""));
    if (!f.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "usage: %s <readable text file>\n", argv[0]);
        return 2;
    }
    LinkRig r;
    ErrorLog log(r.link, r.status, r.host);
    r.host.text = QString::fromLatin1(f.readAll());
    log.cmdPrintLog_Click();
    for (const FakeHost::Message& m : r.host.messages)
        std::fprintf(stderr, "message box \"%s\": %s\n", qPrintable(m.title), qPrintable(m.text));
    return r.host.messages.isEmpty() && r.d2xx.calls.isEmpty() ? 0 : 1;
}
