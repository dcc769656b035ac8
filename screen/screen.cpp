#include "screen.h"

ScreenCapture::ScreenCapture(State& state, Link& link, Host& host, Surface& surface)
    : state_(state), link_(link), host_(host), surface_(surface)
{
}

// Not built yet: these buttons do nothing.
void ScreenCapture::cmdDownLoad_Click() {}
void ScreenCapture::cmdContinuous_Click() {}
void ScreenCapture::cmdStop_Click() {}
void ScreenCapture::cmdClear_Click() {}
