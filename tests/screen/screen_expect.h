#pragma once
// What the display should show, worked out the long way round from the wire
// format, so that tests never compare the decoder with itself.
#include <QImage>
#include <QString>
#include <cstdint>

namespace expect {

const QRgb kBlack = qRgb(0, 0, 0), kGrey = qRgb(128, 128, 128), kWhite = qRgb(255, 255, 255);

// The graticule bitmap of each display mode (low five bits), "" for none.
inline QString graticule(int mode)
{
    static const char* const files[17] = {"", "wfm_eu", "wfm_ire", "wfm_dig", "vec_pal_cst", "vec_ntsc_cst",
                                          "vec_sd_ana", "vec_hd_ana", "vec_sd_dig", "vec_hd_dig", "", "aud_bbc",
                                          "aud_vu", "aud_ebu", "aud_nordic", "aud_digi", "aud_din"};
    return mode < 17 && *files[mode] ? QString("%1.bmp").arg(files[mode]) : QString();
}

inline void put(QImage& img, int x, int y, QRgb c)
{
    if (x >= 0 && x < img.width() && y >= 0 && y < img.height())
        img.setPixel(x, y, c);
}

// One block read of n bytes: index k from 1 to n takes the byte at position
// k + 1 of the receive buffer (buffer[k], 0-based); columns right to left.
inline void decodeBlock(QImage& img, const uint8_t* buffer, int n, int block)
{
    for (int k = 1; k <= n; ++k) {
        const int x = 320 - (k / 128 + 64 * block), y = 2 * (k % 128);
        const int hi = y ? buffer[k] >> 4 : 0, lo = y ? buffer[k] & 15 : 0;
        if (y == 0 || hi)
            put(img, x, y, y == 0 ? kBlack : hi >= 8 ? kWhite : kGrey);
        if (y == 0 || lo)
            put(img, x, y + 1, y == 0 ? kBlack : lo >= 9 ? kWhite : kGrey);
    }
}

// A graticule as the display shows it: unscaled from the top-left, black beyond.
inline QImage withPicture(const QImage& picture)
{
    QImage img(320, 240, QImage::Format_RGB32);
    img.fill(kBlack);
    for (int y = 0; y < std::min(240, picture.height()); ++y)
        for (int x = 0; x < std::min(320, picture.width()); ++x)
            img.setPixel(x, y, picture.pixel(x, y));
    return img;
}

// The four level bars, light red and light green, from their level row to row 206.
inline void bars(QImage& img, const uint8_t levels[4])
{
    const int left[4] = {17, 41, 273, 297};
    for (int i = 0; i < 4; ++i)
        for (int y = std::min<int>(levels[i], 206); y <= std::max<int>(levels[i], 206); ++y)
            for (int x = left[i]; x < left[i] + 5; ++x)
                put(img, x, y, i % 2 ? qRgb(0, 255, 0) : qRgb(255, 0, 0));
}

// A background no decoded pixel can be mistaken for.
inline QImage pattern()
{
    QImage img(320, 240, QImage::Format_RGB32);
    for (int y = 0; y < 240; ++y)
        for (int x = 0; x < 320; ++x)
            img.setPixel(x, y, qRgb(40 + x % 50, 30 + y % 60, 200));
    return img;
}

// The display and the receive buffer as a run of frames leaves them: each
// frame's mode byte, graticule, level bars (from what the buffer holds before
// its blocks come) and blocks, drawn over what the frame before left.
struct Model {
    QImage display = withPicture(QImage());
    QByteArray buffer = QByteArray(10000, '\0');

    void frame(uint8_t mode, const QList<QByteArray>& blocks)
    {
        buffer[0] = char(mode);
        if (const QString file = graticule(mode & 31); !file.isEmpty())
            display = withPicture(QImage(file));
        const uint8_t levels[4] = {uint8_t(buffer[119]), uint8_t(buffer[121]), uint8_t(buffer[123]), uint8_t(buffer[125])};
        if ((mode & 31) > 10)
            bars(display, levels);
        for (int b = 0; b < int(blocks.size()); ++b) {
            buffer.replace(0, blocks[b].size(), blocks[b]);
            decodeBlock(display, reinterpret_cast<const uint8_t*>(buffer.constData()), int(blocks[b].size()), b);
        }
    }
};

// Empty when equal, else the size or the first pixel that differs.
inline QString difference(const QImage& got, const QImage& want)
{
    QString first = got.size() == want.size() ? QString() : QStringLiteral("size differs");
    for (int y = 0; first.isEmpty() && y < got.height(); ++y)
        for (int x = 0; first.isEmpty() && x < got.width(); ++x)
            if (got.pixel(x, y) != want.pixel(x, y))
                first = QStringLiteral("(%1,%2) is %3, want %4").arg(x).arg(y)
                            .arg(got.pixel(x, y) & 0xFFFFFF, 6, 16).arg(want.pixel(x, y) & 0xFFFFFF, 6, 16);
    return first;
}

} // namespace expect

#define COMPARE_IMAGES(got, want)                                                  \
    do {                                                                           \
        if (const QString d_ = expect::difference((got), (want)); !d_.isEmpty())   \
            QFAIL(qPrintable(d_));                                                 \
    } while (false)
