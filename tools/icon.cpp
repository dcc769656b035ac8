// corva-icon: writes the program's 32 x 32 icon as a PNG file.
//   corva-icon <file.png>
#include "appicon.h"
#include <QDir>
#include <QFileInfo>
#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: corva-icon <file.png>\n");
        return 2;
    }
    const QString out = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(QFileInfo(out).path());
    if (!drawAppIcon().save(out, "PNG")) {
        std::fprintf(stderr, "corva-icon: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
