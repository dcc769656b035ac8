#pragma once
// The link wired to the fake driver and a fake window, as the main window
// wires the real ones; tests add the handlers they drive.
#include "fake_d2xx.h"
#include "fake_host.h"
#include "link.h"

struct LinkRig {
    State state;
    FakeD2xx d2xx;
    FakeHost host;
    Link link{state, d2xx, host};
};
