#pragma once
#include "d2xx.h"
#include <QLibrary>
#include <QString>
#include <QStringList>

// Reaches the vendor's driver library, loaded on first use by its platform name
// (FTD2XX.DLL, libftd2xx.so, libftd2xx.dylib) through the system loader path.
class DynamicD2xx : public D2xx {
public:
    DynamicD2xx();
    // Names tried in order; the first that loads wins. Tests may replace them.
    explicit DynamicD2xx(QStringList candidates);
    ~DynamicD2xx() override;
    DynamicD2xx(const DynamicD2xx&) = delete;
    DynamicD2xx& operator=(const DynamicD2xx&) = delete;

    FT_STATUS ListDevices(void* arg1, void* arg2, DWORD flags) override;
    FT_STATUS OpenEx(void* arg1, DWORD flags, FT_HANDLE* handle) override;
    FT_STATUS Write(FT_HANDLE h, void* buffer, DWORD toWrite, DWORD* written) override;
    FT_STATUS SetTimeouts(FT_HANDLE h, ULONG readTimeout, ULONG writeTimeout) override;
    FT_STATUS GetQueueStatus(FT_HANDLE h, DWORD* rxBytes) override;
    FT_STATUS Read(FT_HANDLE h, void* buffer, DWORD toRead, DWORD* read) override;
    FT_STATUS Close(FT_HANDLE h) override;

    static QStringList platformCandidates();
    static QString platformLibraryName();
    QString loadedFrom() const { return lib_.fileName(); }

private:
    void load();
    QFunctionPointer entry(const char* name);

    QStringList candidates_;
    QLibrary lib_;
    bool loaded_ = false;
    struct Entries;
    Entries* fn_ = nullptr;
};
