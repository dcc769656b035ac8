#pragma once
// What the program and the instrument say to each other: the command codes,
// the display modes and their graticule bitmaps, where the level bars ride in
// a screen block and where they stand on the display. The screen and log
// code, the graticule tool (and through it the build's list of bitmaps) and
// the simulator all read it from here.
#include <cstdint>
#include <iterator>

namespace protocol {

// Every command is two bytes: its code, then kCommandEnd.
constexpr uint8_t kCommandEnd = 240;
constexpr uint8_t kScreenStart = 242;   // answered by the display mode byte
constexpr uint8_t kScreenEnd = 244;
constexpr uint8_t kScreenBlock = 246;   // answered by the next block of the screen
constexpr uint8_t kLogStart = 248;
constexpr uint8_t kLogRecord = 250;     // answered by the next log record
constexpr uint8_t kLogErase = 252;

// A screen comes in five blocks of 8192 bytes.
constexpr int kScreenBlocks = 5;
constexpr int kBlockBytes = 8192;

// The display mode is the low five bits of the mode byte.
constexpr int kModeMask = 0x1F;
constexpr int kModes = 32;

// Modes 1 to 3 show a waveform, 4 to 9 a vector display, 11 and up the audio
// meters with their level bars.
constexpr bool isVectorMode(int mode) { return mode >= 4 && mode <= 9; }
constexpr bool isAudioMode(int mode) { return mode > 10; }

// The graticule bitmap for each display mode, nullptr where it has none.
// The build reads its list of bitmaps from this table: one quoted file name
// per entry, each on its own line.
constexpr const char* kGraticules[kModes] = {
    nullptr,
    "wfm_eu.bmp",
    "wfm_ire.bmp",
    "wfm_dig.bmp",
    "vec_pal_cst.bmp",
    "vec_ntsc_cst.bmp",
    "vec_sd_ana.bmp",
    "vec_hd_ana.bmp",
    "vec_sd_dig.bmp",
    "vec_hd_dig.bmp",
    nullptr,
    "aud_bbc.bmp",
    "aud_vu.bmp",
    "aud_ebu.bmp",
    "aud_nordic.bmp",
    "aud_digi.bmp",
    "aud_din.bmp",
};

constexpr const char* graticuleFile(int mode)
{
    return mode >= 0 && mode < kModes ? kGraticules[mode] : nullptr;
}

// The four level bars: the 1-based position of their level byte in a
// screen's last block (the next frame draws them from what that block left
// in the receive buffer), their left edge on the display and their colour. Each is kLevelBarWidth
// pixels wide and reaches from its level row down to row kLevelBarBase.
struct LevelBar {
    int position, left, colour;
};
constexpr LevelBar kLevelBars[4] = {{120, 17, 12}, {122, 41, 10}, {124, 273, 12}, {126, 297, 10}};
constexpr int kLevelBarCount = int(std::size(kLevelBars));
constexpr int kLevelBarWidth = 5;
constexpr int kLevelBarBase = 206;

} // namespace protocol
