#pragma once
// The alarms of one instrument: conditions that must hold for a set time
// before an alarm is raised and be gone for a clear time before it is
// cleared, so that a flickering condition raises nothing. Pure logic on the
// caller's clock: every input comes with the time it happened (milliseconds
// on a clock that does not jump), and nothing here waits or reads a clock.
#include <QString>
#include <QStringList>
#include <array>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

namespace alarms {

enum class Kind { InstrumentLost, NoPicture, AudioSilence, AudioOver };
constexpr int kKinds = 4;
constexpr int kBars = 4;

// The name as the options, the API, the metrics and the MIB spell it.
const char* name(Kind k);
std::optional<Kind> kindNamed(const QString& name);
// Audio alarms come one per bar, the others alone.
constexpr bool perBar(Kind k) { return k == Kind::AudioSilence || k == Kind::AudioOver; }

struct Timing {
    qint64 setMs = 0, clearMs = 0;
    bool on = true;
};

struct Settings {
    std::array<Timing, kKinds> timing{{{5000, 5000}, {5000, 5000}, {10000, 3000}, {1000, 3000}}};
    // A bar's height is 206 minus its level value, in rows.
    int silenceHeight = 2;     // at most this: silence
    int overHeight = 190;      // at least this: over; row 16, the top of every audio scale we draw
    const Timing& of(Kind k) const { return timing[size_t(k)]; }

    // "NAME:SET:CLEAR" in seconds, or "NAME:off"; an empty string when taken,
    // else why not.
    QString apply(const QString& given);
    // Heights in rows, 0 to 206, silence below over; empty when fine.
    QString checkHeights() const;
};

// One alarm: a kind, and for the audio ones the bar 1 to 4 (else 0).
struct Id {
    Kind kind;
    int bar = 0;
    bool operator==(const Id&) const = default;
    // 1 and 2 for the single ones, 11 to 14 silence and 21 to 24 over: the
    // row of the alarm table in the MIB.
    int number() const;
};

struct Transition {
    Id id;
    bool set;          // raised, or cleared
    qint64 at;         // when its time ran out, on the caller's clock
    qint64 since;      // when it was raised (for a clear: the raise it ends)
};

// A raise, with its clear once it came.
struct Record {
    Id id;
    qint64 set;
    std::optional<qint64> cleared;
};

// One frame of the screen as the server saw it.
struct FrameFacts {
    int mode = -1;                       // the display mode; -1 when its byte did not come
    std::array<uint8_t, kBars> levels{}; // as drawn with this frame
    bool whole = false;                  // every block came whole
    bool levelsCount = false;            // the levels came with a whole frame before this one
};

class Evaluator {
public:
    explicit Evaluator(Settings s = {});
    const Settings& settings() const { return s_; }

    // The inputs; each first brings due transitions up to `now`.
    void frame(qint64 now, const FrameFacts& f);
    // A presence check or an exchange: whether the instrument is there and
    // answers.
    void instrument(qint64 now, bool reachable);
    // Whether a continuous download is wanted (running, or waiting to start
    // again after a loss).
    void continuous(qint64 now, bool on);
    // Time passing.
    void tick(qint64 now);

    // The transitions since the last call, oldest first.
    std::vector<Transition> take();
    // Active alarms with their raise times, in the order of kind and bar.
    std::vector<Record> active() const;
    // The latest raises, newest first, at most kRecent.
    const std::deque<Record>& recent() const { return recent_; }
    long long transitions() const { return transitions_; }
    bool isActive(Id id) const;

    static constexpr size_t kRecent = 50;
    static constexpr size_t kSlots = 2 + 2 * kBars;

private:
    struct Slot {
        Id id;
        bool cond = false;
        qint64 since = 0;   // when cond last changed
        bool active = false;
        qint64 setAt = 0;
    };
    Slot& slot(Kind k, int bar = 0);
    void condition(qint64 now, Slot& s, bool cond);
    void advance(qint64 now);

    Settings s_;
    std::array<Slot, kSlots> slots_;
    bool continuous_ = false;
    std::vector<Transition> out_;
    std::deque<Record> recent_;
    long long transitions_ = 0;
};

}   // namespace alarms
