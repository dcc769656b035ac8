#include "alarm_desk.h"
#include "outcome.h"
#include "protocol.h"
#include "station.h"
#include <QJsonArray>
#include <cmath>
#include <cstdio>
#ifndef Q_OS_WIN
#include <sys/stat.h>
#endif

namespace {

using namespace alarms;

// Steps whose failure means the instrument did not answer as it should; a
// missing graticule or a failed close does not.
constexpr unsigned kLinkSteps = Outcome::Open | Outcome::Write | Outcome::SetTimeouts | Outcome::QueuePoll
                                | Outcome::NoAnswer | Outcome::Read | Outcome::RunTime;

// systemd names the stream it reads as JOURNAL_STREAM=DEVICE:INODE.
bool stderrIsJournal()
{
#ifdef Q_OS_WIN
    return false;
#else
    const QByteArray v = qgetenv("JOURNAL_STREAM");
    const qsizetype colon = v.indexOf(':');
    struct stat st {};
    if (colon <= 0 || fstat(2, &st) != 0)
        return false;
    bool ok1 = false, ok2 = false;
    const qulonglong dev = v.left(colon).toULongLong(&ok1), ino = v.mid(colon + 1).toULongLong(&ok2);
    return ok1 && ok2 && dev == qulonglong(st.st_dev) && ino == qulonglong(st.st_ino);
#endif
}

QString what(const Id& id)
{
    return id.bar ? QStringLiteral("%1 bar %2").arg(QLatin1String(name(id.kind))).arg(id.bar)
                  : QString::fromLatin1(name(id.kind));
}

// Text from the instrument, one line of ours: no control characters.
QString printable(QString s)
{
    for (QChar& c : s)
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            c = u' ';
    return s.trimmed();
}

}   // namespace

AlarmDesk::AlarmDesk(Station& station, const AlarmPlan& plan, QObject* parent)
    : QObject(parent), station_(station), e_(plan.settings), journal_(stderrIsJournal())
{
    clock_.start();
    wallAtZero_ = QDateTime::currentMSecsSinceEpoch();
    connect(&station_, &Station::framed, this, &AlarmDesk::framed);
    connect(&station_, &Station::exchanged, this, &AlarmDesk::exchanged);
    connect(&station_, &Station::looked, this, [this](bool attached) {
        e_.instrument(now(), attached);
        publish();
    });
    connect(&station_, &Station::logRead, this, &AlarmDesk::logRead);
    connect(&station_, &Station::changed, this, [this] {
        e_.continuous(now(), station_.continuousWanted());
        publish();
    });
    tick_.setInterval(kTickMs);
    connect(&tick_, &QTimer::timeout, this, [this] {
        e_.tick(now());
        publish();
    });
    tick_.start();
    if (plan.logEveryMinutes > 0) {
        logTimer_.setInterval(int(std::lround(plan.logEveryMinutes * 60000)));
        connect(&logTimer_, &QTimer::timeout, &station_, &Station::readLog);
        logTimer_.start();
    }
}

QDateTime AlarmDesk::wall(qint64 at) const
{
    return QDateTime::fromMSecsSinceEpoch(wallAtZero_ + at, Qt::UTC);
}

QString AlarmDesk::iso(const QDateTime& t)
{
    return t.toUTC().toString(Qt::ISODateWithMs);
}

void AlarmDesk::framed(const FrameOutcome& f, const std::array<uint8_t, kBars>& levels)
{
    FrameFacts ff;
    ff.mode = f.displayMode;
    ff.levels = levels;
    ff.whole = f.blocks == protocol::kScreenBlocks && f.shortBlocks == 0 && !(f.failed & kLinkSteps);
    // The bars are drawn from what the frame before left in the buffer.
    ff.levelsCount = previousWhole_;
    previousWhole_ = ff.whole;
    e_.frame(now(), ff);
    if (f.displayMode >= 0) {
        if (mode_ >= 0 && f.displayMode != mode_)
            note(QStringLiteral("display_mode"), {{"mode", f.displayMode}, {"from", mode_}},
                 QStringLiteral("display mode %1 (was %2)").arg(f.displayMode).arg(mode_));
        mode_ = f.displayMode;
        for (int i = 0; i < kBars; ++i)
            levels_[size_t(i)] = ff.levelsCount && protocol::isAudioMode(mode_) ? levels[size_t(i)] : -1;
    }
    publish();
}

void AlarmDesk::exchanged(const Outcome& o)
{
    e_.instrument(now(), !(o.failed & kLinkSteps));
    publish();
}

