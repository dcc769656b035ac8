#include "dynamic_d2xx.h"
#include <algorithm>
#include <chrono>
#include <thread>
#include <QDebug>
#if defined(CORVA_HAVE_LIBFTDI)
#include "libftdi_d2xx.h"
#endif
#if !defined(_WIN32)
#include <dlfcn.h>
#endif

#if defined(_WIN32) && !defined(_WIN64)
#define CORVA_D2XX_API __stdcall
#else
#define CORVA_D2XX_API
#endif

extern "C" {
typedef FT_STATUS(CORVA_D2XX_API* PFN_ListDevices)(void*, void*, DWORD);
typedef FT_STATUS(CORVA_D2XX_API* PFN_OpenEx)(void*, DWORD, FT_HANDLE*);
typedef FT_STATUS(CORVA_D2XX_API* PFN_Write)(FT_HANDLE, void*, DWORD, DWORD*);
typedef FT_STATUS(CORVA_D2XX_API* PFN_SetTimeouts)(FT_HANDLE, ULONG, ULONG);
typedef FT_STATUS(CORVA_D2XX_API* PFN_GetQueueStatus)(FT_HANDLE, DWORD*);
typedef FT_STATUS(CORVA_D2XX_API* PFN_Read)(FT_HANDLE, void*, DWORD, DWORD*);
typedef FT_STATUS(CORVA_D2XX_API* PFN_Close)(FT_HANDLE);
}

struct DynamicD2xx::Entries {
    PFN_ListDevices listDevices;
    PFN_OpenEx openEx;
    PFN_Write write;
    PFN_SetTimeouts setTimeouts;
    PFN_GetQueueStatus getQueueStatus;
    PFN_Read read;
    PFN_Close close;
};

DynamicD2xx::DynamicD2xx() : DynamicD2xx(platformCandidates()) {}

DynamicD2xx::DynamicD2xx(QStringList candidates, Backend only) : candidates_(std::move(candidates)), only_(only) {}

DynamicD2xx::~DynamicD2xx() { delete fn_; }

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
    if (loaded_ || (only == Backend::Libftdi && !libftdiBuiltIn()))
        return false;
    only_ = only;
    return true;
}

QString DynamicD2xx::libraryInUse() const
{
    switch (backend_) {
    case Backend::None:
        return {};
    case Backend::Libftdi:
#if defined(CORVA_HAVE_LIBFTDI)
        return QStringLiteral("libftdi1 ") + LibftdiD2xx::version();
#else
        return {};
#endif
    case Backend::Vendor:
        break;
    }
#if !defined(_WIN32)
    // The file the loader actually found, not the name it was asked for.
    Dl_info info{};
    if (fn_ && dladdr(reinterpret_cast<void*>(fn_->listDevices), &info) && info.dli_fname)
        return QString::fromLocal8Bit(info.dli_fname);
#endif
    return lib_.fileName();
}

// One line on standard error, so that a user started from a terminal sees
// which of the two ways the program took.
void DynamicD2xx::announce() const
{
    qInfo("USB driver library: %s", qUtf8Printable(libraryInUse()));
}

void DynamicD2xx::load()
{
    if (loaded_)
        return;
    QString vendorError, libftdiError;
    if (only_ != Backend::Libftdi) {
        for (const QString& name : candidates_) {
            lib_.setFileName(name);
            if (lib_.load())
                break;
            vendorError = lib_.errorString();
        }
    }
    if (lib_.isLoaded()) {
        auto* e = new Entries;
        e->listDevices = reinterpret_cast<PFN_ListDevices>(entry("FT_ListDevices"));
        e->openEx = reinterpret_cast<PFN_OpenEx>(entry("FT_OpenEx"));
        e->write = reinterpret_cast<PFN_Write>(entry("FT_Write"));
        e->setTimeouts = reinterpret_cast<PFN_SetTimeouts>(entry("FT_SetTimeouts"));
        e->getQueueStatus = reinterpret_cast<PFN_GetQueueStatus>(entry("FT_GetQueueStatus"));
        e->read = reinterpret_cast<PFN_Read>(entry("FT_Read"));
        e->close = reinterpret_cast<PFN_Close>(entry("FT_Close"));
        fn_ = e;
        backend_ = Backend::Vendor;
        loaded_ = true;
        announce();
        return;
    }
#if defined(CORVA_HAVE_LIBFTDI)
    if (only_ != Backend::Vendor) {
        libftdiError = LibftdiD2xx::unusableReason();
        if (libftdiError.isEmpty()) {
            libftdi_ = std::make_unique<LibftdiD2xx>();
            backend_ = Backend::Libftdi;
            loaded_ = true;
            announce();
            return;
        }
    }
#endif
    missing(vendorError, libftdiError);
}

