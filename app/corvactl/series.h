#pragma once
// The parts of a timed capture series that need no instrument: when each
// frame is due, the index written beside the pictures, the default picture
// name, and the wait for an unplugged instrument to come back. Clocks and
// sleeps are handed in, so that the whole of it can be run on a made-up time.
#include <QDateTime>
#include <QFile>
#include <QString>
#include <QStringList>
#include <chrono>
#include <functional>
#include <optional>

namespace series {

using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

// Frame k is due at start + k x interval, reckoned from the start every time,
// so that a late frame does not push the later ones back. A frame found late
// is due at once; slots that passed meanwhile are skipped, not made up for in
// a burst. Interval zero: every frame at once. The series ends after `count`
// frames (0: no limit) or at start + `duration`, that instant excluded.
class Schedule {
public:
    struct Slot {
        long index;
        Clock::time_point due;
    };

    Schedule(Clock::time_point start, Seconds interval, long count = 0, std::optional<Seconds> duration = {});

    // The frame to take next, as seen at `now`; none when the series is over.
    std::optional<Slot> next(Clock::time_point now) const;
    // The frame of `slot` has been taken.
    void taken(const Slot& slot);
    // ... or brought no picture: its time has passed, the count is not reached.
    void skipped(const Slot& slot) { last_ = slot.index; }

    Clock::time_point due(long index) const;
    long frames() const { return frames_; }

private:
    Clock::time_point start_;
    Seconds interval_;
    long count_;
    std::optional<Clock::time_point> end_;
    long last_ = -1;
    long frames_ = 0;
};

// Local time in ISO 8601 with milliseconds and the offset from UTC:
// 2026-12-07T23:05:09.042+01:00.
QString isoTime(const QDateTime& when);

// capture's picture name when none is given: corvameter-<serial>-<YYYYMMDD-HHMMSS>.png.
// Characters a file name cannot carry everywhere become '_'; without a serial
// the name is corvameter-<YYYYMMDD-HHMMSS>.png.
QString captureName(const QString& serial, const QDateTime& when);

// DIR/index.csv, one line per picture written and one when the instrument was
// lost or came back, each line flushed as it is written: a run that is cut off
// keeps every line up to its last file. A new series replaces an older index,
// as it replaces the older pictures of the same names.
class Index {
public:
    static constexpr const char* kFileName = "index.csv";

    // Makes the file and writes the header; false with errorString() when it cannot.
    bool open(const QString& dir);
    QString errorString() const { return file_.errorString(); }
    QString path() const { return file_.fileName(); }

    // `missing` lists what the frame lacked; empty means "ok".
    bool frame(const QString& fileName, const QDateTime& when, const QString& serial, int mode,
               const QString& graticule, const QStringList& missing);
    // A frame that brought nothing of a picture: no file, what it lacked.
    bool missed(const QDateTime& when, const QString& serial, const QStringList& missing);
    bool lost(const QDateTime& when, const QString& serial);
    bool back(const QDateTime& when, const QString& serial);

private:
    // One field as CSV writes it: quoted when it holds a comma, a quote or a line end.
    static QString field(const QString& text);
    bool line(const QStringList& fields);
    QFile file_;
};

// Waits for the instrument `serial` to be listed again. `listSerials` is
// called once a second, from one second after the start on, and nothing is
// opened in between; the last listing is made when `limit` is reached.
// `sleep` waits the given time and returns false when the wait is to end
// early (Ctrl-C). True when the serial came back.
bool waitForReturn(const QString& serial, const std::function<QStringList()>& listSerials, Seconds limit,
                   const std::function<Clock::time_point()>& now,
                   const std::function<bool(Clock::duration)>& sleep);

}   // namespace series
