#include "series.h"
#include <QDir>
#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace series {

namespace {
// Past a few decades a time is "never": kept in range of the clock's ticks.
Clock::duration ticks(Seconds s)
{
    return std::chrono::round<Clock::duration>(std::min(s, Seconds(1e9)));
}
}   // namespace

Schedule::Schedule(Clock::time_point start, Seconds interval, long count, std::optional<Seconds> duration)
    : start_(start), interval_(interval), count_(count)
{
    if (duration)
        end_ = start + ticks(*duration);
}

Clock::time_point Schedule::due(long index) const
{
    return start_ + ticks(interval_ * static_cast<double>(index));
}

std::optional<Schedule::Slot> Schedule::next(Clock::time_point now) const
{
    if ((count_ > 0 && frames_ >= count_) || (end_ && now >= *end_))
        return std::nullopt;
    long index = last_ + 1;
    if (interval_.count() > 0 && due(index) <= now) {
        // Late: the latest slot already due, found by division and set right
        // where rounding put it one off.
        long passed = static_cast<long>(std::floor(Seconds(now - start_) / interval_));
        while (due(passed + 1) <= now)
            ++passed;
        while (due(passed) > now)
            --passed;
        index = std::max(index, passed);
    }
    const Clock::time_point at = due(index);
    if (end_ && at >= *end_)
        return std::nullopt;
    return Slot{index, at};
}

void Schedule::taken(const Slot& slot)
{
    last_ = slot.index;
    ++frames_;
}

QString isoTime(const QDateTime& when)
{
    const int offset = when.offsetFromUtc();
    const int minutes = std::abs(offset) / 60;
    return when.toString(u"yyyy-MM-dd'T'HH:mm:ss.zzz") + QChar(offset < 0 ? u'-' : u'+') +
           QStringLiteral("%1:%2").arg(minutes / 60, 2, 10, QChar(u'0')).arg(minutes % 60, 2, 10, QChar(u'0'));
}

QString captureName(const QString& serial, const QDateTime& when)
{
    QString safe = serial;
    for (QChar& c : safe)
        if (!(c.isLetterOrNumber() && c.unicode() < 128) && c != u'-' && c != u'_' && c != u'.')
            c = u'_';
    const QString stamp = when.toString(u"yyyyMMdd-HHmmss");
    return safe.isEmpty() ? QStringLiteral("corvameter-%1.png").arg(stamp)
                          : QStringLiteral("corvameter-%1-%2.png").arg(safe, stamp);
}

bool Index::open(const QString& dir)
{
    file_.setFileName(QDir(dir).filePath(QString::fromLatin1(kFileName)));
    return file_.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           line({QStringLiteral("file"), QStringLiteral("time"), QStringLiteral("serial"), QStringLiteral("mode"),
                 QStringLiteral("graticule"), QStringLiteral("outcome")});
}

bool Index::frame(const QString& fileName, const QDateTime& when, const QString& serial, int mode,
                  const QString& graticule, const QStringList& missing)
{
    return line({fileName, isoTime(when), serial, QString::number(mode), graticule,
                 missing.isEmpty() ? QStringLiteral("ok") : missing.join(QStringLiteral("; "))});
}

bool Index::missed(const QDateTime& when, const QString& serial, const QStringList& missing)
{
    return line({{}, isoTime(when), serial, {}, {}, missing.join(QStringLiteral("; "))});
}

bool Index::lost(const QDateTime& when, const QString& serial)
{
    return line({{}, isoTime(when), serial, {}, {}, QStringLiteral("instrument lost")});
}

bool Index::back(const QDateTime& when, const QString& serial)
{
    return line({{}, isoTime(when), serial, {}, {}, QStringLiteral("instrument back")});
}

QString Index::field(const QString& text)
{
    if (!text.contains(u',') && !text.contains(u'"') && !text.contains(u'\n') && !text.contains(u'\r'))
        return text;
    return u'"' + QString(text).replace(u'"', QStringLiteral("\"\"")) + u'"';
}

bool Index::line(const QStringList& fields)
{
    QStringList quoted;
    for (const QString& f : fields)
        quoted << field(f);
    const QByteArray bytes = (quoted.join(u',') + u'\n').toUtf8();
    // Flushed line by line: a run cut off keeps what it wrote.
    return file_.write(bytes) == bytes.size() && file_.flush();
}

bool waitForReturn(const QString& serial, const std::function<QStringList()>& listSerials, Seconds limit,
                   const std::function<Clock::time_point()>& now, const std::function<bool(Clock::duration)>& sleep)
{
    const Clock::time_point start = now();
    const Clock::time_point end = start + ticks(limit);
    for (long k = 1;; ++k) {
        // On a one-second grid from the start, so slow listings do not stretch it.
        Clock::time_point at = start + std::chrono::seconds(k);
        const bool last = at >= end;
        if (last)
            at = end;
        const Clock::time_point t = now();
        if (at > t && !sleep(at - t))
            return false;
        if (listSerials().contains(serial))
            return true;
        if (last)
            return false;
    }
}

}   // namespace series
