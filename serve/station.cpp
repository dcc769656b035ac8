#include "station.h"
#include "protocol.h"
#include "series.h"
#include <QJsonArray>
#include <cmath>

namespace {

const std::pair<Outcome::Step, const char*> kSteps[] = {
    {Outcome::Open, "open"},           {Outcome::Write, "write"},   {Outcome::SetTimeouts, "set_timeouts"},
    {Outcome::QueuePoll, "queue_poll"}, {Outcome::NoAnswer, "no_answer"}, {Outcome::Read, "read"},
    {Outcome::Graticule, "graticule"}, {Outcome::Close, "close"},   {Outcome::RunTime, "run_time"}};

QJsonArray stepNames(const Outcome& o)
{
    QJsonArray a;
    for (const auto& [step, name] : kSteps)
        if (o.failedAt(step))
            a.append(QString::fromLatin1(name));
    return a;
}

// A label value in Prometheus' text format.
QByteArray label(const QString& v)
{
    QByteArray out;
    for (char c : v.toUtf8()) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c == '\n' ? QByteArray("\\n") : QByteArray(1, c);
    }
    return out;
}

// The display has a handful of colours: as a palette image its PNG takes a
// third of the time, pixel for pixel the same. A picture of more colours
// (a graticule of the user's own) stays as it is.
QImage paletted(const QImage& image)
{
    QList<QRgb> colours;
    const QImage rgb = image.convertToFormat(QImage::Format_RGB32);
    QRgb last = 0;
    for (int y = 0; y < rgb.height(); ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(rgb.constScanLine(y));
        for (int x = 0; x < rgb.width(); ++x) {
            if ((line[x] == last && !colours.isEmpty()) || colours.contains(line[x])) {
                last = line[x];
                continue;
            }
            colours.append(last = line[x]);
            if (colours.size() > 256)
                return image;
        }
    }
    return rgb.convertToFormat(QImage::Format_Indexed8, colours, Qt::ThresholdDither | Qt::AvoidDither);
}

}   // namespace

QString Station::caption(Button b)
{
    switch (b) {
    case Button::Frame: return QStringLiteral("1 Frame");
    case Button::Continuous: return QStringLiteral("Continuous");
    case Button::Stop: return QStringLiteral("Stop");
    case Button::GetLog: return QStringLiteral("Get Log");
    case Button::EraseLog: return QStringLiteral("Erase Log");
    }
    return {};
}

Station::Station(Console& console, QObject* parent) : QObject(parent), c_(console)
{
    clock_.start();
    c_.host.echo = false;
    c_.session.status.onNews = [this](const QString&) { emit changed(); };
    c_.host.onMessage = [this](const QString& title, const QString& text) {
        message_ = QJsonObject{{"title", title}, {"text", text}};
        emit changed();
    };
    serial_ = QString::fromLatin1(c_.session.link.serialWanted);
    presence_.setInterval(kPresenceMs);
    connect(&presence_, &QTimer::timeout, this, &Station::look);
    presence_.start();
    QTimer::singleShot(0, this, &Station::look);
}

Station::Answer Station::refusal(int status, const QString& reason) const
{
    Answer a;
    a.status = status;
    a.json = QJsonObject{{"error", status == 409 ? QStringLiteral("cannot run now") : QStringLiteral("unavailable")},
                         {"reason", reason}};
    return a;
}

void Station::press(Button b, Done done)
{
    const auto tell = [&](const Answer& a) {
        if (done)
            done(a);
    };
    ScreenCapture& screen = c_.session.screen;
    if (stopping_)
        return tell(refusal(503, QStringLiteral("the server is stopping")));
    if (b == Button::Stop) {
        for (auto it = waiting_.begin(); it != waiting_.end();) {
            if (it->button != Button::Continuous) {
                ++it;
                continue;
            }
            const Done d = std::move(it->done);
            it = waiting_.erase(it);
            if (d)
                d(refusal(409, QStringLiteral("stopped before it started")));
        }
        resume_ = false;
        logBetween_ = false;
        if (screen.ContinuousOn)
            screen.cmdStop_Click();
        Answer a;
        a.json = state();
        a.json.insert("continuous", false);
        return tell(a);
    }
    if (busy_ == Button::Continuous)
        return tell(refusal(409, QStringLiteral("a continuous download is running; press Stop first")));
    if (b == Button::Continuous)
        for (const Job& j : waiting_)
            if (j.button == Button::Continuous)
                return tell(refusal(409, QStringLiteral("a continuous download is already waiting to start")));
    if (waiting_.size() >= kMaxWaiting)
        return tell(refusal(503, QStringLiteral("too many presses are waiting; try again shortly")));
    waiting_.push_back({b, std::move(done)});
    QTimer::singleShot(0, this, &Station::pump);
}

