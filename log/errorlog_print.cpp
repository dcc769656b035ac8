// "Print Log", kept apart from the download and erase so that a program
// without a printer (corvactl) links the log without Qt's print support.
#include "errorlog.h"
#include "printlog.h"
#include <QPrinter>
#include <QPrinterInfo>

void ErrorLog::cmdPrintLog_Click()
{
    try {
        const QPrinterInfo info = QPrinterInfo::defaultPrinter();
        if (!info.isNull()) {
            QPrinter printer(info, QPrinter::HighResolution);
            if (printer.isValid()) {
                printLogOn(printer);
                return;
            }
        }
    } catch (const std::exception&) {
    }
    host_.showMessage(QStringLiteral("Can't find a Printer"), QStringLiteral("Print Error"), Host::Icon::Exclamation);
}

void ErrorLog::printLogOn(QPrinter& printer)
{
    bool ok = false;
    try {
        // Whatever part of the document was made is dropped, not sent.
        ok = printLogDocument(printer, host_.text1(), [&printer] { printer.abort(); });
    } catch (const std::exception&) {
    }
    if (ok)
        return;
    host_.showMessage(QStringLiteral("Can't find a Printer"), QStringLiteral("Print Error"), Host::Icon::Exclamation);
}
