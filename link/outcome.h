#pragma once
// How one exchange with the instrument went, for a caller that acts on it
// (corvactl's exit code and last line). The status box tells the user the
// same in words; nothing here is shown.
#include "link.h"
#include <cstdint>

struct Outcome {
    // The steps of an exchange that can fail; `failed` holds every one that did.
    enum Step : unsigned {
        Open = 1u << 0,          // Open_USB: see `open`
        Write = 1u << 1,         // a command frame
        SetTimeouts = 1u << 2,
        QueuePoll = 1u << 3,     // FT_GetQueueStatus
        NoAnswer = 1u << 4,      // the queue stayed empty, or stopped short of a whole answer
        Read = 1u << 5,
        Graticule = 1u << 6,     // a screen's background bitmap
        Close = 1u << 7,
        RunTime = 1u << 8,       // an exception abandoned the exchange; see `runTimeError`
    };
    unsigned failed = 0;
    Link::OpenResult open;       // the exchange's own Open_USB
    int runTimeError = 0;        // the number shown for a RunTime failure

    bool ok() const { return failed == 0; }
    bool failedAt(Step s) const { return (failed & s) != 0; }
    void fail(Step s) { failed |= s; }
    // The instrument took no part: not opened, or the link broke as an
    // unplug breaks it.
    bool instrumentGone() const { return failedAt(Open) || failedAt(SetTimeouts) || failedAt(Write); }
};

// One "1 Frame", or one frame of a continuous download.
struct FrameOutcome : Outcome {
    int blocks = 0;          // screen blocks read and drawn
    int shortBlocks = 0;     // ... of them, those that stopped short
    int64_t bytes = 0;       // bytes of screen data among them
    int displayMode = -1;    // of the frame's mode byte; -1 when it was not read
};

// A whole continuous download: what its frames came to.
struct ContinuousOutcome : Outcome {
    int frames = 0;          // frames exchanged, whole or not
    int64_t bytes = 0;
};

// "Get Log" and "Erase Log".
struct LogOutcome : Outcome {
    int records = 0;         // log lines shown
    bool ended = false;      // the download ran to its end line
};
