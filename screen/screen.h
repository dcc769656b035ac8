#pragma once
#include "link.h"
#include "outcome.h"
#include "statuslog.h"
#include "protocol.h"
#include "surface.h"
#include <array>
#include <cstdint>
#include <functional>

// Screen capture: one frame, graticule, level bars, continuous download, clear.
class ScreenCapture {
public:
    ScreenCapture(Link& link, StatusLog& status, Surface& surface);

    FrameOutcome cmdDownLoad_Click();
    ContinuousOutcome cmdContinuous_Click();
    void cmdStop_Click();
    void cmdClear_Click();

    // Pieces of one frame, each run by both downloads. Load_graticule is
    // false when the display's bitmap could not be loaded; Get_screen_data
    // adds its failures and what it read to `out` when given one.
    bool Load_graticule();
    void Draw_level_bars();
    void Get_screen_data(FrameOutcome* out = nullptr);

    // The low five bits of the latest frame's mode byte.
    int DisplayMode = 0;
    // A continuous download runs while this is set; "Stop" and "Exit" clear it.
    bool ContinuousOn = false;
    // Told of each frame of a continuous download as it ends, before the
    // pause, with what it lacked: for a caller that stores every frame.
    std::function<void(const FrameOutcome&)> onFrame;

    // The wire format of one screen block.
    static constexpr int kBlocks = protocol::kScreenBlocks;
    static constexpr int kBlockBytes = protocol::kBlockBytes;
    static constexpr int kBlockThreshold = 8185;
    // The decode also looks at position n + 1, so a block read stays one short
    // of the buffer's end.
    static constexpr int kMaxBlockRead = Link::kRxSize - 1;

    // Folder the graticule bitmaps are read from; empty means the working
    // directory, which is where the window program looks.
    QString graticuleDir;

    // The graticule file for a display mode, or nullptr where it has none.
    static const char* graticuleFile(int mode);
    // The status box's words when that file cannot be loaded from `dir`.
    static QString graticuleMissing(const QString& file, const QString& dir);

    // Plots block `block` from the first n bytes of a block read (positions 1
    // to n + 1 of the receive buffer) straight into the surface's image.
    static void plotBlock(const std::array<uint8_t, Link::kRxSize>& rx, int n, int block, Surface& surface);

    // What the last Draw_level_bars took from the receive buffer.
    std::array<uint8_t, protocol::kLevelBarCount> levels{};

private:
    bool frameExchange(FrameOutcome& out);
    void openExchange(Outcome& out);
    void closeExchange(Outcome& out, int writesFailedBefore);

    Link& link_;
    StatusLog& status_;
    Surface& surface_;
    // The display mode of the latest frame, and whether its missing graticule
    // has been reported: once per change of mode, not every frame.
    int graticuleMode_ = -1;
    bool graticuleReported_ = false;
};
