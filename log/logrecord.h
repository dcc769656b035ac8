#pragma once
// One log record as it lies in LogLine, and the line it gives in the status box.
// Pure functions, so they can be checked and fuzzed without a device.
#include <QByteArray>
#include <QString>
#include <array>
#include <cstdint>

struct LogRecord {
    int start = 0;          // S: first space in positions 1 to 40, or 41
    int end = 0;            // L: the line feed ending the text, or where the scan gave up
    bool endMarker = false; // "E" right after the space: the log is over
    QByteArray text;        // positions S through L, cut short at 50
};

constexpr int kLastLogRecord = 980;

LogRecord parseLogRecord(const std::array<uint8_t, 50>& logLine);

// What record `index` adds to the status text: unnumbered for the first four,
// "n: " in front for the rest, nothing for the last one (or an end marker,
// whose index has been moved to the last).
QString logDisplayLine(int index, const QByteArray& text);
