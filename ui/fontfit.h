#pragma once
#include <QFont>

// One step smaller, whether the desktop gives its font in points or pixels;
// false once it is as small as still reads.
inline bool shrinkFont(QFont& f)
{
    if (f.pointSizeF() > 0) {
        if (f.pointSizeF() <= 6)
            return false;
        f.setPointSizeF(f.pointSizeF() - 0.5);
    } else {
        if (f.pixelSize() <= 8)
            return false;
        f.setPixelSize(f.pixelSize() - 1);
    }
    return true;
}
