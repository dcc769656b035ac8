#pragma once
// The one instrument a server owns, and the order its buttons run in. Every
// exchange runs once, whoever asked, one at a time in the order the presses
// came and never one inside another; "Stop" ends a continuous download
// whoever started it. Between exchanges the station looks whether the
// instrument is still attached; when it goes, it waits for it, and a
// continuous download that the loss ended starts again when it is back.
#include "exchange.h"
#include "outcome.h"
#include "protocol.h"
#include <QByteArray>
#include <QDateTime>
#include <QElapsedTimer>
#include <QImage>
#include <QJsonObject>
#include <QObject>
#include <QTimer>
#include <array>
#include <deque>
#include <functional>
#include <map>
#include <optional>

class Station : public QObject {
    Q_OBJECT
public:
    enum class Button { Frame, Continuous, Stop, GetLog, EraseLog };
    static QString caption(Button b);

    // How a press ended, for its HTTP answer.
    struct Answer {
        int status = 200;   // 200, 202; 409 cannot run now; 503 failed or stopping
        QJsonObject json;   // the refusal or failure, or the state
        Outcome outcome;    // of the exchange, when one ran
        QString logText;    // "Get Log": the status box's text at its end
    };
    using Done = std::function<void(const Answer&)>;

    explicit Station(Console& console, QObject* parent = nullptr);

    // Runs `b` when its turn comes; `done` is told how it went (at once for
    // a refusal, for "Stop", and for "Continuous" once it has started).
    void press(Button b, Done done);
    // Ends the running exchange at its next pause and refuses what waits;
    // `finished` once nothing runs any more.
    void shutDown(std::function<void()> finished);

    // What a viewer is shown, but for the viewers and the token's role,
    // which the server knows.
    QJsonObject state() const;
    const QByteArray& latestPng() const { return png_; }
    QImage latestImage() const { return image_; }
    QDateTime latestTime() const { return frameTime_; }
    QString pictureName() const;
    bool attached() const { return attached_; }
    // A continuous download runs, or waits to start again after a loss.
    bool continuousWanted() const { return busy_ == Button::Continuous || resume_; }
    // "Get Log" as one exchange among the others: at once when idle, else
    // after the running one; a continuous download stops at its next pause
    // for it and goes on after it.
    void readLog();

    // Prometheus' text format.
    QByteArray metrics(int viewers) const;

    static constexpr int kMaxWaiting = 16;        // presses queued behind the running one
    static constexpr int kPresenceMs = 1000;      // how often an idle station looks for the instrument

signals:
    // A new picture, its PNG made once for every viewer.
    void frame(const QByteArray& png);
    // Something a viewer sees has changed.
    void changed();
    // For the alarms: every exchange and frame as it ended, each frame with
    // the levels drawn with it, every presence check, every log read.
    void exchanged(const Outcome& o);
    void framed(const FrameOutcome& f, const std::array<uint8_t, protocol::kLevelBarCount>& levels);
    void looked(bool attached);
    void logRead(int records, const QString& text);

private:
    struct Job {
        Button button;
        Done done;
    };
    void pump();
    void run(Job& job);
    void published(const FrameOutcome& f);
    void counted(const Outcome& o, double seconds);
    void look();
    void setAttached(bool a);
    Answer failure(const Outcome& o) const;
    Answer refusal(int status, const QString& reason) const;

    Console& c_;
    std::deque<Job> waiting_;
    bool running_ = false, stopping_ = false, resume_ = false, attached_ = false;
    bool logBetween_ = false;   // a continuous download stopped for a log read
    std::optional<Button> busy_;   // the button whose exchange runs
    std::function<void()> finished_;
    QTimer presence_;

    QByteArray png_;
    QImage image_;
    QDateTime frameTime_;
    QString serial_;
    QJsonObject message_;
    QString logText_;
    bool haveLog_ = false;

    // Counters for the metrics.
    long long frames_ = 0;
    int logRecords_ = -1;
    std::map<QByteArray, long long> failures_;
    static constexpr std::array<double, 9> kBuckets{0.05, 0.1, 0.2, 0.5, 1, 2, 5, 10, 30};
    std::array<long long, kBuckets.size()> buckets_{};
    long long exchanges_ = 0;
    double exchangeSeconds_ = 0;
    // Frames per second over the latest few frames.
    std::deque<qint64> frameTimes_;
    QElapsedTimer clock_;
    qint64 lastFrameEnd_ = -1;
};
