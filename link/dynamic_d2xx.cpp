#include "dynamic_d2xx.h"
#include "asleep_reads.h"
#include "vendor_d2xx.h"
#include <QDebug>
#if defined(CORVA_HAVE_LIBFTDI)
#include "libftdi_d2xx.h"
#endif

DynamicD2xx::DynamicD2xx() : DynamicD2xx(platformCandidates()) {}

DynamicD2xx::DynamicD2xx(QStringList candidates, Backend only)
    : libftdiLoader([this](QString& inUse, QString& why) { return loadLibftdi(inUse, why); }),
      candidates_(std::move(candidates)), only_(only)
{
}

DynamicD2xx::~DynamicD2xx() = default;

QString DynamicD2xx::platformLibraryName()
{
#if defined(_WIN32)
    return QStringLiteral("FTD2XX.DLL");
#elif defined(__APPLE__)
    return QStringLiteral("libftd2xx.dylib");
#else
    return QStringLiteral("libftd2xx.so");
#endif
}

QStringList DynamicD2xx::platformCandidates()
{
    // The loader path first; then where the vendor's installer puts it, which is
    // often missing from the loader cache.
#if defined(_WIN32)
    return {platformLibraryName()};
#elif defined(__APPLE__)
    return {platformLibraryName(), QStringLiteral("/usr/local/lib/libftd2xx.dylib")};
#else
    return {platformLibraryName(), QStringLiteral("/usr/local/lib/libftd2xx.so")};
#endif
}

bool DynamicD2xx::libftdiBuiltIn()
{
#if defined(CORVA_HAVE_LIBFTDI)
    return true;
#else
    return false;
#endif
}

bool DynamicD2xx::choose(Backend only)
{
    if (impl_ || (only == Backend::Libftdi && !libftdiBuiltIn()))
        return false;
    only_ = only;
    return true;
}

// The first call picks the library; every call then goes to it.
D2xx& DynamicD2xx::driver()
{
    if (impl_)
        return *impl_;
    QString vendorError, libftdiError, inUse;
    if (only_ != Backend::Libftdi) {
        if (std::unique_ptr<D2xx> d = loadVendor(inUse, vendorError)) {
            install(Backend::Vendor, std::move(d), inUse);
            return *impl_;
        }
    }
    if (only_ != Backend::Vendor) {
        if (std::unique_ptr<D2xx> d = libftdiLoader(inUse, libftdiError)) {
            install(Backend::Libftdi, std::move(d), inUse);
            return *impl_;
        }
    }
    missing(vendorError, libftdiError);
}

std::unique_ptr<D2xx> DynamicD2xx::loadVendor(QString& inUse, QString& why)
{
    std::unique_ptr<VendorD2xx> vendor = VendorD2xx::load(candidates_, loadedFrom_, why);
    if (!vendor)
        return nullptr;
    inUse = vendor->fileInUse();
    if (!waitAsleepForReads)
        return vendor;
    return std::make_unique<AsleepReads>(std::move(vendor));
}

std::unique_ptr<D2xx> DynamicD2xx::loadLibftdi(QString& inUse, QString& why)
{
#if defined(CORVA_HAVE_LIBFTDI)
    why = LibftdiD2xx::unusableReason();
    if (!why.isEmpty())
        return nullptr;
    inUse = QStringLiteral("libftdi1 ") + LibftdiD2xx::version();
    return std::make_unique<LibftdiD2xx>(where.root);
#else
    Q_UNUSED(inUse);
    Q_UNUSED(why);
    return nullptr;
#endif
}

void DynamicD2xx::install(Backend backend, std::unique_ptr<D2xx> impl, const QString& inUse, const QString& because)
{
    impl_ = std::move(impl);
    backend_ = backend;
    inUse_ = inUse;
    // One line on standard error, so that a user started from a terminal sees
    // which of the two ways the program took, and why when it changed.
    qInfo("USB driver library: %s", qUtf8Printable(because.isEmpty() ? inUse_ : inUse_ + QStringLiteral(" (%1)").arg(because)));
}

std::optional<diagnosis::Library> DynamicD2xx::library() const
{
    switch (backend_) {
    case Backend::Vendor: return diagnosis::Library::Vendor;
    case Backend::Libftdi: return diagnosis::Library::Libftdi;
    default: return missing_ ? std::optional(diagnosis::Library::Missing) : std::nullopt;
    }
}

