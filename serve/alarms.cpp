#include "alarms.h"
#include <algorithm>
#include <cmath>

namespace alarms {

namespace {

constexpr const char* kNames[kKinds] = {"instrument_lost", "no_picture", "audio_silence", "audio_over"};
constexpr int kBarBase = 206;   // the row every level bar stands on
constexpr double kMaxSeconds = 86400;

}   // namespace

const char* name(Kind k)
{
    return kNames[int(k)];
}

std::optional<Kind> kindNamed(const QString& n)
{
    for (int i = 0; i < kKinds; ++i)
        if (n == QLatin1String(kNames[i]))
            return Kind(i);
    return std::nullopt;
}

int Id::number() const
{
    switch (kind) {
    case Kind::InstrumentLost: return 1;
    case Kind::NoPicture: return 2;
    case Kind::AudioSilence: return 10 + bar;
    case Kind::AudioOver: return 20 + bar;
    }
    return 0;
}

QString Settings::apply(const QString& given)
{
    const QStringList parts = given.split(u':');
    const auto kind = kindNamed(parts.value(0));
    QStringList names;
    for (const char* n : kNames)
        names << QLatin1String(n);
    if (!kind)
        return QStringLiteral("--alarm %1: the name is one of %2").arg(given, names.join(QStringLiteral(", ")));
    Timing& t = timing[size_t(*kind)];
    if (parts.size() == 2 && parts[1] == u"off") {
        t.on = false;
        return {};
    }
    if (parts.size() != 3)
        return QStringLiteral("--alarm %1: give NAME:SET:CLEAR in seconds, or NAME:off").arg(given);
    qint64 ms[2];
    for (int i = 0; i < 2; ++i) {
        bool ok = false;
        const double s = parts[i + 1].toDouble(&ok);
        if (!ok || !std::isfinite(s) || s < 0 || s > kMaxSeconds)
            return QStringLiteral("--alarm %1: %2 is not a number of seconds from 0 to %3")
                .arg(given, parts[i + 1]).arg(kMaxSeconds);
        ms[i] = qint64(std::llround(s * 1000));
    }
    t = Timing{ms[0], ms[1], true};
    return {};
}

QString Settings::checkHeights() const
{
    if (silenceHeight < 0 || silenceHeight > kBarBase || overHeight < 0 || overHeight > kBarBase)
        return QStringLiteral("--silence-height and --over-height are rows from 0 to %1").arg(kBarBase);
    if (silenceHeight >= overHeight)
        return QStringLiteral("--silence-height (%1) must be below --over-height (%2)").arg(silenceHeight).arg(overHeight);
    return {};
}

Evaluator::Evaluator(Settings s) : s_(s)
{
    size_t i = 0;
    slots_[i++].id = {Kind::InstrumentLost};
    slots_[i++].id = {Kind::NoPicture};
    for (Kind k : {Kind::AudioSilence, Kind::AudioOver})
        for (int bar = 1; bar <= kBars; ++bar)
            slots_[i++].id = {k, bar};
}

Evaluator::Slot& Evaluator::slot(Kind k, int bar)
{
    switch (k) {
    case Kind::InstrumentLost: return slots_[0];
    case Kind::NoPicture: return slots_[1];
    case Kind::AudioSilence: return slots_[size_t(1 + bar)];
    case Kind::AudioOver: return slots_[size_t(1 + kBars + bar)];
    }
    return slots_[0];
}

void Evaluator::condition(qint64 now, Slot& s, bool cond)
{
    if (s.cond == cond)
        return;
    s.cond = cond;
    s.since = now;
}

void Evaluator::advance(qint64 now)
{
    // Each slot changes at most once between two inputs: its condition is
    // the same all that time.
    const size_t first = out_.size();
    for (Slot& s : slots_) {
        const Timing& t = s_.of(s.id.kind);
        if (!s.active && s.cond && t.on && now - s.since >= t.setMs) {
            s.active = true;
            s.setAt = s.since + t.setMs;
            out_.push_back({s.id, true, s.setAt, s.setAt});
            recent_.push_front({s.id, s.setAt, std::nullopt});
            if (recent_.size() > kRecent)
                recent_.pop_back();
        } else if (s.active && !s.cond && now - s.since >= t.clearMs) {
            s.active = false;
            const qint64 at = s.since + t.clearMs;
            out_.push_back({s.id, false, at, s.setAt});
            for (Record& r : recent_)
                if (r.id == s.id && !r.cleared) {
                    r.cleared = at;
                    break;
                }
        } else {
            continue;
        }
        ++transitions_;
    }
    std::stable_sort(out_.begin() + qsizetype(first), out_.end(),
                     [](const Transition& a, const Transition& b) { return a.at < b.at; });
}

void Evaluator::frame(qint64 now, const FrameFacts& f)
{
    advance(now);
    if (continuous_)
        condition(now, slot(Kind::NoPicture), !f.whole);
    // Without its mode byte a frame says nothing of the bars. The first
    // frame of a run draws the buffer's zeros as full bars: such levels
    // change nothing.
    if (f.mode >= 0 && f.mode <= 10) {
        for (int bar = 1; bar <= kBars; ++bar) {
            condition(now, slot(Kind::AudioSilence, bar), false);
            condition(now, slot(Kind::AudioOver, bar), false);
        }
    } else if (f.mode > 10 && f.levelsCount) {
        for (int bar = 1; bar <= kBars; ++bar) {
            const int height = kBarBase - f.levels[size_t(bar - 1)];
            condition(now, slot(Kind::AudioSilence, bar), height <= s_.silenceHeight);
            condition(now, slot(Kind::AudioOver, bar), height >= s_.overHeight);
        }
    }
    advance(now);
}

void Evaluator::instrument(qint64 now, bool reachable)
{
    advance(now);
    condition(now, slot(Kind::InstrumentLost), !reachable);
    advance(now);
}

void Evaluator::continuous(qint64 now, bool on)
{
    advance(now);
    if (on != continuous_)
        condition(now, slot(Kind::NoPicture), on);   // none has come yet
    continuous_ = on;
    advance(now);
}

void Evaluator::tick(qint64 now)
{
    advance(now);
}

std::vector<Transition> Evaluator::take()
{
    std::vector<Transition> t;
    t.swap(out_);
    return t;
}

std::vector<Record> Evaluator::active() const
{
    std::vector<Record> a;
    for (const Slot& s : slots_)
        if (s.active)
            a.push_back({s.id, s.setAt, std::nullopt});
    return a;
}

bool Evaluator::isActive(Id id) const
{
    return std::any_of(slots_.begin(), slots_.end(), [&](const Slot& s) { return s.id == id && s.active; });
}

}   // namespace alarms