void DynamicD2xx::missing(const QString& vendorError, const QString& libftdiError)
{
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

QFunctionPointer DynamicD2xx::entry(const char* name)
{
    QFunctionPointer p = lib_.resolve(name);
    if (!p) {
        lib_.unload();
        throw D2xxError(kErrEntryPointMissing,
                        QStringLiteral("The USB driver library %1 has no entry point %2. "
                                       "Install a current FTDI D2XX driver.")
                            .arg(lib_.fileName(), QString::fromLatin1(name)).toStdString());
    }
    return p;
}

// Each call goes to the library the first call chose.
FT_STATUS DynamicD2xx::ListDevices(void* a, void* b, DWORD f)
{
    load();
    return libftdi_ ? libftdi_->ListDevices(a, b, f) : fn_->listDevices(a, b, f);
}
FT_STATUS DynamicD2xx::OpenEx(void* a, DWORD f, FT_HANDLE* h)
{
    load();
    return libftdi_ ? libftdi_->OpenEx(a, f, h) : fn_->openEx(a, f, h);
}
FT_STATUS DynamicD2xx::Write(FT_HANDLE h, void* b, DWORD n, DWORD* w)
{
    load();
    return libftdi_ ? libftdi_->Write(h, b, n, w) : fn_->write(h, b, n, w);
}
FT_STATUS DynamicD2xx::SetTimeouts(FT_HANDLE h, ULONG r, ULONG w)
{
    load();
    if (libftdi_)
        return libftdi_->SetTimeouts(h, r, w);
    const FT_STATUS st = fn_->setTimeouts(h, r, w);
    if (st == FT_OK)
        readTimeoutMs_ = r;
    return st;
}
FT_STATUS DynamicD2xx::GetQueueStatus(FT_HANDLE h, DWORD* q)
{
    load();
    return libftdi_ ? libftdi_->GetQueueStatus(h, q) : fn_->getQueueStatus(h, q);
}
FT_STATUS DynamicD2xx::Read(FT_HANDLE h, void* b, DWORD n, DWORD* r)
{
    load();
    if (libftdi_)
        return libftdi_->Read(h, b, n, r);
    // FTDI's FT_Read waits for its bytes by sleeping a microsecond at a time,
    // which keeps the calling thread busy for every read issued ahead of its
    // data. Wait for them asleep here instead, within the same read time-out,
    // and hand over a read of what is there. A failing poll leaves it to the
    // read to say what is wrong.
    if (waitAsleepForReads && readTimeoutMs_ > 0) {
        using Clock = std::chrono::steady_clock;
        const auto end = Clock::now() + std::chrono::milliseconds(readTimeoutMs_);
        DWORD queued = 0;
        while (fn_->getQueueStatus(h, &queued) == FT_OK && queued < n) {
            const auto now = Clock::now();
            if (now >= end) {
                n = queued;
                break;
            }
            const std::chrono::microseconds pause(queuePollPauseUs(int64_t(n) - int64_t(queued)));
            std::this_thread::sleep_for(std::min<Clock::duration>(pause, end - now));
        }
    }
    return fn_->read(h, b, n, r);
}
FT_STATUS DynamicD2xx::Close(FT_HANDLE h)
{
    load();
    return libftdi_ ? libftdi_->Close(h) : fn_->close(h);
}
