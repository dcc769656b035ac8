#pragma once
// Storing the display as a Windows bitmap and loading pictures back, without
// widgets so that it can be tested and fuzzed on its own.
#include <QDir>
#include <QImage>
#include <QString>

namespace PictureStore {

// Pictures larger than this are refused before anything is decoded. The
// display shows 320 x 240 pixels; the caps still let a full-screen capture
// through while keeping one decoded picture under 64 MB.
constexpr int kMaxSide = 8192;
constexpr qint64 kMaxPixels = qint64(4096) * 4096;
// Upper bound, in MB, for what the image reader may allocate for one picture.
constexpr int kAllocationLimitMB = 128;

// Full path of a file in a folder: exactly one separator between them. Roots
// (C:\, /) already end with one and get no second.
QString joinPath(const QString& folder, const QString& name, QChar separator = QDir::separator());

// Writes the image as a 24-bit Windows bitmap. The file appears complete or
// not at all: the old file of that name stays as it was when anything fails.
// On failure `error` says why.
bool store(const QImage& image, const QString& path, QString* error = nullptr);

// Reads a picture file (Windows bitmap, or any format the image reader knows,
// judged by content, not by name). A null image when the file is missing, not
// a plain file, not a picture, truncated, or larger than the caps.
QImage load(const QString& path);

}   // namespace PictureStore
