#pragma once
#include "link.h"
#include "surface.h"

// Screen capture: one frame, graticule, level bars, continuous download, clear.
class ScreenCapture {
public:
    ScreenCapture(State& state, Link& link, Host& host, Surface& surface);

    void cmdDownLoad_Click();
    void cmdContinuous_Click();
    void cmdStop_Click();
    void cmdClear_Click();

private:
    State& state_;
    Link& link_;
    Host& host_;
    Surface& surface_;
};
