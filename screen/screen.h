#pragma once
#include "link.h"
#include "protocol.h"
#include "surface.h"
#include <array>
#include <cstdint>

// Screen capture: one frame, graticule, level bars, continuous download, clear.
class ScreenCapture {
public:
    ScreenCapture(State& state, Link& link, Host& host, Surface& surface);

    void cmdDownLoad_Click();
    void cmdContinuous_Click();
    void cmdStop_Click();
    void cmdClear_Click();

    // Pieces of one frame, each run by both downloads.
    void Load_graticule();
    void Draw_level_bars();
    void Get_screen_data();

    // The wire format of one screen block.
    static constexpr int kBlocks = protocol::kScreenBlocks;
    static constexpr int kBlockBytes = protocol::kBlockBytes;
    static constexpr int kBlockThreshold = 8185;
    // The decode also looks at position n + 1, so a block read stays one short
    // of the buffer's end.
    static constexpr int kMaxBlockRead = State::kRxSize - 1;

    // Folder the graticule bitmaps are read from; empty means the working
    // directory, which is where the window program looks.
    QString graticuleDir;

    // The graticule file for a display mode, or nullptr where it has none.
    static const char* graticuleFile(int mode);

    // Plots block `block` from the first n bytes of a block read (positions 1
    // to n + 1 of the receive buffer) straight into the surface's image.
    static void plotBlock(const std::array<uint8_t, State::kRxSize>& rx, int n, int block, Surface& surface);

    // What the last Draw_level_bars took from the receive buffer.
    std::array<uint8_t, protocol::kLevelBarCount> levels{};

private:
    bool frameExchange();

    State& state_;
    Link& link_;
    Host& host_;
    Surface& surface_;
    // The display mode of the latest frame, and whether its missing graticule
    // has been reported: once per change of mode, not every frame.
    int graticuleMode_ = -1;
    bool graticuleReported_ = false;
};
