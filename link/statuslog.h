#pragma once
// The status log and the status box Text1 that shows it: the one place that
// changes either.
#include "host.h"
#include <QString>
#include <functional>

class StatusLog {
public:
    explicit StatusLog(Host& host) : host_(host) {}

    // StatusText += message + CR LF, then the box shows the whole log.
    void append(const QString& message);
    // StatusText += text as it came (a log record carries its own line end),
    // then the box shows the whole log.
    void appendRecord(const QString& text);
    // The box shows just this text; StatusText stays as it was.
    void replace(const QString& text);
    // StatusText starts again as `text`, and the box shows it.
    void clear(const QString& text = {});
    // StatusText becomes `text` without the box showing it yet; show() does.
    void set(const QString& text) { StatusText = text; }
    void show() { replace(StatusText); }

    // What the box was last given.
    const QString& shown() const { return shown_; }

    // Told what each change brought into view: an appended message alone
    // when the box already showed the log, else the box's whole new text.
    // For a console that prints the box as it goes.
    std::function<void(const QString& news)> onNews;

    QString StatusText;

private:
    void showLog(const QString& added);

    Host& host_;
    QString shown_;
};
