#include "watch.h"
#include "console.h"
#include "protocol.h"
#include "series.h"
#include <QDir>
#include <algorithm>
#include <cstdio>
#include <utility>

namespace {

using series::Clock;

// What a frame lacked, in the index's words; empty when it came whole.
QStringList missingFrom(const FrameOutcome& f, bool writeFailed)
{
    QStringList m;
    if (f.displayMode < 0)
        m << QStringLiteral("no display mode");
    if (f.blocks < ScreenCapture::kBlocks)
        m << QStringLiteral("%1 of %2 blocks").arg(f.blocks).arg(ScreenCapture::kBlocks);
    if (f.shortBlocks)
        m << QStringLiteral("%1 short").arg(f.shortBlocks);
    if (f.failedAt(Outcome::Graticule))
        m << QStringLiteral("no graticule");
    if (writeFailed || f.failedAt(Outcome::Write))
        m << QStringLiteral("a command not sent");
    if (f.failedAt(Outcome::Close))
        m << QStringLiteral("close failed");
    return m;
}

class Watch {
public:
    Watch(Console& c, const WatchPlan& plan)
        : c_(c), plan_(plan), screen_(c.session.screen), link_(c.session.link),
          schedule_(Clock::now(), series::Seconds(plan.interval.value_or(0)), plan.count,
                    plan.duration ? std::optional<series::Seconds>(*plan.duration) : std::nullopt)
    {
    }

    int run()
    {
        if (!QDir().mkpath(plan_.dir)) {
            err(QStringLiteral("cannot make folder %1").arg(plan_.dir));
            return kFailed;
        }
        if (!index_.open(plan_.dir)) {
            err(QStringLiteral("cannot write %1: %2").arg(index_.path(), index_.errorString()));
            return kFailed;
        }
        if (!catchStopSignals([this] {
                stopping_ = true;
                screen_.cmdStop_Click();
            })) {
            err(QStringLiteral("cannot catch Ctrl-C"));
            return kFailed;
        }
        serial_ = QString::fromLatin1(link_.serialWanted);
        for (;;) {
            const bool lost = plan_.interval ? timed() : continuous();
            if (failed_)
                return kFailed;
            if (!lost || stopping_)
                return kOk;
            if (const int code = lose(); code >= 0)
                return code;
        }
    }

private:
    // Frames as the continuous download brings them. True when the
    // instrument went away.
    bool continuous()
    {
        bool priming = !plan_.single;   // the first frame's bars have no levels yet (see capture)
        int writesFailed = link_.failedWrites;
        bool again = false;   // a shifted frame: the download starts over
        screen_.onFrame = [&](const FrameOutcome& f) {
            const bool writeFailed = link_.failedWrites != writesFailed;
            writesFailed = link_.failedWrites;
            if (f.instrumentGone() || stopping_)
                return;
            noteSerial({Link::OpenOutcome::Opened, FT_OK, QByteArray(link_.SerialNumber.data())});
            if (!(std::exchange(priming, false) && protocol::isAudioMode(screen_.DisplayMode))) {
                const auto slot = schedule_.next(Clock::now());
                if (!slot || !store(*slot, QDateTime::currentDateTime(), f, writeFailed) || !schedule_.next(Clock::now())) {
                    screen_.cmdStop_Click();
                    return;
                }
            }
            // What is missing would come ahead of every later block: a fresh
            // open starts the stream clean.
            if (f.shortBlocks) {
                again = true;
                screen_.cmdStop_Click();
            }
        };
        ContinuousOutcome run;
        do {
            again = false;
            run = screen_.cmdContinuous_Click();
        } while (again && !stopping_ && !failed_ && !run.instrumentGone());
        screen_.onFrame = nullptr;
        lost_ = run;
        return !stopping_ && !failed_ && schedule_.next(Clock::now());
    }

    // One frame at each due time, each through its own open and close, as
    // capture takes it. True when the instrument went away.
    bool timed()
    {
        while (!stopping_) {
            const auto slot = schedule_.next(Clock::now());
            if (!slot)
                return false;
            if (!pause(slot->due - Clock::now()))
                return false;
            const int writesFailed = link_.failedWrites;
            const QDateTime asked = QDateTime::currentDateTime();
            const FrameOutcome f = c_.picture(plan_.single);
            lost_ = f;
            noteSerial(f.open);
            if (f.instrumentGone())
                return true;
            if (!store(*slot, asked, f, link_.failedWrites != writesFailed))
                return false;
        }
        return false;
    }