void Station::shutDown(std::function<void()> finished)
{
    stopping_ = true;
    resume_ = false;
    presence_.stop();
    finished_ = std::move(finished);
    while (!waiting_.empty()) {
        const Done d = std::move(waiting_.front().done);
        waiting_.pop_front();
        if (d)
            d(refusal(503, QStringLiteral("the server is stopping")));
    }
    if (c_.session.screen.ContinuousOn)
        c_.session.screen.cmdStop_Click();
    if (!running_ && finished_)
        finished_();
}

void Station::pump()
{
    // Called again after each exchange; a press that comes in during one
    // only queues.
    if (running_ || waiting_.empty())
        return;
    Job job = std::move(waiting_.front());
    waiting_.pop_front();
    running_ = true;
    run(job);
    running_ = false;
    busy_.reset();
    emit changed();
    if (stopping_) {
        if (finished_)
            finished_();
        return;
    }
    QTimer::singleShot(0, this, &Station::pump);
}

void Station::run(Job& job)
{
    busy_ = job.button;
    emit changed();
    ScreenCapture& screen = c_.session.screen;
    ErrorLog& log = c_.session.errorLog;
    c_.watch.failure.clear();
    Answer a;
    QElapsedTimer took;
    took.start();
    try {
        switch (job.button) {
        case Button::Frame: {
            const FrameOutcome f = screen.cmdDownLoad_Click();
            counted(f, took.nsecsElapsed() / 1e9);
            published(f);
            a = f.ok() ? Answer{} : failure(f);
            a.outcome = f;
            break;
        }
        case Button::Continuous: {
            Answer started;
            started.status = 202;
            started.json = state();
            started.json.insert("continuous", true);
            if (job.done)
                job.done(started);
            job.done = nullptr;
            lastFrameEnd_ = clock_.elapsed();
            frameTimes_.clear();
            bool wentAway = false;
            screen.onFrame = [&](const FrameOutcome& f) {
                // Each frame's own time: since the previous one ended and
                // its pause.
                const qint64 now = clock_.elapsed();
                counted(f, std::max<qint64>(0, now - lastFrameEnd_) / 1e3);
                lastFrameEnd_ = now + 100;
                wentAway = wentAway || f.instrumentGone();
                published(f);
            };
            const ContinuousOutcome r = screen.cmdContinuous_Click();
            screen.onFrame = nullptr;
            a.outcome = r;
            if (logBetween_ && !stopping_ && !wentAway && !r.instrumentGone()) {
                waiting_.push_front({Button::Continuous, nullptr});
                waiting_.push_front({Button::GetLog, nullptr});
            }
            logBetween_ = false;
            // Ended by neither "Stop" nor the server's end: the instrument went.
            if (!stopping_ && (wentAway || r.instrumentGone() || resume_ || !r.ok())) {
                resume_ = true;
                setAttached(false);
            }
            break;
        }
        case Button::GetLog: {
            const LogOutcome l = log.cmdGetLog_Click();
            counted(l, took.nsecsElapsed() / 1e9);
            logText_ = c_.session.status.shown();
            haveLog_ = true;
            if (l.ok()) {
                logRecords_ = l.records;
                emit logRead(l.records, logText_);
            }
            a = l.ok() ? Answer{} : failure(l);
            a.outcome = l;
            a.logText = logText_;
            break;
        }
        case Button::EraseLog: {
            const LogOutcome l = log.cmdEraseLog_Click();
            counted(l, took.nsecsElapsed() / 1e9);
            a = l.ok() ? Answer{} : failure(l);
            a.outcome = l;
            break;
        }
        case Button::Stop:
            break;
        }
    } catch (const std::exception& e) {
        // The window shows these in a "Run-time Error" box.
        screen.onFrame = nullptr;
        screen.ContinuousOn = false;
        Outcome o;
        o.fail(Outcome::RunTime);
        counted(o, took.nsecsElapsed() / 1e9);
        a = failure(o);
        a.json.insert("cause", c_.watch.failure.isEmpty() ? QString::fromStdString(e.what()) : c_.watch.failure);
        a.outcome = o;
    }
    if (job.button != Button::Continuous) {
        if (a.outcome.instrumentGone())
            setAttached(false);
        else if (a.outcome.open.ok())
            setAttached(true);
    }
    if (a.status == 200 && a.json.isEmpty())
        a.json = state();
    if (job.done)
        job.done(a);
}

