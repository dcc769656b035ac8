#pragma once
// corvactl watch: frames into a folder, as fast as the link allows or one
// every so many seconds, with an index, and through an unplug if asked.
#include "exchange.h"
#include <QByteArray>
#include <QString>
#include <optional>

struct WatchPlan {
    QString dir;
    QByteArray format = "png";
    long count = 0;                       // frames to write; 0: no limit
    bool single = false;                  // no extra first frame for the level bars
    std::optional<double> interval;       // seconds between frames; unset: continuous download
    std::optional<double> duration;       // seconds the series runs
    std::optional<double> reconnect;      // seconds to wait for an unplugged instrument
};

int watch(Console& c, const WatchPlan& plan);
