// Arbitrary bytes as a picture file for "Display": the load either refuses
// them or gives a picture within the caps.
#include "picturestore.h"
#include <QCoreApplication>
#include <QFile>
#include <cstdio>
#include <cstdlib>

namespace {
QString path;
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // For the image format plugins (JPEG, GIF, ...).
    static int argc = 1;
    static char name[] = "fuzz_picture";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    path = QDir::temp().filePath(QStringLiteral("corva-fuzz-picture-%1").arg(QCoreApplication::applicationPid()));
    atexit([] { QFile::remove(path); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        f.write(reinterpret_cast<const char*>(data), qint64(size)) != qint64(size))
        abort();
    f.close();
    const QImage image = PictureStore::load(path);
    if (!image.isNull() && (image.width() > PictureStore::kMaxSide || image.height() > PictureStore::kMaxSide ||
                            qint64(image.width()) * image.height() > PictureStore::kMaxPixels))
        abort();
    return 0;
}
