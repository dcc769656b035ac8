// How fast a full screen is decoded and drawn, against drawing it one painter
// call per pixel; and how close the continuous download's frame period comes
// to what the link allows.
#include "bench_support.h"
#include "link.h"
#include "screen.h"
#include "simulator.h"
#include "surface.h"
#include <QColor>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QPainter>
#include <algorithm>
#include <array>
#include <cstdio>
#include <vector>

namespace {
using Rx = std::array<uint8_t, State::kRxSize>;
constexpr int kN = ScreenCapture::kBlockBytes;

// The five block reads of one screen, as they lie in the receive buffer.
std::vector<Rx> simulatedScreen(int frame, int mode)
{
    std::vector<Rx> blocks(ScreenCapture::kBlocks);
    for (int b = 0; b < ScreenCapture::kBlocks; ++b) {
        const QByteArray data = Simulator::screenBlock(frame, b, mode);
        blocks[size_t(b)].fill(0);
        std::copy(data.begin(), data.end(), blocks[size_t(b)].begin());
    }
    return blocks;
}

// Every pixel lit, in both shades: the most painting a screen can ask for.
std::vector<Rx> fullyLitScreen()
{
    std::vector<Rx> blocks(ScreenCapture::kBlocks);
    for (Rx& rx : blocks) {
        rx.fill(0);
        for (int i = 0; i < kN + 1; ++i)
            rx[size_t(i)] = uint8_t(((i % 15) + 1) << 4 | ((i * 7) % 15 + 1));
    }
    return blocks;
}

void drawFast(const std::vector<Rx>& blocks, Surface& s)
{
    for (int b = 0; b < ScreenCapture::kBlocks; ++b)
        ScreenCapture::plotBlock(blocks[size_t(b)], kN, b, s);
    s.changed();
}

// The same pixels, each set by its own pen and point. Returns how many.
int drawPerPixel(const std::vector<Rx>& blocks, QImage& image)
{
    QPainter p(&image);
    int points = 0;
    auto point = [&](int x, int y, int colour) {
        p.setPen(QColor(Surface::paletteColour(colour)));
        p.drawPoint(x, y);
        ++points;
    };
    for (int b = 0; b < ScreenCapture::kBlocks; ++b) {
        const Rx& rx = blocks[size_t(b)];
        for (int k = 1; k <= kN; ++k) {
            const int x = Surface::kWidth - (k / 128 + 64 * b);
            const int pair = k % 128;
            if (x < 0 || x >= Surface::kWidth || pair >= Surface::kHeight / 2)
                continue;
            if (pair == 0) {
                point(x, 0, 0);
                point(x, 1, 0);
                continue;
            }
            const int u = rx[size_t(k)] >> 4, l = rx[size_t(k)] & 15;
            if (u)
                point(x, 2 * pair, u >= 8 ? 15 : 8);
            if (l)
                point(x, 2 * pair + 1, l >= 9 ? 15 : 8);
        }
    }
    return points;
}

template <class F>
double meanMs(int reps, F&& f)
{
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < reps; ++i)
        f();
    return double(t.nsecsElapsed()) / 1e6 / reps;
}

// The painter's cost grows with the points lit, ours hardly: the ratio is
// judged on the fully lit screen, and only reported for sparse ones.
bool decodeBench(const char* name, const std::vector<Rx>& blocks, bool judgeRatio)
{
    Surface fast;
    drawFast(blocks, fast);
    QImage slow(Surface::kWidth, Surface::kHeight, QImage::Format_RGB32);
    slow.fill(Qt::black);
    const int points = drawPerPixel(blocks, slow);
    const bool same = slow == fast.image();

    const double fastMs = meanMs(5000, [&] { drawFast(blocks, fast); });
    const double slowMs = meanMs(50, [&] { drawPerPixel(blocks, slow); });
    const double ratio = slowMs / fastMs;
    const bool ok = same && fastMs <= 0.2 && (!judgeRatio || ratio >= 50);
    std::printf("%-18s %6d points   full screen %7.4f ms   per-pixel painter %7.3f ms   %5.0fx faster   same pixels: %s   [%s]\n",
                name, points, fastMs, slowMs, ratio, same ? "yes" : "NO", ok ? "ok" : "MISSED");
    return ok;
}

// Continuous download through the program's own classes until `frames`
// frames are in; the period is the time from one frame shown to the next.
bool continuousBench(double rate, int frames)
{
    SimConfig cfg;
    cfg.bytesPerSecond = rate;
    Simulator sim(cfg);
    State state;
    BenchHost host;
    Link link(state, sim, host);
    Surface surface;
    ScreenCapture capture(state, link, host, surface);

    std::vector<qint64> shown;
    QElapsedTimer clock;
    clock.start();
    surface.onChanged = [&] {
        shown.push_back(clock.nsecsElapsed());
        if (int(shown.size()) == frames)
            capture.cmdStop_Click();
    };
    capture.cmdContinuous_Click();

    if (int(shown.size()) != frames || !state.StatusText.isEmpty() ||
        host.text != QStringLiteral("Continuous Download:\r\nPress Stop to end")) {
        std::printf("rate %.0f B/s: run ended after %zu of %d frames: %s\n", rate, shown.size(), frames,
                    qPrintable(host.text));
        return false;
    }
    std::vector<double> periods;
    for (size_t i = 1; i < shown.size(); ++i)
        periods.push_back(double(shown[i] - shown[i - 1]) / 1e6);
    double mean = 0;
    for (double p : periods)
        mean += p;
    mean /= double(periods.size());
    const auto [lo, hi] = std::minmax_element(periods.begin(), periods.end());
    const double expected = (ScreenCapture::kBlocks * ScreenCapture::kBlockBytes + 1) / rate * 1e3 + 100.0;
    const double off = (mean - expected) / expected * 100;
    const bool ok = std::abs(off) <= 10;
    std::printf("rate %9.0f B/s  %3d frames  period mean %7.2f ms (min %.2f, max %.2f)   link + pause %7.2f ms   %+5.1f %%   [%s]\n",
                rate, frames, mean, *lo, *hi, expected, off, ok ? "ok" : "MISSED");
    return ok;
}
}

int main(int argc, char** argv)
{
    BenchApp app(argc, argv);

    std::printf("Decode and draw one screen (5 blocks of %d bytes), target <= 0.2 ms and >= 50x\n", kN);
    bool ok = decodeBench("every pixel lit", fullyLitScreen(), true);
    ok &= decodeBench("simulated waveform", simulatedScreen(7, 1), false);
    ok &= decodeBench("simulated vector", simulatedScreen(40, 6), false);
    ok &= decodeBench("simulated audio", simulatedScreen(60, 13), false);

    std::printf("\nContinuous download on the simulator, target within 10 %% of link time + 100 ms pause\n");
    ok &= continuousBench(1.0e6, 40);
    ok &= continuousBench(250.0e3, 20);
    ok &= continuousBench(2.0e6, 40);
    return ok ? 0 : 1;
}
