#include "errorlog.h"
#include "logrecord.h"
#include "protocol.h"

ErrorLog::ErrorLog(Link& link, StatusLog& status, Host& host) : link_(link), status_(status), host_(host) {}

LogOutcome ErrorLog::cmdGetLog_Click()
{
    LogOutcome out;
    const int writesFailed = link_.failedWrites;
    try {
        download(out);
    } catch (const D2xxError& e) {
        abandonDownload(out, e.code());
    } catch (const std::exception&) {
        abandonDownload(out, kErrUnexpected);
    }
    if (link_.failedWrites != writesFailed)
        out.fail(Outcome::Write);
    return out;
}

void ErrorLog::failLog(LogOutcome& out, Outcome::Step step, const QString& message)
{
    status_.set(message);
    LogFailed = true;
    out.fail(step);
}

void ErrorLog::download(LogOutcome& out)
{
    out.open = link_.Open_USB();
    if (!out.open.ok())
        out.fail(Outcome::Open);
    LogFailed = false;
    status_.clear();
    host_.setBusyPointer(true);

    link_.Send_byte_to_USB(protocol::kLogStart);
    link_.Wait_ms(200);

    for (int i = 0; i <= kLastLogRecord; ++i) {
        link_.Send_byte_to_USB(protocol::kLogRecord);
        if (link_.setTimeouts() != FT_OK) {
            failLog(out, Outcome::SetTimeouts, QStringLiteral("USB SetTimeout Failed"));
            break;
        }
        // A count left by an earlier poll (of this download or a screen
        // download) may already be enough: then the read's time-out does the
        // waiting. A record that stopped short is read as it is.
        const Link::QueueWait wait = link_.waitForQueue(kRecordMinBytes, [&] {
            failLog(out, Outcome::QueuePoll, QStringLiteral("USB Queue Read Failed"));
            return false;
        });
        if (LogFailed)
            break;
        if (wait.arrived <= 0) {
            failLog(out, Outcome::NoAnswer, QStringLiteral("No answer from the Corvameter: log download stopped"));
            break;
        }
        // The link takes at most 50 bytes; anything more stays queued in the
        // driver and arrives at the start of the next record's read.
        if (link_.readLogLine(wait.arrived) != FT_OK) {
            failLog(out, Outcome::Read, QStringLiteral("Log Read Failed"));
            break;
        }
        const LogRecord rec = parseLogRecord(link_.LogLine);
        if (rec.endMarker)
            i = kLastLogRecord;
        const QString line = logDisplayLine(i, rec.text);
        status_.appendRecord(line);
        if (!line.isEmpty())
            ++out.records;
        link_.Wait_ms(10);
    }

    if (LogFailed) {
        status_.show();
    } else {
        out.ended = true;
        status_.replace(status_.StatusText + QStringLiteral("-------- End of Log --------"));
    }

    if (link_.close() != FT_OK) {
        out.fail(Outcome::Close);
        status_.replace(status_.StatusText + QStringLiteral("\r\nUSB Close Failed"));
    }
    host_.setBusyPointer(false);
}

void ErrorLog::abandonDownload(LogOutcome& out, int code)
{
    out.fail(Outcome::RunTime);
    out.runTimeError = code;
    host_.showMessage(QString::number(code), QStringLiteral("USB Error"), Host::Icon::None);
    FT_STATUS st = FT_IO_ERROR;
    try {
        st = link_.close();
    } catch (const std::exception&) {
        // The close fails the same way the rest did; say so below.
    }
    if (st != FT_OK) {
        out.fail(Outcome::Close);
        status_.replace(QStringLiteral("USB Close Failed"));
    }
    host_.setBusyPointer(false);
}

LogOutcome ErrorLog::cmdEraseLog_Click()
{
    LogOutcome out;
    out.open = link_.Open_USB();
    if (!out.open.ok())
        out.fail(Outcome::Open);
    status_.clear(QStringLiteral("Connecting to Corvameter\r\n"));
    const int writesFailed = link_.failedWrites;
    link_.Send_byte_to_USB(protocol::kLogErase);
    if (link_.failedWrites != writesFailed)
        out.fail(Outcome::Write);
    status_.append(QStringLiteral("Erase command sent"));
    if (link_.close() != FT_OK) {
        out.fail(Outcome::Close);
        status_.replace(QStringLiteral("Close Failed"));
    }
    return out;
}
