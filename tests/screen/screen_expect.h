#pragma once
// What the display should show, worked out the long way round from the wire
// format, so that tests never compare the decoder with itself.
#include <QImage>
#include <QString>
#include <cstdint>

namespace expect {

// The display's colours as red, green, blue.
const QRgb kBlack = qRgb(0, 0, 0);
const QRgb kGrey = qRgb(128, 128, 128);
const QRgb kWhite = qRgb(255, 255, 255);
const QRgb kLightRed = qRgb(255, 0, 0);
const QRgb kLightGreen = qRgb(0, 255, 0);

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
        const int c = k / 128, r = k % 128;
        const int x = 320 - (c + 64 * block), y = 2 * r;
        if (y == 0) {
            put(img, x, 0, kBlack);
            put(img, x, 1, kBlack);
            continue;
        }
        const int hi = buffer[k] >> 4, lo = buffer[k] & 15;
        if (hi >= 8)
            put(img, x, y, kWhite);
        else if (hi >= 1)
            put(img, x, y, kGrey);
        if (lo >= 9)
            put(img, x, y + 1, kWhite);
        else if (lo >= 1)
            put(img, x, y + 1, kGrey);
    }
}

// A graticule as the display shows it: unscaled from the top-left, black beyond.
inline QImage withPicture(const QImage& picture)
{
    QImage img(320, 240, QImage::Format_RGB32);
    img.fill(kBlack);
    const QImage p = picture.convertToFormat(QImage::Format_RGB32);
    for (int y = 0; y < std::min(240, p.height()); ++y)
        for (int x = 0; x < std::min(320, p.width()); ++x)
            img.setPixel(x, y, p.pixel(x, y));
    return img;
}

// The four level bars, filled, from their level row to row 206.
inline void bars(QImage& img, const uint8_t levels[4])
{
    const int left[4] = {17, 41, 273, 297};
    const QRgb colour[4] = {kLightRed, kLightGreen, kLightRed, kLightGreen};
    for (int i = 0; i < 4; ++i)
        for (int y = std::min<int>(levels[i], 206); y <= std::max<int>(levels[i], 206); ++y)
            for (int x = left[i]; x < left[i] + 5; ++x)
                put(img, x, y, colour[i]);
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

// Empty when equal, else where and how they first differ.
inline QString difference(const QImage& got, const QImage& want)
{
    if (got.size() != want.size())
        return QStringLiteral("size %1x%2, want %3x%4")
            .arg(got.width()).arg(got.height()).arg(want.width()).arg(want.height());
    const QImage a = got.convertToFormat(QImage::Format_RGB32);
    const QImage b = want.convertToFormat(QImage::Format_RGB32);
    int count = 0;
    QString first;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x)
            if (a.pixel(x, y) != b.pixel(x, y)) {
                if (count++ == 0)
                    first = QStringLiteral("(%1,%2) is #%3, want #%4")
                                .arg(x).arg(y)
                                .arg(a.pixel(x, y) & 0xFFFFFF, 6, 16, QChar('0'))
                                .arg(b.pixel(x, y) & 0xFFFFFF, 6, 16, QChar('0'));
            }
    return count ? QStringLiteral("%1 pixels differ; first %2").arg(count).arg(first) : QString();
}

} // namespace expect

#define COMPARE_IMAGES(got, want)                                        \
    do {                                                                 \
        const QString d_ = expect::difference((got), (want));            \
        if (!d_.isEmpty())                                               \
            QFAIL(qPrintable(d_));                                       \
    } while (false)
