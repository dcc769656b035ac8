#include "dynamic_d2xx.h"
#include "mainwindow.h"
#include <QApplication>

int main(int argc, char** argv)
{
    // The program takes no arguments, and Qt's own options (-style,
    // -stylesheet, -qwindowtitle, -platform ...) are no way around that:
    // the toolkit sees the program name alone.
    char name[] = "corvameter-remote";
    char* args[] = {argc > 0 && argv[0] ? argv[0] : name, nullptr};
    int count = 1;
    QApplication app(count, args);
    DynamicD2xx d2xx;
    Corvameter_rem w(d2xx);
    w.link.waitAsleepBeforeRead = true;   // see Link: spares the main thread FTDI's busy read wait
    w.show();
    return app.exec();
}