bool DynamicD2xx::giveWayToLibftdi(const QString& serial)
{
    // Only our own choice may be changed, and only while FTDI's library has
    // nothing open that the change would strand.
    if (only_ != Backend::None || backend_ != Backend::Vendor || open_ > 0 || serial.isEmpty())
        return false;
    const QList<diagnosis::FtdiDevice> devices = diagnosis::ftdiDevices(where);
    const diagnosis::FtdiDevice* d = diagnosis::bySerial(devices, serial);
    // A tty in use stays with its program: libftdi1 would take it away.
    if (!d || d->kernelDriver.isEmpty() || d->ttyHeld())
        return false;
    QString inUse, why;
    std::unique_ptr<D2xx> libftdi = libftdiLoader(inUse, why);
    if (!libftdi)
        return false;
    install(Backend::Libftdi, std::move(libftdi), inUse,
            QStringLiteral("FTDI's library cannot open %1 while %2 holds it").arg(serial, d->kernelDriver));
    return true;
}

void DynamicD2xx::missing(const QString& vendorError, const QString& libftdiError)
{
    missing_ = true;
    const QString name = platformLibraryName();
    QString how;
#if defined(_WIN32)
    how = QStringLiteral("Install the FTDI D2XX driver (it puts %1 in the Windows system folder), "
                         "or place %1 beside the program.").arg(name);
#elif defined(__APPLE__)
    how = QStringLiteral("Install the FTDI D2XX driver for macOS so that %1 is in /usr/local/lib.").arg(name);
    how += libftdiBuiltIn() ? QStringLiteral("\nOr install libftdi1 (brew install libftdi).")
                            : QStringLiteral("\nOr build this program with libftdi1 (brew install libftdi).");
#else
    how = QStringLiteral("Install the FTDI D2XX driver for Linux so that %1 is in /usr/local/lib "
                         "(then run ldconfig), or point LD_LIBRARY_PATH at its folder.").arg(name);
    how += libftdiBuiltIn()
               ? QStringLiteral("\nOr use libftdi1 from your distribution (sudo apt install libftdi1-2) "
                                "with the udev rule 70-corvameter.rules.")
               : QStringLiteral("\nOr build this program with libftdi1 (sudo apt install libftdi1-dev) "
                                "and use that.");
#endif
    QStringList why;
    if (!vendorError.isEmpty())
        why << vendorError;
    if (!libftdiError.isEmpty())
        why << QStringLiteral("libftdi1: ") + libftdiError;
    throw D2xxError(kErrLibraryMissing,
                    QStringLiteral("The USB driver library %1 could not be loaded%2.\n%3\n\n(%4)")
                        .arg(name,
                             libftdiError.isEmpty() ? QString() : QStringLiteral(", and libftdi1 could not be used"),
                             how, why.join(QStringLiteral("; ")))
                        .toStdString());
}

FT_STATUS DynamicD2xx::ListDevices(void* a, void* b, DWORD f) { return driver().ListDevices(a, b, f); }
FT_STATUS DynamicD2xx::OpenEx(void* a, DWORD f, FT_HANDLE* h)
{
    FT_STATUS st = driver().OpenEx(a, f, h);
    // The same open once more, through libftdi1, if that can do what FTDI's cannot.
    if (st != FT_OK && f == FT_OPEN_BY_SERIAL_NUMBER && a && giveWayToLibftdi(QString::fromLatin1(static_cast<const char*>(a))))
        st = impl_->OpenEx(a, f, h);
    if (st == FT_OK)
        ++open_;
    return st;
}
FT_STATUS DynamicD2xx::Write(FT_HANDLE h, void* b, DWORD n, DWORD* w) { return driver().Write(h, b, n, w); }
FT_STATUS DynamicD2xx::SetTimeouts(FT_HANDLE h, ULONG r, ULONG w) { return driver().SetTimeouts(h, r, w); }
FT_STATUS DynamicD2xx::GetQueueStatus(FT_HANDLE h, DWORD* q) { return driver().GetQueueStatus(h, q); }
FT_STATUS DynamicD2xx::Read(FT_HANDLE h, void* b, DWORD n, DWORD* r) { return driver().Read(h, b, n, r); }
FT_STATUS DynamicD2xx::Close(FT_HANDLE h)
{
    const FT_STATUS st = driver().Close(h);
    if (st == FT_OK && open_ > 0)
        --open_;
    return st;
}
