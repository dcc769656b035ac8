#pragma once
// The state every handler shares for the whole run: the link's buffers and
// counters, the flags, and the status log. One object, owned by the main window.
#include "d2xx.h"
#include <QString>
#include <array>
#include <cstdint>

struct State {
    static constexpr int kRxSize = 10000;
    static constexpr int kLogLineSize = 50;
    static constexpr int kSerialSize = 100;

    FT_HANDLE ftHandle = nullptr;
    std::array<char, kSerialSize> SerialNumber{};
    std::array<uint8_t, kRxSize> RxBuffer{};
    std::array<uint8_t, kLogLineSize> LogLine{};
    std::array<uint8_t, 2> TxString{};
    int32_t BytesWritten = 0;
    int32_t BytesRead = 0;
    int32_t QueueCount = 0;
    bool TimerFired = false;
    bool ContinuousOn = false;
    int DisplayMode = 0;
    QString PicturePath;
    QString StatusText;

    // True from a successful open until the next close of the handle. Calls on
    // a handle that is not open fail without reaching the driver.
    bool handleOpen = false;

    // 1-based access, the way the protocol addresses the buffers.
    uint8_t rx(int pos) const { return RxBuffer[static_cast<size_t>(pos - 1)]; }
    uint8_t logAt(int pos) const { return LogLine[static_cast<size_t>(pos - 1)]; }
};
