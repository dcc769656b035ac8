#include "statuslines.h"

QStringList statusLines(const QString& text)
{
    QStringList lines = text.split(QStringLiteral("\r\n"));
    for (QString& line : lines) {
        line.remove(QChar(u'\r'));
        line.remove(QChar(u'\n'));
        line.remove(QChar(u'\0'));
    }
    return lines;
}
