#pragma once
// The display area's persistent image: everything drawn or loaded lands here,
// and the window repaints from it. Addressed in pixels, (0,0) top-left;
// anything outside is clipped.
#include <QColor>
#include <QImage>
#include <QString>
#include <functional>

class Surface {
public:
    static constexpr int kWidth = 320;
    static constexpr int kHeight = 240;

    Surface();

    // Colours of the 16-colour palette, by number.
    static QRgb paletteColour(int index);

    void setPixel(int x, int y, int colour)
    {
        if (static_cast<unsigned>(x) < unsigned(kWidth) && static_cast<unsigned>(y) < unsigned(kHeight))
            reinterpret_cast<QRgb*>(image_.scanLine(y))[x] = paletteColour(colour);
    }
    void line(int x1, int y1, int x2, int y2, int colour);
    void filledRect(int x1, int y1, int x2, int y2, int colour);
    // Replaces everything: the picture unscaled from the top-left, black beyond.
    void setPicture(const QImage& picture);
    void clear();

    QImage& image() { return image_; }
    const QImage& image() const { return image_; }

    // Tells the view that the image changed; drawing code calls it once per
    // batch of pixels, not per pixel.
    void changed() const
    {
        if (onChanged)
            onChanged();
    }
    std::function<void()> onChanged;

private:
    QImage image_;
};
