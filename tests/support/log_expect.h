#pragma once
// What the status box shows of a downloaded log, worked out from the records.
#include <QByteArray>
#include <QString>
#include <functional>

inline const QString kEndOfLog = QStringLiteral("-------- End of Log --------");

// Records 0 .. n-1 of `record` without their first four bytes: the first
// four as they are, the later ones numbered from 1.
inline QString logShown(int n, const std::function<QByteArray(int)>& record)
{
    QString s;
    for (int i = 0; i < n; ++i)
        s += (i < 4 ? QString() : QString::number(i - 3) + ": ") + QString::fromLatin1(record(i).mid(4));
    return s;
}
