#pragma once
// The link wired to the fake driver and a fake window, as the main window
// wires the real ones; tests add the handlers they drive.
#include "fake_d2xx.h"
#include "fake_host.h"
#include "link.h"
#include "statuslog.h"

// The queue waits' clock: it moves only when a wait pauses or a test moves it.
struct FakeClock {
    int64_t us = 0;
    void attach(Link& link)
    {
        link.nowUs = [this] { return us; };
        link.pauseUs = [this](int64_t d) { us += d; };
    }
};

struct LinkRig {
    FakeD2xx d2xx;
    FakeHost host;
    StatusLog status{host};
    Link link{d2xx, status};
    FakeClock clock;
    LinkRig() { clock.attach(link); }
};
