#include "appicon.h"
#include <QPainter>

QImage drawAppIcon()
{
    QImage img(32, 32, QImage::Format_ARGB32);
    img.fill(Qt::transparent);
    const QColor blue(0, 0, 128), yellow(255, 255, 0);
    QPainter p(&img);
    // Box 17 x 16, centred; the screen inside leaves 2 columns each side,
    // 3 rows above and 4 below.
    const int boxLeft = 7, boxTop = 0;
    p.fillRect(boxLeft, boxTop, 17, 16, blue);
    p.fillRect(boxLeft + 2, boxTop + 3, 13, 9, yellow);
    // The column under it, 13 wide and 15 high.
    p.fillRect(boxLeft + 2, boxTop + 16, 13, 15, blue);
    return img;
}

QIcon appIcon()
{
    return QIcon(QPixmap::fromImage(drawAppIcon()));
}
