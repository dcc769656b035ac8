#include "errorlog.h"
#include "logrecord.h"
#include "protocol.h"

ErrorLog::ErrorLog(State& state, Link& link, Host& host) : state_(state), link_(link), host_(host) {}

void ErrorLog::cmdGetLog_Click()
{
    try {
        download();
    } catch (const D2xxError& e) {
        abandonDownload(e.code());
    } catch (const std::exception&) {
        abandonDownload(kErrUnexpected);
    }
}

void ErrorLog::failLog(const QString& message)
{
    state_.StatusText = message;
    LogFailed = true;
}

void ErrorLog::download()
{
    link_.Open_USB();
    LogFailed = false;
    host_.setText1(QString());
    state_.StatusText.clear();
    host_.setBusyPointer(true);

    link_.Send_byte_to_USB(protocol::kLogStart);
    link_.Wait_ms(200);

    for (int i = 0; i <= kLastLogRecord; ++i) {
        link_.Send_byte_to_USB(protocol::kLogRecord);
        if (link_.setTimeouts() != FT_OK) {
            failLog(QStringLiteral("USB SetTimeout Failed"));
            break;
        }
        // A count left by an earlier poll (of this download or a screen
        // download) may already be enough: then the read's time-out does the
        // waiting. A record that stopped short is read as it is.
        const Link::QueueWait wait = link_.waitForQueue(kRecordMinBytes, [this] {
            failLog(QStringLiteral("USB Queue Read Failed"));
            return false;
        });
        if (LogFailed)
            break;
        if (wait.arrived <= 0) {
            failLog(QStringLiteral("No answer from the Corvameter: log download stopped"));
            break;
        }
        // The link takes at most 50 bytes; anything more stays queued in the
        // driver and arrives at the start of the next record's read.
        if (link_.readLogLine(wait.arrived) != FT_OK) {
            failLog(QStringLiteral("Log Read Failed"));
            break;
        }
        const LogRecord rec = parseLogRecord(state_.LogLine);
        if (rec.endMarker)
            i = kLastLogRecord;
        state_.StatusText += logDisplayLine(i, rec.text);
        host_.setText1(state_.StatusText);
        link_.Wait_ms(10);
    }

    if (LogFailed)
        host_.setText1(state_.StatusText);
    else
        host_.setText1(state_.StatusText + QStringLiteral("-------- End of Log --------"));

    if (link_.close() != FT_OK)
        host_.setText1(state_.StatusText + QStringLiteral("\r\nUSB Close Failed"));
    host_.setBusyPointer(false);
}

void ErrorLog::abandonDownload(int code)
{
    host_.showMessage(QString::number(code), QStringLiteral("USB Error"), Host::Icon::None);
    FT_STATUS st = FT_IO_ERROR;
    try {
        st = link_.close();
    } catch (const std::exception&) {
        // The close fails the same way the rest did; say so below.
    }
    if (st != FT_OK)
        host_.setText1(QStringLiteral("USB Close Failed"));
    host_.setBusyPointer(false);
}

void ErrorLog::cmdEraseLog_Click()
{
    link_.Open_USB();
    state_.StatusText = QStringLiteral("Connecting to Corvameter\r\n");
    host_.setText1(state_.StatusText);
    link_.Send_byte_to_USB(protocol::kLogErase);
    link_.appendStatus(QStringLiteral("Erase command sent"));
    if (link_.close() != FT_OK)
        host_.setText1(QStringLiteral("Close Failed"));
}