Station::Answer Station::failure(const Outcome& o) const
{
    Answer a;
    a.status = 503;
    const diagnosis::Finding f = c_.diagnose(o);
    // The server goes on looking for the instrument by itself.
    const bool link = !o.failedAt(Outcome::Open) && o.failed != Outcome::Graticule && c_.watch.failure.isEmpty();
    const QString fix = link ? f.fix + QStringLiteral("; the server takes it up again when it is back") : f.fix;
    a.json = QJsonObject{{"error", QStringLiteral("the exchange failed")},
                         {"failed", stepNames(o)},
                         {"status", c_.session.status.shown()},
                         {"cause", f.why},
                         {"fix", fix}};
    return a;
}

void Station::counted(const Outcome& o, double seconds)
{
    emit exchanged(o);
    ++exchanges_;
    exchangeSeconds_ += seconds;
    for (size_t i = 0; i < kBuckets.size(); ++i)
        if (seconds <= kBuckets[i])
            ++buckets_[i];
    for (const auto& [step, name] : kSteps)
        if (o.failedAt(step))
            ++failures_[name];
}

void Station::published(const FrameOutcome& f)
{
    emit framed(f, c_.session.screen.levels);
    if (f.displayMode < 0 && f.blocks == 0)
        return;   // nothing of a picture came
    Link& link = c_.session.link;
    if (link.serialWanted.isEmpty() && link.SerialNumber[0]) {
        // From the first frame on, the server keeps to that instrument.
        serial_ = QString::fromLatin1(link.SerialNumber.data());
        link.serialWanted = serial_.toLatin1();
    }
    image_ = c_.session.surface.image().copy();
    png_ = encode(paletted(image_), "png");
    frameTime_ = QDateTime::currentDateTime();
    ++frames_;
    frameTimes_.push_back(clock_.elapsed());
    while (frameTimes_.size() > 10)
        frameTimes_.pop_front();
    setAttached(true);
    emit changed();
    emit frame(png_);
}

void Station::look()
{
    if (running_ || stopping_)
        return;
    QList<QByteArray> serials;
    try {
        serials = c_.session.link.attachedSerials();
    } catch (const std::exception&) {
        // The driver library cannot be loaded: an exchange says why.
    }
    const QByteArray wanted = c_.session.link.serialWanted;
    if (wanted.isEmpty() && !serials.isEmpty())
        serial_ = QString::fromLatin1(serials.first());   // the one an exchange would take
    setAttached(wanted.isEmpty() ? !serials.isEmpty() : serials.contains(wanted));
    emit looked(attached_);
    if (attached_ && resume_) {
        resume_ = false;
        press(Button::Continuous, nullptr);
    }
}

void Station::readLog()
{
    if (stopping_)
        return;
    ScreenCapture& screen = c_.session.screen;
    if (busy_ == Button::Continuous) {
        if (screen.ContinuousOn) {
            logBetween_ = true;
            screen.cmdStop_Click();
        }
        return;
    }
    for (const Job& j : waiting_)
        if (j.button == Button::GetLog)
            return;
    press(Button::GetLog, nullptr);
}

void Station::setAttached(bool a)
{
    if (a == attached_)
        return;
    attached_ = a;
    emit changed();
}

QString Station::pictureName() const
{
    return series::captureName(serial_, frameTime_.isValid() ? frameTime_ : QDateTime::currentDateTime());
}

