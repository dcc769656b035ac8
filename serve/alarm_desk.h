#pragma once
// The alarms of the served instrument: fed by the station's frames,
// exchanges and presence checks, ticked by a timer, it keeps the evaluator,
// the one-off events (log entries, display mode changes), the counts for the
// metrics, and writes a line per transition on standard error.
#include "alarms.h"
#include <QByteArray>
#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QObject>
#include <QTimer>
#include <array>
#include <deque>
#include <map>

class Station;
struct FrameOutcome;
struct Outcome;

struct AlarmPlan {
    alarms::Settings settings;
    double logEveryMinutes = 0;   // 0: the server reads the log only when asked
};

// One event: no state, only a time.
struct AlarmEvent {
    QString name;   // log_entry, display_mode
    qint64 at;      // on the desk's clock
    QJsonObject detail;
};

class AlarmDesk : public QObject {
    Q_OBJECT
public:
    AlarmDesk(Station& station, const AlarmPlan& plan, QObject* parent = nullptr);

    // {"active": [...], "recent": [...], "events": [...]}; made again only
    // when an alarm or an event changed it, not for every frame's state.
    const QJsonObject& json() const;
    // corvameter_alarm and its transitions, the events, in Prometheus' text format.
    QByteArray metrics() const;
    const alarms::Evaluator& evaluator() const { return e_; }

    // The latest frame's display mode (-1 before one) and levels (-1 while
    // they do not count).
    int displayMode() const { return mode_; }
    std::array<int, alarms::kBars> levels() const { return levels_; }

    // The desk's clock as UTC.
    QDateTime wall(qint64 at) const;
    static QString iso(const QDateTime& t);

    static constexpr size_t kEvents = 50;
    static constexpr int kTickMs = 200;

signals:
    // An alarm set or cleared.
    void transition(const alarms::Transition& t);
    void event(const AlarmEvent& e);
    // What the page and the API show has changed.
    void changed();

private:
    qint64 now() const { return clock_.elapsed(); }
    void framed(const FrameOutcome& f, const std::array<uint8_t, alarms::kBars>& levels);
    void exchanged(const Outcome& o);
    void logRead(int records, const QString& text);
    void publish();
    void note(const QString& name, const QJsonObject& detail, const QString& line);

    Station& station_;
    alarms::Evaluator e_;
    QElapsedTimer clock_;
    qint64 wallAtZero_;
    QTimer tick_, logTimer_;
    bool previousWhole_ = false;   // the frame before filled the buffer the levels come from
    int mode_ = -1;
    std::array<int, alarms::kBars> levels_{-1, -1, -1, -1};
    int logRecords_ = -1;          // at the last log read; -1 before one
    std::deque<AlarmEvent> events_;
    std::map<QString, long long> eventCounts_;
    bool journal_ = false;         // standard error is the journal: priority prefixes
    mutable QJsonObject json_;     // empty when it must be made again
};
