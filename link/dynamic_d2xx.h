#pragma once
#include "d2xx.h"
#include <QLibrary>
#include <QString>
#include <QStringList>
#include <memory>

// Reaches the vendor's driver library, loaded on first use by its platform name
// (FTD2XX.DLL, libftd2xx.so, libftd2xx.dylib) through the system loader path.
// Where that library cannot be loaded and libftdi1 support is built in (Linux,
// macOS), the same calls go through libftdi1 instead.
class DynamicD2xx : public D2xx {
public:
    // Which library carries the calls; None until the first call decides.
    enum class Backend { None, Vendor, Libftdi };

    DynamicD2xx();
    // Names tried in order; the first that loads wins. Tests may replace them.
    // `only` other than None restricts the choice to that one library.
    explicit DynamicD2xx(QStringList candidates, Backend only = Backend::None);
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

    // Restricts the choice to one library (None: vendor's, else libftdi1), for
    // a user who asks for one. Only before the first call; false after it, or
    // for libftdi1 when it is not built in.
    bool choose(Backend only);
    Backend backend() const { return backend_; }
    static bool libftdiBuiltIn();
    // For people: the vendor library's file, or "libftdi1 1.5"; empty before
    // the first call.
    QString libraryInUse() const;

    // Wait asleep for a read's bytes before handing the read to the vendor's
    // library (see Read). On unless a benchmark compares without it.
    bool waitAsleepForReads = true;

private:
    void load();
    void announce() const;
    [[noreturn]] void missing(const QString& vendorError, const QString& libftdiError);
    QFunctionPointer entry(const char* name);

    QStringList candidates_;
    Backend only_ = Backend::None;
    Backend backend_ = Backend::None;
    ULONG readTimeoutMs_ = 0;   // the vendor library's read time-out, as last set
    QLibrary lib_;
    bool loaded_ = false;
    struct Entries;
    Entries* fn_ = nullptr;
    std::unique_ptr<D2xx> libftdi_;
};
