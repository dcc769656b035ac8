#include "dynamic_d2xx.h"
#include "mainwindow.h"
#include <QApplication>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    DynamicD2xx d2xx;
    Corvameter_rem w(d2xx);
    w.link.waitAsleepBeforeRead = true;   // see Link: spares the main thread FTDI's busy read wait
    w.show();
    return app.exec();
}
