#include "vendor_d2xx.h"
#if !defined(_WIN32)
#include <dlfcn.h>
#endif

// The vendor's calls are __stdcall on 32-bit Windows only.
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

struct VendorD2xx::Entries {
    PFN_ListDevices listDevices;
    PFN_OpenEx openEx;
    PFN_Write write;
    PFN_SetTimeouts setTimeouts;
    PFN_GetQueueStatus getQueueStatus;
    PFN_Read read;
    PFN_Close close;
};

VendorD2xx::VendorD2xx() = default;
// The library stays loaded for the rest of the run, as QLibrary leaves it.
VendorD2xx::~VendorD2xx() = default;

std::unique_ptr<VendorD2xx> VendorD2xx::load(const QStringList& candidates, QString& tried, QString& error)
{
    std::unique_ptr<VendorD2xx> d(new VendorD2xx);
    for (const QString& name : candidates) {
        d->lib_.setFileName(name);
        if (d->lib_.load())
            break;
        error = d->lib_.errorString();
    }
    tried = d->lib_.fileName();
    if (!d->lib_.isLoaded())
        return nullptr;
    auto e = std::make_unique<Entries>();
    e->listDevices = reinterpret_cast<PFN_ListDevices>(d->entry("FT_ListDevices"));
    e->openEx = reinterpret_cast<PFN_OpenEx>(d->entry("FT_OpenEx"));
    e->write = reinterpret_cast<PFN_Write>(d->entry("FT_Write"));
    e->setTimeouts = reinterpret_cast<PFN_SetTimeouts>(d->entry("FT_SetTimeouts"));
    e->getQueueStatus = reinterpret_cast<PFN_GetQueueStatus>(d->entry("FT_GetQueueStatus"));
    e->read = reinterpret_cast<PFN_Read>(d->entry("FT_Read"));
    e->close = reinterpret_cast<PFN_Close>(d->entry("FT_Close"));
    d->fn_ = std::move(e);
    return d;
}

QFunctionPointer VendorD2xx::entry(const char* name)
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

QString VendorD2xx::fileInUse() const
{
#if !defined(_WIN32)
    // The file the loader actually found, not the name it was asked for.
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(fn_->listDevices), &info) && info.dli_fname)
        return QString::fromLocal8Bit(info.dli_fname);
#endif
    return lib_.fileName();
}

FT_STATUS VendorD2xx::ListDevices(void* a, void* b, DWORD f) { return fn_->listDevices(a, b, f); }
FT_STATUS VendorD2xx::OpenEx(void* a, DWORD f, FT_HANDLE* h) { return fn_->openEx(a, f, h); }
FT_STATUS VendorD2xx::Write(FT_HANDLE h, void* b, DWORD n, DWORD* w) { return fn_->write(h, b, n, w); }
FT_STATUS VendorD2xx::SetTimeouts(FT_HANDLE h, ULONG r, ULONG w) { return fn_->setTimeouts(h, r, w); }
FT_STATUS VendorD2xx::GetQueueStatus(FT_HANDLE h, DWORD* q) { return fn_->getQueueStatus(h, q); }
FT_STATUS VendorD2xx::Read(FT_HANDLE h, void* b, DWORD n, DWORD* r) { return fn_->read(h, b, n, r); }
FT_STATUS VendorD2xx::Close(FT_HANDLE h) { return fn_->close(h); }