QJsonObject Station::state() const
{
    const bool continuous = busy_ == Button::Continuous && c_.session.screen.ContinuousOn;
    // The rate of the running download; single frames have none.
    double fps = 0;
    if (continuous && frameTimes_.size() >= 2 && clock_.elapsed() - frameTimes_.back() < 3000)
        fps = (frameTimes_.size() - 1) * 1000.0 / std::max<qint64>(1, frameTimes_.back() - frameTimes_.front());
    return QJsonObject{
        {"serial", serial_.isEmpty() ? QJsonValue() : QJsonValue(serial_)},
        {"driver", c_.driver.libraryInUse()},
        {"attached", attached_},
        {"continuous", continuous},
        {"busy", busy_ ? QJsonValue(caption(*busy_)) : QJsonValue()},
        {"displayMode", frames_ ? QJsonValue(c_.session.screen.DisplayMode) : QJsonValue()},
        {"frames", double(frames_)},
        {"fps", std::round(fps * 10) / 10},
        {"status", c_.host.text1()},
        {"log", haveLog_ ? QJsonValue(logText_) : QJsonValue()},
        {"pictureName", pictureName()},
        {"frameTime", frameTime_.isValid() ? QJsonValue(frameTime_.toString(Qt::ISODateWithMs)) : QJsonValue()},
        {"message", message_.isEmpty() ? QJsonValue() : QJsonValue(message_)},
    };
}

QByteArray Station::metrics(int viewerCount) const
{
    QByteArray m;
    const auto family = [&](const char* name, const char* type, const char* help) {
        m += QByteArray("# HELP ") + name + ' ' + help + "\n# TYPE " + name + ' ' + type + '\n';
    };
    family("corvameter_up", "gauge", "Whether the instrument is attached (1) or not (0).");
    m += "corvameter_up " + QByteArray::number(attached_ ? 1 : 0) + '\n';
    family("corvameter_info", "gauge", "The instrument served and the driver library in use.");
    m += "corvameter_info{serial=\"" + label(serial_) + "\",driver=\"" + label(c_.driver.libraryInUse()) + "\"} 1\n";
    family("corvameter_frames_total", "counter", "Pictures taken from the instrument since the server started.");
    m += "corvameter_frames_total " + QByteArray::number(frames_) + '\n';
    family("corvameter_exchange_failures_total", "counter", "Exchanges in which this step failed.");
    for (const auto& [step, name] : kSteps) {
        const auto it = failures_.find(name);
        m += QByteArray("corvameter_exchange_failures_total{step=\"") + name + "\"} "
             + QByteArray::number(it == failures_.end() ? 0 : it->second) + '\n';
    }
    family("corvameter_exchange_seconds", "histogram", "How long an exchange took (each frame of a continuous download is one).");
    for (size_t i = 0; i < kBuckets.size(); ++i)
        m += "corvameter_exchange_seconds_bucket{le=\"" + QByteArray::number(kBuckets[i]) + "\"} "
             + QByteArray::number(buckets_[i]) + '\n';
    m += "corvameter_exchange_seconds_bucket{le=\"+Inf\"} " + QByteArray::number(exchanges_) + '\n';
    m += "corvameter_exchange_seconds_sum " + QByteArray::number(exchangeSeconds_, 'g', 9) + '\n';
    m += "corvameter_exchange_seconds_count " + QByteArray::number(exchanges_) + '\n';
    family("corvameter_viewers", "gauge", "Viewers connected to the live picture.");
    m += "corvameter_viewers " + QByteArray::number(viewerCount) + '\n';
    family("corvameter_continuous", "gauge", "Whether a continuous download runs (1) or not (0).");
    m += "corvameter_continuous " + QByteArray::number(state().value("continuous").toBool() ? 1 : 0) + '\n';
    if (frames_) {
        const ScreenCapture& screen = c_.session.screen;
        family("corvameter_display_mode", "gauge", "The display mode of the latest picture.");
        m += "corvameter_display_mode " + QByteArray::number(screen.DisplayMode) + '\n';
        family("corvameter_level", "gauge", "The level values of the latest picture, by bar (row of the bar's end, 0 to 255).");
        for (size_t i = 0; i < screen.levels.size(); ++i)
            m += "corvameter_level{bar=\"" + QByteArray::number(qulonglong(i + 1)) + "\"} "
                 + QByteArray::number(screen.levels[i]) + '\n';
    }
    if (logRecords_ >= 0) {
        family("corvameter_log_records", "gauge", "Records in the error log at the latest Get Log.");
        m += "corvameter_log_records " + QByteArray::number(logRecords_) + '\n';
    }
    return m;
}
