#pragma once
#include "link.h"
#include "outcome.h"
#include "statuslog.h"

class QPrinter;

// The instrument's error log: download, erase, print.
class ErrorLog {
public:
    ErrorLog(Link& link, StatusLog& status, Host& host);

    LogOutcome cmdGetLog_Click();
    LogOutcome cmdEraseLog_Click();
    // These two are in errorlog_print.cpp (library corva_log, with Qt's
    // print support); corva_logcore alone has the rest.
    void cmdPrintLog_Click();

    // Prints Text1 on this printer; on any failure shows the one print error
    // box and returns false.
    bool printLogOn(QPrinter& printer);

    // True once a USB step of the latest download failed.
    bool LogFailed = false;

    // Shown in the "USB Error" box for a failure that carries no number of its own.
    static constexpr int kErrUnexpected = 1099;
    static constexpr int kRecordMinBytes = 36;

private:
    void download(LogOutcome& out);
    void failLog(LogOutcome& out, Outcome::Step step, const QString& message);
    void abandonDownload(LogOutcome& out, int code);
    void showPrintError();

    Link& link_;
    StatusLog& status_;
    Host& host_;
};
