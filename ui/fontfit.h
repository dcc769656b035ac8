#pragma once
#include <QFont>
#include <QFontMetrics>
#include <QList>
#include <QPushButton>
#include <QStyle>
#include <QStyleOption>

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

// One caption size for all the buttons given: the font given, or where it
// would clip a caption on these fixed-width buttons, one smaller size for
// all of them, never a size per button. Two pixels of air each side.
inline void fitCaptions(const QList<QPushButton*>& buttons, QFont f)
{
    auto fits = [&] {
        for (QPushButton* b : buttons) {
            QStyleOptionButton o;
            o.initFrom(b);
            o.rect = b->rect();
            const int room = b->style()->subElementRect(QStyle::SE_PushButtonContents, &o, b).width() - 4;
            if (QFontMetrics(f).horizontalAdvance(b->text()) > room)
                return false;
        }
        return true;
    };
    while (!fits() && shrinkFont(f)) {
    }
    for (QPushButton* b : buttons)
        b->setFont(f);
}
