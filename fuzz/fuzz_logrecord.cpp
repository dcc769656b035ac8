// One record read into a LogLine still holding an older record, with any
// count asked and any count the driver claims, then parsed and turned into
// its status line for any record number.
//   bytes 0-49   the stale LogLine     bytes 50-57  count asked, int64
//   bytes 58-61  record number, int32  byte 62      read status
//   bytes 63-66  count the driver claims, the rest what it delivers
#include "fuzz_support.h"
#include "link.h"
#include "logrecord.h"
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput in{data, size};
    FuzzD2xx d2xx(in);
    NullHost host;
    StatusLog status(host);
    // On the heap, so that reading past the buffers is caught.
    auto link = std::make_unique<Link>(d2xx, status);
    d2xx.link = link.get();
    in.take(link->LogLine.data(), link->LogLine.size());
    const uint64_t low = in.u32();
    const int64_t count = int64_t(low | uint64_t(in.u32()) << 32);
    const int index = int32_t(in.u32());

    link->handleOpen = true;
    link->readLogLine(count);
    if (link->BytesRead < 0 || link->BytesRead > Link::kLogLineSize)
        abort();

    const LogRecord rec = parseLogRecord(link->LogLine);
    // The text is a piece of the line, starting at the first space (or 41).
    if (rec.start < 1 || rec.start > 41 || rec.text.size() > Link::kLogLineSize - rec.start + 1)
        abort();
    if (memcmp(rec.text.constData(), link->LogLine.data() + rec.start - 1, size_t(rec.text.size())) != 0)
        abort();
    const QString line = logDisplayLine(index, rec.text);
    if (index >= kLastLogRecord && !line.isEmpty())
        abort();
    return 0;
}
