#include "browser.h"
#ifdef _WIN32
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>
#else
#include <QProcess>
#endif

bool openInBrowser(const QString& url, QString& why)
{
#ifdef _WIN32
    // The shell may hand the address on through COM.
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    const INT_PTR r = reinterpret_cast<INT_PTR>(
        ShellExecuteW(nullptr, L"open", reinterpret_cast<LPCWSTR>(url.utf16()), nullptr, nullptr, SW_SHOWNORMAL));
    if (SUCCEEDED(com))
        CoUninitialize();
    if (r > 32)
        return true;
    why = r == SE_ERR_NOASSOC ? QStringLiteral("no program opens http addresses")
                              : QStringLiteral("ShellExecute: %1").arg(qt_error_string(int(r)));
    return false;
#else
    // The browser outlives the server: it must not hold the pipes of
    // whoever reads ours.
    QProcess browser;
    browser.setProgram(QStringLiteral("xdg-open"));
    browser.setArguments({url});
    browser.setStandardInputFile(QProcess::nullDevice());
    browser.setStandardOutputFile(QProcess::nullDevice());
    browser.setStandardErrorFile(QProcess::nullDevice());
    if (browser.startDetached())
        return true;
    why = QStringLiteral("xdg-open: %1").arg(browser.errorString());
    return false;
#endif
}