    void noteSerial(const Link::OpenResult& open)
    {
        // From the first open on, the series keeps to that instrument.
        if (open.ok() && serial_.isEmpty()) {
            serial_ = QString::fromLatin1(open.serial);
            link_.serialWanted = open.serial;
        }
    }

    // The picture of `slot` and its line in the index; a frame with nothing
    // of a picture in it, or a shifted one, gets its line only, and does not count. False when
    // a file could not be written. `when` is the frame's time in the index:
    // when it was asked for in a timed series, so that the index shows the
    // schedule and not how long each exchange took; when it came in a
    // continuous one.
    bool store(const series::Schedule::Slot& slot, const QDateTime& when, const FrameOutcome& f, bool writeFailed)
    {
        // Nothing of a picture, or one shifted by a block that stopped short.
        if ((f.displayMode < 0 && f.blocks == 0) || f.shortBlocks) {
            schedule_.skipped(slot);
            return note(index_.missed(when, serial_, missingFrom(f, writeFailed)));
        }
        schedule_.taken(slot);
        const QString name = QStringLiteral("frame-%1.%2")
                                 .arg(written_ + 1, 6, 10, QChar(u'0'))
                                 .arg(QString::fromLatin1(plan_.format));
        const QString path = QDir(plan_.dir).filePath(name);
        if (!writeAtomically(path, encode(c_.session.surface.image(), plan_.format))) {
            failed_ = true;
            return false;
        }
        ++written_;
        const int mode = screen_.DisplayMode;
        const char* graticule = protocol::graticuleFile(mode);
        if (!note(index_.frame(name, when, serial_, mode,
                               graticule ? QString::fromLatin1(graticule) : QString(), missingFrom(f, writeFailed))))
            return false;
        std::fputs(qPrintable(QDir::toNativeSeparators(path) + u'\n'), stdout);
        std::fflush(stdout);
        return true;
    }

    // An index line written, or the series failed.
    bool note(bool written)
    {
        if (!written) {
            err(QStringLiteral("cannot write %1: %2").arg(index_.path(), index_.errorString()));
            failed_ = true;
        }
        return written;
    }

    // The instrument went away: noted, and waited for when asked. -1 to go
    // on with the series, else the exit code.
    int lose()
    {
        if (!note(index_.lost(QDateTime::currentDateTime(), serial_)))
            return kFailed;
        if (!plan_.reconnect || serial_.isEmpty()) {
            c_.reportFailure(QStringLiteral("watch"), lost_);
            err(written_ ? QStringLiteral("instrument lost after %1 frames").arg(written_)
                         : QStringLiteral("watch failed, no frames written"));
            return kFailed;
        }
        err(QStringLiteral("instrument %1 lost after %2 frames; waiting up to %3 s for it to come back")
                .arg(serial_)
                .arg(written_)
                .arg(*plan_.reconnect));
        const bool back = series::waitForReturn(
            serial_,
            [this] {
                QStringList s;
                for (const QByteArray& b : link_.attachedSerials())
                    s << QString::fromLatin1(b);
                return s;
            },
            series::Seconds(*plan_.reconnect), [] { return Clock::now(); },
            [this](Clock::duration d) { return pause(d); });
        if (stopping_)
            return kOk;
        if (!back) {
            err(QStringLiteral("instrument %1 did not come back").arg(serial_));
            return kFailed;
        }
        if (!note(index_.back(QDateTime::currentDateTime(), serial_)))
            return kFailed;
        err(QStringLiteral("instrument %1 is back").arg(serial_));
        return -1;
    }

    // Asleep in the event loop, so that Ctrl-C is heard; false when it was.
    bool pause(Clock::duration d)
    {
        const Clock::time_point end = Clock::now() + d;
        while (!stopping_) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now()).count();
            if (left <= 0)
                return true;
            link_.Wait_ms(int(std::min<long long>(left, 200)));
        }
        return false;
    }

    Console& c_;
    const WatchPlan& plan_;
    ScreenCapture& screen_;
    Link& link_;
    series::Schedule schedule_;
    series::Index index_;
    QString serial_;
    Outcome lost_;   // of the exchange that ended the series
    long written_ = 0;
    bool stopping_ = false, failed_ = false;
};

}   // namespace

int watch(Console& c, const WatchPlan& plan)
{
    return Watch(c, plan).run();
}
