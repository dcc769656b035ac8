#pragma once
#include "d2xx.h"
#include "diagnosis.h"
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <optional>

// Picks the library that carries the seven calls, on the first call, and
// passes every call on to it: the vendor's driver library (VendorD2xx), loaded
// by its platform name (FTD2XX.DLL, libftd2xx.so, libftd2xx.dylib) through the
// system loader path, its reads waiting asleep (AsleepReads). Where that
// library cannot be loaded and libftdi1 support is built in (Linux, macOS),
// libftdi1 (LibftdiD2xx) instead. On Linux, in the automatic choice, also
// where FTDI's library cannot open a device because the kernel's ftdi_sio
// holds it: libftdi1 detaches that driver for the run.
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
    // The vendor library's name as last given to the loader.
    QString loadedFrom() const { return loadedFrom_; }

    // Restricts the choice to one library (None: vendor's, else libftdi1), for
    // a user who asks for one. Only before the first call; false after it, or
    // for libftdi1 when it is not built in.
    bool choose(Backend only);
    Backend backend() const { return backend_; }
    // The library that made the last open, for its diagnosis: Missing once
    // none could be loaded; none before the first call.
    std::optional<diagnosis::Library> library() const;
    static bool libftdiBuiltIn();
    // For people: the vendor library's file, or "libftdi1 1.5"; empty before
    // the first call.
    QString libraryInUse() const { return inUse_; }

    // Wait asleep for a read's bytes before handing the read to the vendor's
    // library (AsleepReads). On unless a benchmark compares without it; read
    // when the first call picks the library.
    bool waitAsleepForReads = true;

    // The machine whose devices decide the change to libftdi1; tests give a
    // tree of their own.
    diagnosis::Where where;
    // Gives libftdi1's implementation and what libraryInUse() is to say, or
    // null with the reason in `why`. Tests put a stand-in here.
    std::function<std::unique_ptr<D2xx>(QString& inUse, QString& why)> libftdiLoader;

private:
    // The implementation in use, picked on the first call.
    D2xx& driver();
    // Each gives its implementation and what libraryInUse() is to say, or
    // null with the reason in `why`. Either may be called again later: the
    // loader may replace the implementation as long as nothing is open.
    std::unique_ptr<D2xx> loadVendor(QString& inUse, QString& why);
    std::unique_ptr<D2xx> loadLibftdi(QString& inUse, QString& why);
    // Puts `impl` in use from the next call on. Nothing may be open on the
    // one it replaces.
    void install(Backend backend, std::unique_ptr<D2xx> impl, const QString& inUse, const QString& because = {});
    // After FTDI's library failed to open `serial`: puts libftdi1 in its place
    // when the kernel's driver is the cause and libftdi1 can lift it.
    bool giveWayToLibftdi(const QString& serial);
    [[noreturn]] void missing(const QString& vendorError, const QString& libftdiError);

    QStringList candidates_;
    Backend only_ = Backend::None;
    Backend backend_ = Backend::None;
    QString loadedFrom_;
    QString inUse_;
    std::unique_ptr<D2xx> impl_;
    int open_ = 0;   // handles opened and not yet closed
    bool missing_ = false;   // no library could be loaded
};
