// tray-host: the smallest notification area bench/run.py needs to see a tray icon arrive.
//
//   tray-host            (DISPLAY names the X server)
//
// Owns the _NET_SYSTEM_TRAY_S<screen> selection and embeds every icon that asks to dock
// (XEmbed), like a desktop panel would. On standard output, each with the CLOCK_MONOTONIC time
// in nanoseconds at which this process saw it:
//   ready MONO                 the selection is ours; icons can dock from now on
//   dock 0xWIN MONO            an icon asked to dock
//   map 0xWIN MONO             the icon window is mapped inside the tray
//   painted 0xWIN MONO         the first icon pixel differs from the tray's background,
//                              polled every millisecond: the icon has been drawn
//   gone 0xWIN MONO            the icon left (destroyed or taken back)
// Ends on SIGINT, SIGTERM or when the X server goes away.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <csignal>
#include <cstdio>
#include <ctime>
#include <poll.h>

namespace {

volatile std::sig_atomic_t stopRequested = 0;
void onSignal(int) {
    stopRequested = 1;
}

long long monoNs() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

// An icon that vanished between its request and our handling of it is not an error here.
int ignoreErrors(Display*, XErrorEvent*) {
    return 0;
}

constexpr unsigned long kBackground = 0xff00ff; // magenta: no icon draws a full square of it
constexpr int kIconSize = 24;

struct Icon {
    Window window = 0;
    int x = 0;
    bool mapped = false;
    bool painted = false;
};

bool anyPixelDrawn(Display* d, Window tray, const Icon& icon) {
    XImage* img = XGetImage(d, tray, icon.x, 0, kIconSize, kIconSize, AllPlanes, ZPixmap);
    if (!img)
        return false;
    bool drawn = false;
    for (int y = 0; y < kIconSize && !drawn; ++y)
        for (int x = 0; x < kIconSize && !drawn; ++x)
            drawn = (XGetPixel(img, x, y) & 0xffffff) != kBackground;
    XDestroyImage(img);
    return drawn;
}

} // namespace

int main() {
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);

    Display* d = XOpenDisplay(nullptr);
    if (!d) {
        std::fprintf(stderr, "tray-host: cannot open the display\n");
        return 1;
    }
    XSetErrorHandler(ignoreErrors);
    int screen = DefaultScreen(d);
    Window root = RootWindow(d, screen);
    Window tray = XCreateSimpleWindow(d, root, 0, 0, 8 * kIconSize, kIconSize, 0, 0, kBackground);
    XSelectInput(d, tray, SubstructureNotifyMask | StructureNotifyMask);

    Atom opcode = XInternAtom(d, "_NET_SYSTEM_TRAY_OPCODE", False);
    Atom manager = XInternAtom(d, "MANAGER", False);
    Atom xembed = XInternAtom(d, "_XEMBED", False);
    Atom orientation = XInternAtom(d, "_NET_SYSTEM_TRAY_ORIENTATION", False);
    Atom visualAtom = XInternAtom(d, "_NET_SYSTEM_TRAY_VISUAL", False);
    char selName[40];
    std::snprintf(selName, sizeof selName, "_NET_SYSTEM_TRAY_S%d", screen);
    Atom selection = XInternAtom(d, selName, False);

    long horizontal = 0;
    XChangeProperty(d, tray, orientation, XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(&horizontal), 1);
    long visualId = static_cast<long>(XVisualIDFromVisual(DefaultVisual(d, screen)));
    XChangeProperty(d, tray, visualAtom, XA_VISUALID, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(&visualId), 1);
    XMapWindow(d, tray);

    XSetSelectionOwner(d, selection, tray, CurrentTime);
    if (XGetSelectionOwner(d, selection) != tray) {
        std::fprintf(stderr, "tray-host: another tray owns %s\n", selName);
        return 1;
    }
    XEvent announce{};
    announce.xclient.type = ClientMessage;
    announce.xclient.window = root;
    announce.xclient.message_type = manager;
    announce.xclient.format = 32;
    announce.xclient.data.l[0] = CurrentTime;
    announce.xclient.data.l[1] = static_cast<long>(selection);
    announce.xclient.data.l[2] = static_cast<long>(tray);
    XSendEvent(d, root, False, StructureNotifyMask, &announce);
    XSync(d, False);
    std::printf("ready %lld\n", monoNs());
    std::fflush(stdout);

    Icon icons[8];
    int count = 0;
    int fd = ConnectionNumber(d);
    while (!stopRequested) {
        bool waitingForPaint = false;
        for (int i = 0; i < count; ++i)
            waitingForPaint |= icons[i].mapped && !icons[i].painted;
        if (XPending(d) == 0) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, waitingForPaint ? 1 : 200) < 0)
                continue;
            if (p.revents & (POLLERR | POLLHUP))
                break;
        }
        while (XPending(d) > 0) {
            XEvent ev;
            XNextEvent(d, &ev);
            if (ev.type == ClientMessage && ev.xclient.message_type == opcode &&
                ev.xclient.data.l[1] == 0 /* SYSTEM_TRAY_REQUEST_DOCK */ && count < 8) {
                Icon& icon = icons[count];
                icon = Icon{};
                icon.window = static_cast<Window>(ev.xclient.data.l[2]);
                icon.x = count * kIconSize;
                ++count;
                std::printf("dock 0x%lx %lld\n", icon.window, monoNs());
                std::fflush(stdout);
                XReparentWindow(d, icon.window, tray, icon.x, 0);
                XResizeWindow(d, icon.window, kIconSize, kIconSize);
                XMapRaised(d, icon.window);
                XEvent notify{};
                notify.xclient.type = ClientMessage;
                notify.xclient.window = icon.window;
                notify.xclient.message_type = xembed;
                notify.xclient.format = 32;
                notify.xclient.data.l[0] = CurrentTime;
                notify.xclient.data.l[1] = 0; // XEMBED_EMBEDDED_NOTIFY
                notify.xclient.data.l[3] = static_cast<long>(tray);
                notify.xclient.data.l[4] = 0; // protocol version
                XSendEvent(d, icon.window, False, NoEventMask, &notify);
                XFlush(d);
            } else if (ev.type == MapNotify) {
                for (int i = 0; i < count; ++i)
                    if (icons[i].window == ev.xmap.window && !icons[i].mapped) {
                        icons[i].mapped = true;
                        std::printf("map 0x%lx %lld\n", icons[i].window, monoNs());
                        std::fflush(stdout);
                    }
            } else if (ev.type == DestroyNotify || ev.type == ReparentNotify) {
                Window w =
                    ev.type == DestroyNotify ? ev.xdestroywindow.window : ev.xreparent.window;
                bool away = ev.type == DestroyNotify || ev.xreparent.parent != tray;
                for (int i = 0; i < count; ++i)
                    if (icons[i].window == w && away) {
                        std::printf("gone 0x%lx %lld\n", w, monoNs());
                        std::fflush(stdout);
                        icons[i] = icons[--count];
                        break;
                    }
            }
        }
        for (int i = 0; i < count; ++i) {
            Icon& icon = icons[i];
            if (icon.mapped && !icon.painted && anyPixelDrawn(d, tray, icon)) {
                icon.painted = true;
                std::printf("painted 0x%lx %lld\n", icon.window, monoNs());
                std::fflush(stdout);
            }
        }
    }
    XCloseDisplay(d);
    return 0;
}
