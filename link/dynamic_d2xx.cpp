#include "dynamic_d2xx.h"

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

DynamicD2xx::DynamicD2xx(QStringList candidates) : candidates_(std::move(candidates)) {}

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

void DynamicD2xx::load()
{
    if (loaded_)
        return;
    QString lastError;
    for (const QString& name : candidates_) {
        lib_.setFileName(name);
        if (lib_.load())
            break;
        lastError = lib_.errorString();
    }
    if (!lib_.isLoaded()) {
        const QString name = platformLibraryName();
        QString how;
#if defined(_WIN32)
        how = QStringLiteral("Install the FTDI D2XX driver (it puts %1 in the Windows system folder), "
                             "or place %1 beside the program.").arg(name);
#elif defined(__APPLE__)
        how = QStringLiteral("Install the FTDI D2XX driver for macOS so that %1 is in /usr/local/lib.").arg(name);
#else
        how = QStringLiteral("Install the FTDI D2XX driver for Linux so that %1 is in /usr/local/lib "
                             "(then run ldconfig), or point LD_LIBRARY_PATH at its folder.").arg(name);
#endif
        throw D2xxError(kErrLibraryMissing,
                        QStringLiteral("The USB driver library %1 could not be loaded.\n%2\n\n(%3)")
                            .arg(name, how, lastError).toStdString());
    }
    auto* e = new Entries;
    e->listDevices = reinterpret_cast<PFN_ListDevices>(entry("FT_ListDevices"));
    e->openEx = reinterpret_cast<PFN_OpenEx>(entry("FT_OpenEx"));
    e->write = reinterpret_cast<PFN_Write>(entry("FT_Write"));
    e->setTimeouts = reinterpret_cast<PFN_SetTimeouts>(entry("FT_SetTimeouts"));
    e->getQueueStatus = reinterpret_cast<PFN_GetQueueStatus>(entry("FT_GetQueueStatus"));
    e->read = reinterpret_cast<PFN_Read>(entry("FT_Read"));
    e->close = reinterpret_cast<PFN_Close>(entry("FT_Close"));
    fn_ = e;
    loaded_ = true;
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

FT_STATUS DynamicD2xx::ListDevices(void* a, void* b, DWORD f) { load(); return fn_->listDevices(a, b, f); }
FT_STATUS DynamicD2xx::OpenEx(void* a, DWORD f, FT_HANDLE* h) { load(); return fn_->openEx(a, f, h); }
FT_STATUS DynamicD2xx::Write(FT_HANDLE h, void* b, DWORD n, DWORD* w) { load(); return fn_->write(h, b, n, w); }
FT_STATUS DynamicD2xx::SetTimeouts(FT_HANDLE h, ULONG r, ULONG w) { load(); return fn_->setTimeouts(h, r, w); }
FT_STATUS DynamicD2xx::GetQueueStatus(FT_HANDLE h, DWORD* q) { load(); return fn_->getQueueStatus(h, q); }
FT_STATUS DynamicD2xx::Read(FT_HANDLE h, void* b, DWORD n, DWORD* r) { load(); return fn_->read(h, b, n, r); }
FT_STATUS DynamicD2xx::Close(FT_HANDLE h) { load(); return fn_->close(h); }
