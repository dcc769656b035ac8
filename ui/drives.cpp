#include "drives.h"
#include "formparts.h"
#include <QDir>
#include <QFileInfo>
#include <QStorageInfo>

namespace {
#ifdef Q_OS_WIN
constexpr Qt::CaseSensitivity kCase = Qt::CaseInsensitive;
#else
constexpr Qt::CaseSensitivity kCase = Qt::CaseSensitive;
#endif
}   // namespace

bool isSystemVolume(const QString& root, const QByteArray& type)
{
    static const QByteArray pseudo[] = {
        "proc", "sysfs", "devtmpfs", "devpts", "devfs", "cgroup", "cgroup2", "securityfs", "pstore",
        "bpf", "debugfs", "tracefs", "configfs", "fusectl", "mqueue", "hugetlbfs", "binfmt_misc",
        "autofs", "rpc_pipefs", "nsfs", "efivarfs", "squashfs", "fuse.gvfsd-fuse", "fuse.portal"};
    for (const QByteArray& p : pseudo)
        if (type == p)
            return true;
    static const char* const systemDirs[] = {"/proc/", "/sys/", "/dev/", "/run/", "/snap/", "/var/lib/",
                                             "/System/Volumes/", "/private/var/"};
    const QString r = withSlash(root);
    if (r.startsWith(QLatin1String("/run/media/")))   // removable media on some systems
        return false;
    for (const char* d : systemDirs)
        if (r.startsWith(QLatin1String(d)))
            return true;
    return false;
}

QList<Drive> listDrives()
{
    QList<Drive> drives;
#ifdef Q_OS_WIN
    // Only the letters: asking a drive without a medium for more can hang.
    for (const QFileInfo& d : QDir::drives()) {
        const QString root = withSlash(d.absoluteFilePath());
        drives.append({root, root.left(2)});
    }
#else
    drives.append({QStringLiteral("/"), QStringLiteral("/")});
    for (const QStorageInfo& v : QStorageInfo::mountedVolumes()) {
        const QString root = withSlash(v.rootPath());
        // Bind mounts of single files show up as volumes too.
        if (root == QLatin1String("/") || !v.isValid() || isSystemVolume(root, v.fileSystemType()) ||
            !QFileInfo(root).isDir())
            continue;
        bool seen = false;
        for (const Drive& d : drives)
            seen = seen || d.root == root;
        if (seen)
            continue;
        QString label = QDir::toNativeSeparators(v.rootPath());
        if (!v.name().isEmpty() && v.name() != v.rootPath())
            label += QStringLiteral(" [%1]").arg(v.name());
        drives.append({root, label});
    }
#endif
    return drives;
}

int driveOf(const QString& path, const QList<Drive>& drives)
{
    const QString p = withSlash(QDir::fromNativeSeparators(path));
    int best = -1;
    for (int i = 0; i < drives.size(); ++i)
        if (p.startsWith(drives[i].root, kCase) &&
            (best < 0 || drives[i].root.size() > drives[best].root.size()))
            best = i;
    return best;
}
