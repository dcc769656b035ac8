#include "tokens.h"
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSaveFile>

namespace tokens {

namespace {
constexpr QFileDevice::Permissions kOwnerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
constexpr QFileDevice::Permissions kOthers = QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ExeGroup
                                             | QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther;

bool wellFormed(const QByteArray& t)
{
    if (t.size() < 32 || t.size() > 256)
        return false;
    for (char c : t)
        if (!QChar(QLatin1Char(c)).isLetterOrNumber() && c != '-' && c != '_' && c != '.' && c != '~')
            return false;
    return true;
}
}   // namespace

QByteArray loadOrCreate(const QString& path, QString& why)
{
    QFile f(path);
    if (f.exists()) {
#ifndef Q_OS_WIN
        // Windows keeps access in ACLs, which the file's folder decides.
        if (f.permissions() & kOthers) {
            why = QStringLiteral("%1 may be read by others; make it the owner's alone: chmod 600 %1").arg(path);
            return {};
        }
#endif
        if (!f.open(QIODevice::ReadOnly)) {
            why = QStringLiteral("cannot read %1: %2").arg(path, f.errorString());
            return {};
        }
        const QByteArray t = f.read(300).trimmed();
        if (!wellFormed(t)) {
            why = QStringLiteral("%1 does not hold a token (32 or more letters and digits); remove it to have a new "
                                 "one made").arg(path);
            return {};
        }
        return t;
    }
    quint32 bits[4];
    QRandomGenerator::system()->fillRange(bits);
    const QByteArray t = QByteArray(reinterpret_cast<const char*>(bits), sizeof bits).toHex();
    if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
        why = QStringLiteral("cannot make the folder of %1").arg(path);
        return {};
    }
    QSaveFile out(path);
    // The owner-only mode is set before a byte of the token is written.
    if (!out.open(QIODevice::WriteOnly) || !out.setPermissions(kOwnerOnly) || out.write(t + '\n') != t.size() + 1
        || !out.commit()) {
        why = QStringLiteral("cannot write %1: %2").arg(path, out.errorString());
        return {};
    }
    return t;
}

bool same(const QByteArray& a, const QByteArray& b)
{
    const qsizetype n = std::max(a.size(), b.size());
    unsigned diff = unsigned(a.size() ^ b.size());
    for (qsizetype i = 0; i < n; ++i)
        diff |= unsigned(uchar(i < a.size() ? a[i] : 0) ^ uchar(i < b.size() ? b[i] : 0));
    return diff == 0 && n > 0;
}

}   // namespace tokens
