// corva-icon: writes the program's icon.
//   corva-icon <file.png>   the 32 x 32 menu icon
//   corva-icon <file.ico>   16, 32, 48 and 256 pixels, for the Windows programs
#include "appicon.h"
#include <QBuffer>
#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <QtEndian>
#include <cstdio>

// An icon file whose images are PNG streams, as Windows has read them since
// Vista. The drawing is 32 x 32 pixel art: larger sizes are whole-pixel blow-ups
// (48 is the nearest to 1.5x), 16 is smoothed.
static QByteArray icoFile(const QImage& art)
{
    const int sizes[] = {16, 32, 48, 256};
    QList<QByteArray> pngs;
    for (int s : sizes) {
        const auto mode = s < art.width() ? Qt::SmoothTransformation : Qt::FastTransformation;
        QByteArray png;
        QBuffer buf(&png);
        buf.open(QIODevice::WriteOnly);
        art.scaled(s, s, Qt::IgnoreAspectRatio, mode).save(&buf, "PNG");
        pngs.append(png);
    }
    QByteArray out;
    auto put16 = [&out](quint16 v) { out.append(char(v & 0xff)).append(char(v >> 8)); };
    auto put32 = [&](quint32 v) { put16(quint16(v)); put16(quint16(v >> 16)); };
    put16(0);                   // reserved
    put16(1);                   // type: icon
    put16(quint16(pngs.size()));
    quint32 offset = 6 + 16 * quint32(pngs.size());
    for (qsizetype i = 0; i < pngs.size(); ++i) {
        const int s = sizes[i];
        out.append(char(s & 0xff)).append(char(s & 0xff));   // 0 stands for 256
        out.append(char(0)).append(char(0));                 // no palette, reserved
        put16(1);                                            // planes
        put16(32);                                           // bits per pixel
        put32(quint32(pngs[i].size()));
        put32(offset);
        offset += quint32(pngs[i].size());
    }
    for (const QByteArray& png : pngs)
        out.append(png);
    return out;
}

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: corva-icon <file.png|file.ico>\n");
        return 2;
    }
    const QString out = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(QFileInfo(out).path());
    const QImage art = drawAppIcon();
    QSaveFile file(out);
    bool ok = file.open(QIODevice::WriteOnly);
    if (ok && out.endsWith(QLatin1String(".ico"), Qt::CaseInsensitive))
        ok = file.write(icoFile(art)) >= 0;
    else if (ok)
        ok = art.save(&file, "PNG");
    if (!ok || !file.commit()) {
        std::fprintf(stderr, "corva-icon: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