void AlarmDesk::logRead(int records, const QString& text)
{
    // The log came through the same buffer: the next frame's bars show its bytes.
    previousWhole_ = false;
    // The log's own lines, without the end line the download adds.
    QStringList lines = text.split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
    if (!lines.isEmpty() && lines.last().contains(QLatin1String("End of Log")))
        lines.removeLast();
    // An erased log starts over: only what it gains from then on counts.
    if (logRecords_ >= 0 && records > logRecords_)
        for (const QString& l : lines.mid(std::max<qsizetype>(0, lines.size() - (records - logRecords_))))
            note(QStringLiteral("log_entry"), {{"text", printable(l)}}, QStringLiteral("log entry: %1").arg(printable(l)));
    logRecords_ = records;
    publish();
}

void AlarmDesk::note(const QString& name, const QJsonObject& detail, const QString& line)
{
    const AlarmEvent ev{name, now(), detail};
    events_.push_front(ev);
    if (events_.size() > kEvents)
        events_.pop_back();
    ++eventCounts_[name];
    json_ = {};
    std::fprintf(stderr, "%scorvactl: %s\n", journal_ ? "<5>" : "", qPrintable(line));
    emit event(ev);
    emit changed();
}

void AlarmDesk::publish()
{
    const std::vector<Transition> done = e_.take();
    for (const Transition& t : done) {
        // Raised: a warning; cleared: a notice, for the journal's priorities.
        if (t.set)
            std::fprintf(stderr, "%scorvactl: alarm set: %s since %s\n", journal_ ? "<4>" : "", qPrintable(what(t.id)),
                         qPrintable(iso(wall(t.at))));
        else
            std::fprintf(stderr, "%scorvactl: alarm cleared: %s at %s, set since %s\n", journal_ ? "<5>" : "",
                         qPrintable(what(t.id)), qPrintable(iso(wall(t.at))), qPrintable(iso(wall(t.since))));
        emit transition(t);
    }
    if (!done.empty()) {
        json_ = {};
        std::fflush(stderr);
        emit changed();
    }
}

const QJsonObject& AlarmDesk::json() const
{
    if (!json_.isEmpty())
        return json_;
    const auto named = [](const Id& id) {
        QJsonObject o{{"name", QLatin1String(name(id.kind))}};
        if (id.bar)
            o.insert("bar", id.bar);
        return o;
    };
    QJsonArray active, recent, events;
    for (const Record& r : e_.active()) {
        QJsonObject o = named(r.id);
        o.insert("since", iso(wall(r.set)));
        active.append(o);
    }
    for (const Record& r : e_.recent()) {
        QJsonObject o = named(r.id);
        o.insert("set", iso(wall(r.set)));
        o.insert("cleared", r.cleared ? QJsonValue(iso(wall(*r.cleared))) : QJsonValue());
        recent.append(o);
    }
    for (const AlarmEvent& ev : events_) {
        QJsonObject o = ev.detail;
        o.insert("name", ev.name);
        o.insert("time", iso(wall(ev.at)));
        events.append(o);
    }
    json_ = QJsonObject{{"active", active}, {"recent", recent}, {"events", events}};
    return json_;
}

QByteArray AlarmDesk::metrics() const
{
    QByteArray m;
    m += "# HELP corvameter_alarm Whether the alarm is active (1) or not (0); alarms turned off are left out.\n"
         "# TYPE corvameter_alarm gauge\n";
    for (int k = 0; k < kKinds; ++k) {
        if (!e_.settings().of(Kind(k)).on)
            continue;
        for (int bar = perBar(Kind(k)) ? 1 : 0; bar <= (perBar(Kind(k)) ? kBars : 0); ++bar) {
            m += QByteArray("corvameter_alarm{alarm=\"") + name(Kind(k)) + '"';
            if (bar)
                m += ",bar=\"" + QByteArray::number(bar) + '"';
            m += "} " + QByteArray(e_.isActive({Kind(k), bar}) ? "1" : "0") + '\n';
        }
    }
    m += "# HELP corvameter_alarm_transitions_total Alarms set or cleared since the server started.\n"
         "# TYPE corvameter_alarm_transitions_total counter\n"
         "corvameter_alarm_transitions_total " + QByteArray::number(e_.transitions()) + '\n';
    m += "# HELP corvameter_events_total One-off events since the server started.\n"
         "# TYPE corvameter_events_total counter\n";
    for (const char* n : {"display_mode", "log_entry"}) {
        const auto it = eventCounts_.find(QString::fromLatin1(n));
        m += QByteArray("corvameter_events_total{event=\"") + n + "\"} "
             + QByteArray::number(it == eventCounts_.end() ? 0 : it->second) + '\n';
    }
    return m;
}
