#pragma once
// serve --open: the page in the user's default browser. A file of its own:
// windows.h and the driver's header each define DWORD.
#include <QString>

// False with the reason in `why` when no browser could be started.
bool openInBrowser(const QString& url, QString& why);
