#include "logrecord.h"
#include <algorithm>

namespace {
constexpr int kScanLimit = 40;

// 1-based; anything past the buffer reads as an empty character.
int at(const std::array<uint8_t, 50>& line, int pos)
{
    return pos >= 1 && pos <= int(line.size()) ? line[size_t(pos - 1)] : -1;
}
}

LogRecord parseLogRecord(const std::array<uint8_t, 50>& line)
{
    LogRecord r;
    int s = 1;
    while (at(line, s) != ' ') {
        if (++s > kScanLimit)
            break;
    }
    r.start = s;
    r.endMarker = at(line, s + 1) == 'E';

    int l = s + 30;
    while (at(line, l) != '\n') {
        if (++l > kScanLimit)
            break;
    }
    r.end = l;

    const int last = std::min(l, int(line.size()));
    if (last >= s)
        r.text = QByteArray(reinterpret_cast<const char*>(line.data()) + (s - 1), last - s + 1);
    return r;
}

QString logDisplayLine(int index, const QByteArray& text)
{
    if (index >= kLastLogRecord)
        return {};
    const QString t = QString::fromLatin1(text);
    if (index < 4)
        return t;
    return QString::number(index - 3) + QStringLiteral(": ") + t;
}
