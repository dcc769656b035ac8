#pragma once
// What the print spooler says before and after "Print Log", so that a job is
// never lost without the user hearing of it. On Linux it asks CUPS; where the
// program is built without libcups (Windows, macOS) it knows nothing and
// lets every job go.
#include <QString>

namespace spooler {

// The default destination's name, or an empty string when there is none or
// it would not print now (stopped, disabled, not accepting jobs). Without
// libcups: `fallback`, the name the print system gave.
QString readyDefaultPrinter(const QString& fallback);

// Taken before a job is sent to `printer`; lost() then tells whether the job
// sent since was refused, canceled or aborted.
class JobWatch {
public:
    explicit JobWatch(const QString& printer);
    bool lost() const;

private:
    QString printer_;
    int lastJob_ = 0;   // the highest job id on the printer before ours
};

}
