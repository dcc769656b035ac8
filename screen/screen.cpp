#include "screen.h"
#include "protocol.h"
#include <QDir>
#include <QImage>
#include <algorithm>

namespace {
const QString kCrLf = QStringLiteral("\r\n");
}

ScreenCapture::ScreenCapture(Link& link, StatusLog& status, Surface& surface)
    : link_(link), status_(status), surface_(surface)
{
}

const char* ScreenCapture::graticuleFile(int mode)
{
    return protocol::graticuleFile(mode);
}

FrameOutcome ScreenCapture::cmdDownLoad_Click()
{
    FrameOutcome out;
    openExchange(out);
    status_.replace(QStringLiteral("Downloaded 1 Frame") + kCrLf);
    graticuleMode_ = -1;   // each click says again what is missing
    const int writesFailed = link_.failedWrites;
    frameExchange(out);
    closeExchange(out, writesFailed);
    return out;
}

ContinuousOutcome ScreenCapture::cmdContinuous_Click()
{
    ContinuousOutcome out;
    openExchange(out);
    ContinuousOn = true;
    status_.replace(QStringLiteral("Continuous Download:") + kCrLf + QStringLiteral("Press Stop to end"));
    graticuleMode_ = -1;
    const int writesFailed = link_.failedWrites;
    // A frame with missing data goes by like any other: the waits inside it
    // are bounded, and the pause lets "Stop" in.
    while (ContinuousOn) {
        FrameOutcome frame;
        const bool goOn = frameExchange(frame);
        ++out.frames;
        out.bytes += frame.bytes;
        out.failed |= frame.failed;
        if (onFrame)
            onFrame(frame);
        if (!goOn)
            break;
        link_.Wait_ms(100);   // "Stop" and "Exit" are heard here
    }
    closeExchange(out, writesFailed);
    return out;
}

void ScreenCapture::openExchange(Outcome& out)
{
    out.open = link_.Open_USB();
    if (!out.open.ok())
        out.fail(Outcome::Open);
}

// The end of a handler's exchange: a failed write on the way is part of its
// outcome, and the close is its own.
void ScreenCapture::closeExchange(Outcome& out, int writesFailedBefore)
{
    if (link_.failedWrites != writesFailedBefore)
        out.fail(Outcome::Write);
    if (link_.close() != FT_OK) {
        out.fail(Outcome::Close);
        status_.replace(QStringLiteral("USB Close Failed"));
    }
}

void ScreenCapture::cmdStop_Click()
{
    ContinuousOn = false;
}

void ScreenCapture::cmdClear_Click()
{
    status_.clear(QStringLiteral(" "));
    surface_.clear();   // every pixel colour 0, black
    surface_.changed();
}

// One frame on the open device: mode byte, background, bars, the five blocks,
// end of transfer. The caller opens and closes. False when the time-outs
// could not be set, which ends a continuous download.
bool ScreenCapture::frameExchange(FrameOutcome& out)
{
    link_.Send_byte_to_USB(protocol::kScreenStart);
    if (link_.setTimeouts() != FT_OK) {
        out.fail(Outcome::SetTimeouts);
        status_.append(QStringLiteral("USB SetTimeout Failed"));
        return false;
    }
    if (link_.readRx(1) == FT_OK) {
        if (!Load_graticule())
            out.fail(Outcome::Graticule);
        // A mode byte later than the read's time-out leaves the buffer's old
        // one in use and comes ahead of the first block, which it shifts: the
        // frame is drawn as ever, but its outcome says it is not the screen's.
        if (link_.BytesRead < 1)
            out.fail(Outcome::NoAnswer);
        else
            out.displayMode = DisplayMode;
        Draw_level_bars();
    } else {
        out.fail(Outcome::Read);
        status_.append(QStringLiteral("USB Read Failed"));
    }
    Get_screen_data(&out);
    link_.Send_byte_to_USB(protocol::kScreenEnd);
    surface_.changed();
    return true;
}

QString ScreenCapture::graticuleMissing(const QString& file, const QString& dir)
{
    return QStringLiteral("Graticule %1 could not be loaded from %2")
        .arg(file, QDir::toNativeSeparators(QDir(dir).absolutePath()));
}

bool ScreenCapture::Load_graticule()
{
    const int mode = link_.rx(1) & protocol::kModeMask;
    DisplayMode = mode;
    if (mode != graticuleMode_) {
        graticuleMode_ = mode;
        graticuleReported_ = false;
    }
    const char* file = graticuleFile(mode);
    if (!file)
        return true;
    // Read afresh every frame: the user may replace a file while we run.
    const QString name = QString::fromLatin1(file);
    QImage picture;
    if (picture.load(graticuleDir.isEmpty() ? name : QDir(graticuleDir).filePath(name))) {
        surface_.setPicture(picture);
        return true;
    }
    // Without it the frame goes on over a black background, so that nothing
    // from a frame in another mode is mistaken for this one's scale.
    surface_.clear();
    if (graticuleReported_)
        return false;
    graticuleReported_ = true;
    status_.append(graticuleMissing(name, graticuleDir));
    return false;
}

