#include "statuslog.h"

void StatusLog::append(const QString& message)
{
    showLog(message + QStringLiteral("\r\n"));
}

void StatusLog::appendRecord(const QString& text)
{
    showLog(text);
}

void StatusLog::showLog(const QString& added)
{
    // Only an unbroken log grows in place; after a replace it comes back whole.
    const bool grows = !shown_.isEmpty() && shown_ == StatusText && !added.isEmpty();
    StatusText += added;
    shown_ = StatusText;
    host_.setText1(shown_);
    if (onNews)
        onNews(grows ? added : shown_);
}

void StatusLog::replace(const QString& text)
{
    shown_ = text;
    host_.setText1(shown_);
    if (onNews)
        onNews(shown_);
}

void StatusLog::clear(const QString& text)
{
    StatusText = text;
    replace(text);
}
