#include "picturestore.h"
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QImageWriter>
#include <QSaveFile>
#include <QtEndian>
#include <cstdlib>

namespace PictureStore {
namespace {

quint16 u16(const QByteArray& b, int at) { return qFromLittleEndian<quint16>(b.constData() + at); }
quint32 u32(const QByteArray& b, int at) { return qFromLittleEndian<quint32>(b.constData() + at); }
qint32 i32(const QByteArray& b, int at) { return qFromLittleEndian<qint32>(b.constData() + at); }

// The image reader accepts a bitmap whose pixel rows stop early and a JPEG
// cut short, and fills in the rest as it likes. Refuse both up front.
bool complete(QFile& f)
{
    const qint64 size = f.size();
    const QByteArray head = f.read(54);
    if (head.startsWith("BM")) {
        if (head.size() < 26)
            return false;
        const qint64 offset = u32(head, 10);
        const quint32 header = u32(head, 14);
        qint64 w, h, bits;
        quint32 compression = 0;
        if (header == 12) {   // the old core header
            w = u16(head, 18);
            h = u16(head, 20);
            bits = u16(head, 24);
        } else if (header >= 40) {
            if (head.size() < 54)
                return false;
            w = std::llabs(i32(head, 18));
            h = std::llabs(i32(head, 22));
            bits = u16(head, 28);
            compression = u32(head, 30);
        } else {
            return true;   // a kind of header we do not know: the reader judges
        }
        // Also keeps the length sum below from overflowing.
        if (w > kMaxSide || h > kMaxSide)
            return false;
        // Uncompressed rows (plain or with bit fields) have a known length;
        // run-length data is left to the reader.
        if (compression == 0 || compression == 3 || compression == 6) {
            const qint64 stride = (w * bits + 31) / 32 * 4;
            return offset + stride * h <= size;
        }
        return true;
    }
    if (head.startsWith("\xFF\xD8\xFF")) {
        // A whole JPEG ends with its end-of-image marker; some writers pad after it.
        const qint64 tailSize = qMin<qint64>(size, 4096);
        if (!f.seek(size - tailSize))
            return false;
        QByteArray tail = f.read(tailSize);
        while (tail.endsWith('\0'))
            tail.chop(1);
        return tail.endsWith("\xFF\xD9");
    }
    return true;
}

bool withinCaps(QSize s)
{
    return s.isValid() && !s.isEmpty() && s.width() <= kMaxSide && s.height() <= kMaxSide &&
           qint64(s.width()) * s.height() <= kMaxPixels;
}

}   // namespace

QString joinPath(const QString& folder, const QString& name, QChar separator)
{
    if (folder.endsWith(separator) || folder.endsWith(QLatin1Char('/')))
        return folder + name;
    return folder + separator + name;
}

bool store(const QImage& image, const QString& path, QString* error)
{
    auto fail = [error](const QString& why) {
        if (error)
            *error = why;
        return false;
    };
    if (image.isNull())
        return fail(QStringLiteral("There is no picture to store."));
    // Written beside the old file under a temporary name and renamed over it
    // only once complete.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return fail(file.errorString());
    QImageWriter writer(&file, "BMP");
    if (!writer.write(image.convertToFormat(QImage::Format_RGB888))) {
        const QString why = file.error() != QFileDevice::NoError ? file.errorString() : writer.errorString();
        file.cancelWriting();
        return fail(why);
    }
    if (!file.commit())
        return fail(file.errorString());
    return true;
}

QImage load(const QString& path)
{
    // Only plain files: a directory, a pipe or a device is no picture (and a
    // pipe would block the program).
    const QFileInfo info(path);
    if (!info.isFile())
        return {};
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || !complete(file) || !file.seek(0))
        return {};

    QImageReader::setAllocationLimit(kAllocationLimitMB);
    QImageReader reader(&file);
    reader.setDecideFormatFromContent(true);
    // The size comes from the header; nothing is decoded before it passes.
    if (!withinCaps(reader.size()))
        return {};
    QImage image;
    if (!reader.read(&image) || image.isNull() || !withinCaps(image.size()))
        return {};
    return image;
}

}   // namespace PictureStore
