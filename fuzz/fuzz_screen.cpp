// One screen block decoded from arbitrary bytes with any count and block
// number, then a whole Get_screen_data against a driver that answers from the
// input with any queue lengths and read counts.
//   bytes 0-1  n, little-endian int16     byte 2  block, int8
//   byte 3     display mode for the level bars
//   the rest   the receive buffer for the direct decode, then the driver's answers
#include "fuzz_support.h"
#include "screen.h"
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput in{data, size};
    const uint8_t low = in.byte();
    const int n = int16_t(low | in.byte() << 8);
    const int block = int8_t(in.byte());
    const int mode = in.byte();

    static Surface surface;
    // On the heap, so that reading past the buffer is caught.
    auto rx = std::make_unique<std::array<uint8_t, Link::kRxSize>>();
    FuzzInput copy = in;
    copy.take(rx->data(), rx->size());
    ScreenCapture::plotBlock(*rx, n, block, surface);

    FuzzD2xx d2xx(in);
    NullHost host;
    StatusLog status(host);
    auto link = std::make_unique<Link>(d2xx, status);
    d2xx.link = link.get();
    ScreenCapture screen(*link, status, surface);
    // A clock that moves only in the pauses: the waits end without sleeping.
    int64_t now = 0;
    link->nowUs = [&now] { return now; };
    link->pauseUs = [&now](int64_t us) { now += us; };
    link->handleOpen = true;
    screen.DisplayMode = mode;
    rx->swap(link->RxBuffer);
    screen.Draw_level_bars();
    screen.Get_screen_data();

    if (surface.image().size() != QSize(Surface::kWidth, Surface::kHeight))
        abort();
    return 0;
}
