#include "spooler.h"
#include <QByteArray>
#include <chrono>
#include <cstdlib>
#include <thread>

#ifdef CORVA_HAVE_CUPS
#include <cups/cups.h>

namespace spooler {
namespace {
// The highest id and the state of the newest of our jobs on `printer`.
struct Newest {
    int id = 0;
    ipp_jstate_t state = IPP_JSTATE_PENDING;
};
Newest newestJob(const QByteArray& printer)
{
    cups_job_t* jobs = nullptr;
    const int n = cupsGetJobs2(CUPS_HTTP_DEFAULT, &jobs, printer.constData(), 1, CUPS_WHICHJOBS_ALL);
    Newest newest;
    for (int i = 0; i < n; ++i)
        if (jobs[i].id > newest.id)
            newest = {jobs[i].id, jobs[i].state};
    cupsFreeJobs(n, jobs);
    return newest;
}
}

QString readyDefaultPrinter(const QString&)
{
    cups_dest_t* dest = cupsGetNamedDest(CUPS_HTTP_DEFAULT, nullptr, nullptr);
    if (!dest)
        return {};
    const char* state = cupsGetOption("printer-state", dest->num_options, dest->options);
    const char* accepting = cupsGetOption("printer-is-accepting-jobs", dest->num_options, dest->options);
    const bool ready = (!state || std::atoi(state) != IPP_PSTATE_STOPPED) && (!accepting || qstrcmp(accepting, "false") != 0);
    const QString name = QString::fromLocal8Bit(dest->name);
    cupsFreeDests(1, dest);
    return ready ? name : QString();
}

JobWatch::JobWatch(const QString& printer) : printer_(printer), lastJob_(newestJob(printer.toLocal8Bit()).id) {}

bool JobWatch::lost() const
{
    const ipp_status_t sent = cupsLastError();   // of the submission, if that was the last request
    // A job the spooler cannot print (a filter that fails) is stopped or
    // aborted within moments; one still on its way after a second is taken as
    // printing.
    const QByteArray printer = printer_.toLocal8Bit();
    for (int tries = 0; tries < 10; ++tries) {
        const Newest job = newestJob(printer);
        if (job.id <= lastJob_)   // refused: no job was made (or it has gone from the history already)
            return sent > IPP_STATUS_OK_EVENTS_COMPLETE;
        // Stopped: held back by a printer error until someone steps in.
        if (job.state == IPP_JSTATE_STOPPED || job.state == IPP_JSTATE_CANCELED || job.state == IPP_JSTATE_ABORTED)
            return true;
        if (job.state == IPP_JSTATE_COMPLETED)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

}
#else
namespace spooler {
QString readyDefaultPrinter(const QString& fallback) { return fallback; }
JobWatch::JobWatch(const QString& printer) : printer_(printer) {}
bool JobWatch::lost() const { return false; }
}
#endif