void ScreenCapture::Draw_level_bars()
{
    if (!protocol::isAudioMode(DisplayMode))
        return;
    for (int i = 0; i < protocol::kLevelBarCount; ++i) {
        const protocol::LevelBar& bar = protocol::kLevelBars[i];
        levels[size_t(i)] = link_.rx(bar.position);
        surface_.filledRect(bar.left, levels[size_t(i)], bar.left + protocol::kLevelBarWidth - 1,
                            protocol::kLevelBarBase, bar.colour);
    }
}

void ScreenCapture::Get_screen_data(FrameOutcome* out)
{
    FrameOutcome none;
    FrameOutcome& o = out ? *out : none;
    for (int block = 0; block < kBlocks; ++block) {
        link_.Send_byte_to_USB(protocol::kScreenBlock);
        if (link_.setTimeouts() != FT_OK) {
            o.fail(Outcome::SetTimeouts);
            status_.replace(QStringLiteral("SetTimeout Failed"));
            break;
        }
        bool pollFailed = false, gone = false;
        const Link::QueueWait wait = link_.waitForQueue(kBlockThreshold, [&] {
            if (!pollFailed) {   // once a wait: repeating it changes nothing on screen
                status_.replace(QStringLiteral("Queue Read Failed"));
                // Polling an unplugged device until the wait runs out only holds the window.
                gone = !link_.stillAttached();
            }
            pollFailed = true;
            o.fail(Outcome::QueuePoll);
            return !gone;
        });
        // A block that stopped short is read and drawn as far as it goes. An
        // instrument that sent nothing will send no more of this screen: the
        // rest of the frame is not asked for.
        if (wait.arrived <= 0) {
            if (wait.polledOk) {   // else "Queue Read Failed" says why
                o.fail(Outcome::NoAnswer);
                status_.replace(QStringLiteral("No screen data from the Corvameter"));
            }
            break;
        }
        // Never so much that the look at position n + 1 would fall off the buffer.
        const int n = std::min<int32_t>(wait.arrived, kMaxBlockRead);
        if (link_.readRx(n) != FT_OK) {
            o.fail(Outcome::Read);
            status_.replace(QStringLiteral("Read Failed"));
            continue;
        }
        // A block that is not the instrument's 8192 bytes (the wait ran out,
        // the read's time-out came first, or the count was met before the
        // block was in) is drawn all the same, but it is not the screen the
        // instrument sent: what is missing comes ahead of the next block.
        if (link_.BytesRead != kBlockBytes) {
            ++o.shortBlocks;
            o.fail(Outcome::NoAnswer);
        }
        plotBlock(link_.RxBuffer, link_.BytesRead, block, surface_);
        ++o.blocks;
        o.bytes += link_.BytesRead;
    }
}

void ScreenCapture::plotBlock(const std::array<uint8_t, Link::kRxSize>& rx, int n, int block, Surface& surface)
{
    n = std::clamp(n, 0, kMaxBlockRead);
    constexpr QRgb kNone = 1;   // not a colour of the RGB32 image: leave the pixel alone
    const QRgb black = Surface::paletteColour(0);
    const QRgb grey = Surface::paletteColour(8);
    const QRgb white = Surface::paletteColour(15);
    // Upper pixel white from 8, lower pixel only from 9.
    QRgb upper[16], lower[16];
    for (int v = 0; v < 16; ++v) {
        upper[v] = v == 0 ? kNone : v >= 8 ? white : grey;
        lower[v] = v == 0 ? kNone : v >= 9 ? white : grey;
    }

    QImage& image = surface.image();
    uchar* const bits = image.bits();
    const qsizetype stride = image.bytesPerLine();
    auto row = [&](int y) { return reinterpret_cast<QRgb*>(bits + y * stride); };
    constexpr int kVisiblePairs = Surface::kHeight / 2;

    // Index k runs 1 to n and takes the byte at position k + 1, that is rx[k].
    for (int k = 1; k <= n;) {
        const int column = k / 128;
        const int last = std::min(n, column * 128 + 127);
        const int x = Surface::kWidth - (column + 64 * block);
        if (x >= 0 && x < Surface::kWidth) {
            for (int i = k; i <= last; ++i) {
                const int pair = i % 128;
                if (pair >= kVisiblePairs)
                    break;
                if (pair == 0) {
                    // A column's first byte is not pixels: its two rows go black.
                    row(0)[x] = black;
                    row(1)[x] = black;
                    continue;
                }
                const uint8_t byte = rx[size_t(i)];
                const QRgb u = upper[byte >> 4];
                const QRgb l = lower[byte & 15];
                if (u != kNone)
                    row(2 * pair)[x] = u;
                if (l != kNone)
                    row(2 * pair + 1)[x] = l;
            }
        }
        k = last + 1;
    }
}
