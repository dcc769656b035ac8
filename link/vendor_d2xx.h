#pragma once
// The seven calls straight into the vendor's D2XX library (FTD2XX.DLL,
// libftd2xx.so, libftd2xx.dylib), resolved once when it is loaded.
#include "d2xx.h"
#include <QLibrary>
#include <QString>
#include <QStringList>
#include <memory>

class VendorD2xx : public D2xx {
public:
    // Loads the first of `candidates` the system loader takes. Null when none
    // does; `error` then holds the loader's reason for the last one tried.
    // `tried` is the name last given to the loader either way. Throws
    // D2xxError(kErrEntryPointMissing) for a library that lacks a call.
    static std::unique_ptr<VendorD2xx> load(const QStringList& candidates, QString& tried, QString& error);

    ~VendorD2xx() override;
    VendorD2xx(const VendorD2xx&) = delete;
    VendorD2xx& operator=(const VendorD2xx&) = delete;

    FT_STATUS ListDevices(void* arg1, void* arg2, DWORD flags) override;
    FT_STATUS OpenEx(void* arg1, DWORD flags, FT_HANDLE* handle) override;
    FT_STATUS Write(FT_HANDLE h, void* buffer, DWORD toWrite, DWORD* written) override;
    FT_STATUS SetTimeouts(FT_HANDLE h, ULONG readTimeout, ULONG writeTimeout) override;
    FT_STATUS GetQueueStatus(FT_HANDLE h, DWORD* rxBytes) override;
    FT_STATUS Read(FT_HANDLE h, void* buffer, DWORD toRead, DWORD* read) override;
    FT_STATUS Close(FT_HANDLE h) override;

    // The name the library was loaded by.
    QString fileName() const { return lib_.fileName(); }
    // The file the loader actually found, where the platform can tell.
    QString fileInUse() const;

private:
    struct Entries;
    VendorD2xx();
    QFunctionPointer entry(const char* name);

    QLibrary lib_;
    std::unique_ptr<Entries> fn_;
};
