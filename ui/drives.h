#pragma once
// What the store dialog offers as drives: the drive letters on Windows, the
// mounted volumes elsewhere ("/" first).
#include <QByteArray>
#include <QList>
#include <QString>

struct Drive {
    QString root;    // with '/' separators, ending in one: "C:/", "/", "/media/usb/"
    QString label;   // what the selector shows
};

QList<Drive> listDrives();

// Volumes that hold no user files (kernel interfaces, system mounts, snaps).
bool isSystemVolume(const QString& root, const QByteArray& fileSystemType);

// The drive a path lies on: the one with the longest root that starts it.
// -1 when none does.
int driveOf(const QString& path, const QList<Drive>& drives);
