#pragma once
// Everything one program or test needs to work the instrument, built over a
// given driver and window (or stand-in): the status log, the link, the
// display image, screen capture and the error log, each told of the others
// it uses. The members' order is the order they are built in.
#include "d2xx.h"
#include "errorlog.h"
#include "host.h"
#include "link.h"
#include "screen.h"
#include "statuslog.h"
#include "surface.h"

class Session {
public:
    Session(D2xx& driver, Host& host)
        : status(host), link(driver, status), screen(link, status, surface), errorLog(link, status, host)
    {
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    StatusLog status;
    Link link;
    Surface surface;
    ScreenCapture screen;
    ErrorLog errorLog;
};
