#include "diagnosis.h"
#include <QDir>
#include <QFile>
#include <QStringList>
#include <algorithm>
#include <cstdlib>
#include <vector>
#include <tuple>
#if defined(__linux__)
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace diagnosis {

namespace {

#if defined(__linux__)
constexpr uint16_t kProductsOpened[] = {0x6001, 0x6010, 0x6011, 0x6014, 0x6015};

QString octal(uint32_t mode) { return QStringLiteral("%1").arg(mode, 4, 8, QChar(u'0')); }

// "CVM00001", or where it sits when it has no serial number.
QString named(const FtdiDevice& d)
{
    return d.serial.isEmpty() ? QStringLiteral("the FTDI device at %1").arg(d.busPath) : d.serial;
}

QString heldBy(const FtdiDevice& d)
{
    QStringList who;
    for (const Holder& h : d.holders)
        who << QStringLiteral("%1 (process %2) has %3 open").arg(h.name.isEmpty() ? QStringLiteral("a program") : h.name)
                   .arg(h.pid).arg(h.path);
    return who.join(QStringLiteral(", "));
}

QString readLine(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(f.readAll()).trimmed();
}

bool mayReadWrite(const QString& path, const struct stat& st, const std::optional<Identity>& as)
{
    if (!as)
        return faccessat(AT_FDCWD, QFile::encodeName(path).constData(), R_OK | W_OK, AT_EACCESS) == 0;
    if (as->uid == 0)
        return true;
    const uint32_t bits = st.st_uid == as->uid ? (st.st_mode >> 6) & 7
                          : as->gids.contains(uint32_t(st.st_gid)) ? (st.st_mode >> 3) & 7
                                                                   : st.st_mode & 7;
    return (bits & 6) == 6;
}

QString userName(uid_t uid)
{
    const passwd* p = getpwuid(uid);
    return p ? QString::fromLocal8Bit(p->pw_name) : QString::number(uid);
}

QString groupName(gid_t gid)
{
    const group* g = getgrgid(gid);
    return g ? QString::fromLocal8Bit(g->gr_name) : QString::number(gid);
}

// Every process's open files that are among `paths`, but for `self`'s.
QList<Holder> openBy(const QString& root, int64_t self, const QStringList& paths)
{
    QList<Holder> found;
    const QByteArray proc = QFile::encodeName(root + QStringLiteral("/proc/"));
    std::vector<QByteArray> wanted;
    for (const QString& p : paths)
        wanted.push_back(QFile::encodeName(p));
    DIR* all = opendir(proc.constData());
    if (!all)
        return found;
    while (const dirent* p = readdir(all)) {
        char* end = nullptr;
        const int64_t id = std::strtoll(p->d_name, &end, 10);
        if (end == p->d_name || *end || id == self)
            continue;
        // Another user's processes cannot be looked into unless we are root.
        DIR* fds = opendir((proc + p->d_name + "/fd").constData());
        if (!fds)
            continue;
        while (const dirent* e = readdir(fds)) {
            char target[4096];
            const ssize_t n = readlinkat(dirfd(fds), e->d_name, target, sizeof target);
            if (n <= 0)
                continue;
            const QByteArray path(target, n);
            if (std::find(wanted.begin(), wanted.end(), path) == wanted.end())
                continue;
            const QString name = QFile::decodeName(path);
            if (std::none_of(found.begin(), found.end(), [&](const Holder& h) { return h.pid == id && h.path == name; }))
                found << Holder{id, readLine(QFile::decodeName(proc + p->d_name + "/comm")), name};
        }
        closedir(fds);
    }
    closedir(all);
    return found;
}
#endif

} // namespace

bool FtdiDevice::ttyHeld() const
{
    return !tty.isEmpty() && std::any_of(holders.begin(), holders.end(), [&](const Holder& h) { return h.path == tty; });
}

QList<FtdiDevice> ftdiDevices(const Where& where)
{
    QList<FtdiDevice> list;
#if defined(__linux__)
    const int64_t self = where.selfPid ? where.selfPid : int64_t(getpid());
    const QDir usb(where.root + QStringLiteral("/sys/bus/usb/devices"));
    QStringList watched;
    for (const QString& name : usb.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        // Interfaces carry a colon; root hubs are "usbN".
        if (name.contains(u':') || name.startsWith(QStringLiteral("usb")))
            continue;
        const QString dir = usb.filePath(name) + u'/';
        if (readLine(dir + QStringLiteral("idVendor")).toLower() != QStringLiteral("0403"))
            continue;
        FtdiDevice d;
        d.busPath = name;
        d.serial = readLine(dir + QStringLiteral("serial"));
        d.description = readLine(dir + QStringLiteral("product"));
        d.product = uint16_t(readLine(dir + QStringLiteral("idProduct")).toUInt(nullptr, 16));
        d.opensAs = std::find(std::begin(kProductsOpened), std::end(kProductsOpened), d.product) != std::end(kProductsOpened);
        d.bus = readLine(dir + QStringLiteral("busnum")).toInt();
        d.address = readLine(dir + QStringLiteral("devnum")).toInt();
        d.node = QStringLiteral("/dev/bus/usb/%1/%2").arg(d.bus, 3, 10, QChar(u'0')).arg(d.address, 3, 10, QChar(u'0'));
        // The first interface, whatever the configuration's number.
        const QStringList first = usb.entryList({name + QStringLiteral(":*.0")}, QDir::Dirs);
        if (!first.isEmpty()) {
            const QString iface = usb.filePath(first.first());
            const QString driver = QFile::symLinkTarget(iface + QStringLiteral("/driver"));
            if (!driver.isEmpty())
                d.kernelDriver = QFileInfo(driver).fileName();
            const QStringList ttys = QDir(iface).entryList({QStringLiteral("tty*")}, QDir::Dirs);
            if (!ttys.isEmpty())
                d.tty = QStringLiteral("/dev/") + ttys.first();
        }
        const QString node = where.root + d.node;
        struct stat st{};
        d.nodeFound = ::stat(QFile::encodeName(node).constData(), &st) == 0;
        if (d.nodeFound) {
            d.mayOpen = mayReadWrite(node, st, where.as);
            d.owner = userName(st.st_uid);
            d.group = groupName(st.st_gid);
            d.mode = uint32_t(st.st_mode & 07777);
        }
        watched << d.node;
        if (!d.tty.isEmpty())
            watched << d.tty;
        list << d;
    }
    if (list.isEmpty())
        return list;
    QList<Holder> holders = openBy(where.root, self, watched);
    std::sort(holders.begin(), holders.end(), [](const Holder& a, const Holder& b) { return a.pid < b.pid; });
    for (FtdiDevice& d : list)
        for (const Holder& h : holders)
            if (h.path == d.node || h.path == d.tty)
                d.holders << h;
    std::stable_sort(list.begin(), list.end(), [](const FtdiDevice& a, const FtdiDevice& b) {
        return std::tuple(a.held(), a.bus, a.address) < std::tuple(b.held(), b.bus, b.address);
    });
#else
    Q_UNUSED(where);
#endif
    return list;
}

int deviceZero(const QList<FtdiDevice>& devices)
{
    int firstHeld = -1;
    for (int i = 0; i < devices.size(); ++i) {
        if (!devices[i].opensAs)
            continue;
        if (!devices[i].held())
            return i;
        if (firstHeld < 0)
            firstHeld = i;
    }
    return firstHeld;
}

const FtdiDevice* bySerial(const QList<FtdiDevice>& devices, const QString& serial)
{
    const auto it = std::find_if(devices.begin(), devices.end(), [&](const FtdiDevice& d) { return d.serial == serial; });
    return it == devices.end() ? nullptr : &*it;
}

const FtdiDevice* byAddress(const QList<FtdiDevice>& devices, int bus, int address)
{
    const auto it = std::find_if(devices.begin(), devices.end(),
                                 [&](const FtdiDevice& d) { return d.bus == bus && d.address == address; });
    return it == devices.end() ? nullptr : &*it;
}

QString Finding::sentences() const
{
    auto sentence = [](QString s) {
        if (!s.isEmpty())
            s[0] = s[0].toUpper();
        return s + u'.';
    };
    return sentence(why) + u' ' + sentence(fix);
}

Finding explain(const QList<FtdiDevice>& devices, Library library, const QString& serialTried)
{
    using Cause = Finding::Cause;
    if (library == Library::Missing) {
#if defined(_WIN32)
        return {Cause::LibraryMissing, QStringLiteral("the USB driver library FTD2XX.DLL could not be loaded"),
                QStringLiteral("install the FTDI D2XX driver, or place FTD2XX.DLL beside the program")};
#elif defined(__APPLE__)
        return {Cause::LibraryMissing, QStringLiteral("the USB driver library libftd2xx.dylib could not be loaded"),
                QStringLiteral("install the FTDI D2XX driver for macOS, or libftdi1 (brew install libftdi)")};
#else
        return {Cause::LibraryMissing,
                QStringLiteral("the USB driver library libftd2xx.so could not be loaded, and libftdi1 could not be used"),
                QStringLiteral("install libftdi1 from your distribution (sudo apt install libftdi1-2) with the udev rule "
                               "70-corvameter.rules, or FTDI's D2XX library in /usr/local/lib (then run sudo ldconfig)")};
#endif
    }
#if !defined(__linux__)
    Q_UNUSED(devices);
    return {Cause::Unknown,
            serialTried.isEmpty() ? QStringLiteral("no Corvameter could be opened through the FTDI driver")
                                  : QStringLiteral("the Corvameter %1 could not be opened through the FTDI driver").arg(serialTried),
            QStringLiteral("check that it is plugged in and switched on, and that no other program has it open")};
#else
    int tried = -1;
    if (!serialTried.isEmpty())
        for (int i = 0; i < devices.size() && tried < 0; ++i)
            if (devices[i].serial == serialTried)
                tried = i;
    // Listed by the driver library, yet not on the machine's own USB list:
    // the system has nothing to say of it.
    if (tried < 0 && !serialTried.isEmpty())
        return {Cause::Unknown,
                QStringLiteral("%1 could not be opened, and the system shows no USB device with that serial number")
                    .arg(serialTried),
                QStringLiteral("unplug it and plug it in again, and close any other program that may use it")};
    if (tried < 0)
        tried = deviceZero(devices);
    if (tried < 0) {
        QString why = QStringLiteral("no FTDI device is attached to USB");
        if (!devices.isEmpty()) {
            QStringList other;
            for (const FtdiDevice& d : devices)
                other << QStringLiteral("%1 (0403:%2)").arg(named(d)).arg(d.product, 4, 16, QChar(u'0'));
            why = QStringLiteral("no FTDI device of the kinds the Corvameter uses is attached to USB (found only %1)")
                      .arg(other.join(QStringLiteral(", ")));
        }
        return {Cause::NoDevice, why, QStringLiteral("plug the Corvameter in, switch it on and check its USB cable")};
    }
    const FtdiDevice& d = devices[tried];
    // Which one was meant, when there is a choice.
    QString others;
    if (devices.size() > 1) {
        QStringList o;
        for (const FtdiDevice& x : devices)
            if (&x != &d)
                o << QStringLiteral("%1 at %2%3").arg(named(x), x.busPath,
                                                       x.description.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(x.description));
        others = QStringLiteral(" (tried %1 at %2; also attached: %3)").arg(named(d), d.busPath, o.join(QStringLiteral(", ")));
    }
    const QString libName = library == Library::Libftdi ? QStringLiteral("libftdi1") : QStringLiteral("FTDI's library");
    if (!d.nodeFound || !d.mayOpen) {
        const QString why = d.nodeFound
            ? QStringLiteral("you may not open %1, the USB device node of %2 (owner %3, group %4, mode %5)")
                  .arg(d.node, named(d), d.owner, d.group, octal(d.mode))
            : QStringLiteral("the USB device node %1 of %2 is missing").arg(d.node, named(d));
        // A node already given to a group needs only that the user joins it.
        const bool groupRule = d.nodeFound && d.group != QStringLiteral("root") && ((d.mode >> 3) & 6) == 6;
        const QString fix = groupRule
            ? QStringLiteral("add yourself to the group %1 (sudo usermod -aG %1 $USER) and log in again").arg(d.group)
            : QStringLiteral("install the udev rule 70-corvameter.rules (the package does; from the source tree: sudo cp "
                             "dist/70-corvameter.rules /etc/udev/rules.d/), run sudo udevadm control --reload-rules and "
                             "plug the instrument in again; without systemd-logind use the README's group rule and sudo "
                             "usermod -aG plugdev $USER");
        return {Cause::NoAccess, why + others, fix};
    }
    if (d.held()) {
        QStringList pids;
        for (const Holder& h : d.holders)
            pids << QString::number(h.pid);
        return {Cause::Held, QStringLiteral("%1 is in use by another program: %2").arg(named(d), heldBy(d)) + others,
                QStringLiteral("close that program (or end it: kill %1) and try again").arg(pids.join(u' '))};
    }
    if (!d.kernelDriver.isEmpty() && library == Library::Vendor) {
        const QString iface = d.busPath + QStringLiteral(":1.0");
        return {Cause::KernelDriver,
                QStringLiteral("the kernel's %1 driver holds %2%3, so FTDI's library cannot open it")
                    .arg(d.kernelDriver, named(d), d.tty.isEmpty() ? QString() : QStringLiteral(" as ") + d.tty)
                    + others,
                QStringLiteral("use libftdi1, which detaches it for the run (corvactl --driver libftdi), or unbind it "
                               "(echo %1 | sudo tee /sys/bus/usb/drivers/%2/unbind), or sudo rmmod %2 usbserial")
                    .arg(iface, d.kernelDriver)};
    }
    return {Cause::Unknown,
            QStringLiteral("%1 could not be opened through %2, and the system does not tell why").arg(named(d), libName) + others,
            QStringLiteral("another user's program may have it open (sudo fuser -v %1%2 tells), or unplug it and plug it in again")
                .arg(d.node, d.tty.isEmpty() ? QString() : u' ' + d.tty)};
#endif
}

} // namespace diagnosis
