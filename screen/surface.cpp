#include "surface.h"
#include <QPainter>
#include <algorithm>
#include <cstring>

Surface::Surface() : image_(kWidth, kHeight, QImage::Format_RGB32)
{
    image_.fill(Qt::black);
}

QRgb Surface::paletteColour(int index)
{
    static const QRgb palette[16] = {
        qRgb(0, 0, 0),       qRgb(0, 0, 128),     qRgb(0, 128, 0),     qRgb(0, 128, 128),
        qRgb(128, 0, 0),     qRgb(128, 0, 128),   qRgb(128, 128, 0),   qRgb(192, 192, 192),
        qRgb(128, 128, 128), qRgb(0, 0, 255),     qRgb(0, 255, 0),     qRgb(0, 255, 255),
        qRgb(255, 0, 0),     qRgb(255, 0, 255),   qRgb(255, 255, 0),   qRgb(255, 255, 255)};
    return palette[index & 15];
}

void Surface::line(int x1, int y1, int x2, int y2, int colour)
{
    QPainter p(&image_);
    p.setPen(QColor(paletteColour(colour)));
    p.drawLine(x1, y1, x2, y2);
}

void Surface::filledRect(int x1, int y1, int x2, int y2, int colour)
{
    // Either corner may come first; both stay inside the rectangle.
    const QRect r = QRect(QPoint(std::min(x1, x2), std::min(y1, y2)), QPoint(std::max(x1, x2), std::max(y1, y2))) &
                    image_.rect();
    if (r.isEmpty())
        return;
    const QRgb c = paletteColour(colour);
    for (int y = r.top(); y <= r.bottom(); ++y) {
        auto* row = reinterpret_cast<QRgb*>(image_.scanLine(y));
        std::fill(row + r.left(), row + r.right() + 1, c);
    }
}

void Surface::setPicture(const QImage& picture)
{
    image_.fill(Qt::black);
    // Plain bitmaps (true colour, or a palette without transparency) are
    // copied row by row. The painter would hand an image this size to worker
    // threads, which costs more than the copy.
    const int w = std::min(picture.width(), kWidth), h = std::min(picture.height(), kHeight);
    if (picture.format() == image_.format()) {
        for (int y = 0; y < h; ++y)
            std::memcpy(image_.scanLine(y), picture.constScanLine(y), size_t(w) * sizeof(QRgb));
        return;
    }
    if (picture.format() == QImage::Format_Indexed8) {
        QRgb lut[256];
        std::fill(std::begin(lut), std::end(lut), qRgb(0, 0, 0));   // indices beyond the palette
        const QList<QRgb> table = picture.colorTable();
        bool opaque = true;
        for (qsizetype i = 0; i < std::min<qsizetype>(table.size(), 256); ++i) {
            lut[i] = table[i];
            opaque = opaque && qAlpha(table[i]) == 255;
        }
        if (opaque) {
            for (int y = 0; y < h; ++y) {
                const uchar* in = picture.constScanLine(y);
                auto* out = reinterpret_cast<QRgb*>(image_.scanLine(y));
                for (int x = 0; x < w; ++x)
                    out[x] = lut[in[x]];
            }
            return;
        }
    }
    QPainter p(&image_);
    p.setCompositionMode(QPainter::CompositionMode_Source);
    p.drawImage(0, 0, picture);
}

void Surface::clear()
{
    image_.fill(Qt::black);
}
