#include "errorlog.h"

ErrorLog::ErrorLog(State& state, Link& link, Host& host) : state_(state), link_(link), host_(host) {}

// Not built yet: these buttons do nothing.
void ErrorLog::cmdGetLog_Click() {}
void ErrorLog::cmdEraseLog_Click() {}
void ErrorLog::cmdPrintLog_Click() {}
