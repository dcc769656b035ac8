// How long a window keeps the user waiting: pings it the way a window
// manager does (_NET_WM_PING) every 10 ms for SECONDS and prints the longest
// answer, in ms. A toolkit answers from its event loop, so a window that
// takes this long to answer could not have painted meanwhile either.
//   xping WINDOW-ID SECONDS
// Exit 1 when the window stops answering altogether (5 s) or cannot be pinged.
#include <X11/Xlib.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fputs("usage: xping WINDOW-ID SECONDS\n", stderr);
        return 2;
    }
    Display* dpy = XOpenDisplay(nullptr);
    if (!dpy) {
        std::fputs("xping: no X display\n", stderr);
        return 1;
    }
    const Window win = Window(std::strtoul(argv[1], nullptr, 0));
    const Window root = DefaultRootWindow(dpy);
    const Atom protocols = XInternAtom(dpy, "WM_PROTOCOLS", False);
    const Atom ping = XInternAtom(dpy, "_NET_WM_PING", False);
    // The answer goes to the root window, to whoever listens there.
    XSelectInput(dpy, root, StructureNotifyMask | SubstructureNotifyMask);

    using Clock = std::chrono::steady_clock;
    const auto end = Clock::now() + std::chrono::duration<double>(std::atof(argv[2]));
    double longest = 0;
    long serial = 0, answered = 0;
    while (Clock::now() < end) {
        XEvent ev{};
        ev.xclient.type = ClientMessage;
        ev.xclient.window = win;
        ev.xclient.message_type = protocols;
        ev.xclient.format = 32;
        ev.xclient.data.l[0] = long(ping);
        ev.xclient.data.l[1] = ++serial;   // stands for the timestamp; comes back as it went
        ev.xclient.data.l[2] = long(win);
        const auto sent = Clock::now();
        XSendEvent(dpy, win, False, NoEventMask, &ev);
        XFlush(dpy);
        for (bool back = false; !back;) {
            while (!back && XPending(dpy)) {
                XEvent in;
                XNextEvent(dpy, &in);
                back = in.type == ClientMessage && in.xclient.message_type == protocols &&
                       Atom(in.xclient.data.l[0]) == ping && in.xclient.data.l[1] == serial;
            }
            const double ms = std::chrono::duration<double, std::milli>(Clock::now() - sent).count();
            if (back) {
                ++answered;
                if (ms > longest)
                    longest = ms;
            } else if (ms > 5000) {
                std::fprintf(stderr, "xping: no answer for 5 s after %ld answers\n", answered);
                return 1;
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::printf("%.0f\n", longest);
    std::fprintf(stderr, "xping: %ld answers, the longest after %.1f ms\n", answered, longest);
    XCloseDisplay(dpy);
    return answered ? 0 : 1;
}
