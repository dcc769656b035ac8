#pragma once
// What the machine tells about the FTDI devices on its USB bus, and why an
// open failed, in plain words. Read from sysfs, /proc and /dev under a root
// folder: "/" on the user's machine, a tree of their own in the tests.
// Linux only; elsewhere nothing is listed and the causes are those the
// driver library alone can tell.
#include <QList>
#include <QString>
#include <cstdint>
#include <optional>

namespace diagnosis {

// Whose access to a device node is judged. Unset: this process's own, as the
// kernel decides it (access(2), ACLs included). Set: the node's owner, group
// and mode bits decide for this user.
struct Identity {
    uint32_t uid = 0;
    QList<uint32_t> gids;
};

struct Where {
    QString root = QStringLiteral("/");
    std::optional<Identity> as;
    int64_t selfPid = 0;   // whose open files are not another program's; 0: this process
};

// A process with a device's tty or usbfs node open.
struct Holder {
    int64_t pid = 0;
    QString name;   // /proc/PID/comm
    QString path;   // what it has open, "/dev/ttyUSB0"
};

struct FtdiDevice {
    QString busPath;        // the sysfs name: bus, then the ports, "1-1.2"
    QString serial;
    QString description;    // the product string, "FT232R USB UART"
    uint16_t product = 0;
    bool opensAs = false;   // a product id the program opens (6001, 6010, 6011, 6014, 6015)
    int bus = 0, address = 0;
    QString node;           // "/dev/bus/usb/001/005"
    QString kernelDriver;   // bound to the first interface, "ftdi_sio"; empty when none
    QString tty;            // "/dev/ttyUSB0" when that driver made one
    QList<Holder> holders;  // other processes with the tty or the node open
    bool mayOpen = false;   // this user may read and write the node
    bool nodeFound = false;
    QString owner, group;   // the node's, by name where the system has one
    uint32_t mode = 0;      // the node's permission bits, 0664

    bool held() const { return !holders.isEmpty(); }
    bool ttyHeld() const;   // by another process: detaching the driver would end its session
};

// The FTDI devices (vendor 0x0403) in the order the program picks by: free
// ones first, then by bus and device number.
QList<FtdiDevice> ftdiDevices(const Where& where = {});
// The one "device 0" means: the first free device of a kind the program
// opens, else the first of that kind (its open then fails as busy); -1: none.
int deviceZero(const QList<FtdiDevice>& devices);
// By serial number; nullptr when not attached.
const FtdiDevice* bySerial(const QList<FtdiDevice>& devices, const QString& serial);
// By bus and device number, as libusb names a device.
const FtdiDevice* byAddress(const QList<FtdiDevice>& devices, int bus, int address);

// Which library made the open that failed.
enum class Library { Vendor, Libftdi, Missing };

struct Finding {
    enum class Cause { Unknown, NoDevice, NoAccess, KernelDriver, Held, LibraryMissing };
    Cause cause = Cause::Unknown;
    QString why;   // "the kernel's ftdi_sio driver holds CVM00001 ..."
    QString fix;   // "unbind it: ..."
    // "<why>; <fix>", for "corvactl: " in front.
    QString line() const { return why + QStringLiteral("; ") + fix; }
    // Two sentences for a message box.
    QString sentences() const;
};

// After a failed open through `library` of the device with serial number
// `serialTried` (empty when the list failed before a serial came: device 0).
Finding explain(const QList<FtdiDevice>& devices, Library library, const QString& serialTried);
inline Finding explainFailedOpen(Library library, const QString& serialTried, const Where& where = {})
{
    return explain(ftdiDevices(where), library, serialTried);
}

} // namespace diagnosis
