// "Print Log", kept apart from the download and erase so that a program
// without a printer (corvactl) links the log without Qt's print support.
#include "errorlog.h"
#include "printlog.h"
#include "spooler.h"
#include <QPrinter>
#include <QPrinterInfo>

void ErrorLog::cmdPrintLog_Click()
{
    bool ok = false;
    try {
        // The default printer, if the spooler would print on it now.
        const QString name = spooler::readyDefaultPrinter(QPrinterInfo::defaultPrinterName());
        const QPrinterInfo info = QPrinterInfo::printerInfo(name);
        if (!name.isEmpty() && !info.isNull()) {
            QPrinter printer(info, QPrinter::HighResolution);
            if (printer.isValid()) {
                const spooler::JobWatch job(name);
                if (!printLogOn(printer))
                    return;   // the box has been shown
                ok = !job.lost();
            }
        }
    } catch (const std::exception&) {
    }
    if (!ok)
        showPrintError();
}

bool ErrorLog::printLogOn(QPrinter& printer)
{
    bool ok = false;
    try {
        // Whatever part of the document was made is dropped, not sent.
        ok = printLogDocument(printer, host_.text1(), [&printer] { printer.abort(); });
    } catch (const std::exception&) {
    }
    if (!ok)
        showPrintError();
    return ok;
}

void ErrorLog::showPrintError()
{
    host_.showMessage(QStringLiteral("Can't find a Printer"), QStringLiteral("Print Error"), Host::Icon::Exclamation);
}
