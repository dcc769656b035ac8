#pragma once
#include "link.h"

// The instrument's error log: download, erase, print.
class ErrorLog {
public:
    ErrorLog(State& state, Link& link, Host& host);

    void cmdGetLog_Click();
    void cmdEraseLog_Click();
    void cmdPrintLog_Click();

private:
    State& state_;
    Link& link_;
    Host& host_;
};
