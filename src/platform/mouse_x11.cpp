#include "platform/mouse_x11.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "mouse/mouse_hook.h"

#ifdef KV_HAVE_X11
#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/Xrandr.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#endif

namespace kv::platform {

#ifdef KV_HAVE_X11

struct X11Mouse::Connection {
    Display* display = nullptr;
    ~Connection() {
        if (display) XCloseDisplay(display);
    }
};

std::unique_ptr<X11Mouse> X11Mouse::open(std::string& error) {
    const char* name = std::getenv("DISPLAY");
    if (!name || !*name) {
        error = "no X display (DISPLAY is not set)";
        return nullptr;
    }
    std::unique_ptr<X11Mouse> mouse(new X11Mouse);
    mouse->displayName_ = name;
    mouse->pointer_ = std::make_unique<Connection>();
    mouse->pointer_->display = XOpenDisplay(name);
    if (!mouse->pointer_->display) {
        error = std::string("cannot open the X display '") + name + "'";
        return nullptr;
    }
    return mouse;
}

X11Mouse::~X11Mouse() {
    removeHook();
}

bool X11Mouse::installHook(MouseHookState& hook, std::string& error) {
    removeHook();
    auto c = std::make_unique<Connection>();
    c->display = XOpenDisplay(displayName_.c_str());
    if (!c->display) {
        error = "cannot open the X display '" + displayName_ + "'";
        return false;
    }
    int opcode = 0, event = 0, xerror = 0;
    if (!XQueryExtension(c->display, "XInputExtension", &opcode, &event, &xerror)) {
        error = "the X server has no XInput extension";
        return false;
    }
    int major = 2, minor = 2;
    if (XIQueryVersion(c->display, &major, &minor) != Success || major < 2 ||
        (major == 2 && minor < 1)) {
        error = "the X server's XInput is older than 2.1 (no raw events)";
        return false;
    }
    unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
    XISetMask(bits, XI_RawButtonPress);
    XISetMask(bits, XI_RawButtonRelease);
    XIEventMask mask;
    mask.deviceid = XIAllMasterDevices;
    mask.mask_len = sizeof bits;
    mask.mask = bits;
    XISelectEvents(c->display, DefaultRootWindow(c->display), &mask, 1);
    XSync(c->display, False); // selected before the first event of interest can happen
    if (pipe2(wakePipe_, O_CLOEXEC) != 0) {
        error = "cannot create the hook thread's wake-up pipe";
        return false;
    }
    events_ = std::move(c);
    stopHook_.store(false, std::memory_order_relaxed);
    hookThread_ = std::thread([this, &hook, opcode] {
        Display* d = events_->display;
        pollfd fds[2] = {{ConnectionNumber(d), POLLIN, 0}, {wakePipe_[0], POLLIN, 0}};
        while (!stopHook_.load(std::memory_order_relaxed)) {
            while (XPending(d)) {
                XEvent e;
                XNextEvent(d, &e);
                XGenericEventCookie* cookie = &e.xcookie;
                if (cookie->type != GenericEvent || cookie->extension != opcode ||
                    !XGetEventData(d, cookie))
                    continue;
                if (cookie->evtype == XI_RawButtonPress || cookie->evtype == XI_RawButtonRelease) {
                    const auto* raw = static_cast<const XIRawEvent*>(cookie->data);
                    HookMessage message;
                    int16_t data = 0;
                    if (hookEventForXButton(raw->detail, cookie->evtype == XI_RawButtonPress,
                                            message, data))
                        hook.onEvent(message, data);
                }
                XFreeEventData(d, cookie);
            }
            if (poll(fds, 2, -1) < 0 && errno != EINTR) break;
            if (fds[1].revents) break;
            if (fds[0].revents & (POLLERR | POLLHUP)) break; // the server went away
        }
    });
    return true;
}

void X11Mouse::removeHook() {
    if (hookThread_.joinable()) {
        stopHook_.store(true, std::memory_order_relaxed);
        const char wake = 1;
        (void)!write(wakePipe_[1], &wake, 1);
        hookThread_.join();
    }
    events_.reset();
    for (int& fd : wakePipe_) {
        if (fd >= 0) close(fd);
        fd = -1;
    }
}

bool X11Mouse::cursorPosition(long& x, long& y) {
    std::lock_guard lock(pointerMutex_);
    Display* d = pointer_->display;
    Window root = 0, child = 0;
    int rx = 0, ry = 0, wx = 0, wy = 0;
    unsigned int buttons = 0;
    if (!XQueryPointer(d, DefaultRootWindow(d), &root, &child, &rx, &ry, &wx, &wy, &buttons))
        return false; // the pointer is on another screen
    x = rx;
    y = ry;
    return true;
}

void X11Mouse::warpCursor(long x, long y) {
    std::lock_guard lock(pointerMutex_);
    Display* d = pointer_->display;
    XWarpPointer(d, None, DefaultRootWindow(d), 0, 0, 0, 0, static_cast<int>(x),
                 static_cast<int>(y));
    XFlush(d);
}

DesktopRect X11Mouse::desktop() {
    std::lock_guard lock(pointerMutex_);
    Display* d = pointer_->display;
    const int screen = DefaultScreen(d);
    DesktopRect r{0, 0, DisplayWidth(d, screen) - 1, DisplayHeight(d, screen) - 1};
    int event = 0, error = 0, major = 0, minor = 0;
    if (!XRRQueryExtension(d, &event, &error) || !XRRQueryVersion(d, &major, &minor) ||
        (major == 1 && minor < 5))
        return r;
    int count = 0;
    XRRMonitorInfo* monitors = XRRGetMonitors(d, DefaultRootWindow(d), True, &count);
    if (monitors && count > 0) {
        // One monitor: its rectangle; several: their bounding box (the virtual screen).
        r = {monitors[0].x, monitors[0].y, monitors[0].x + monitors[0].width - 1,
             monitors[0].y + monitors[0].height - 1};
        for (int i = 1; i < count; ++i) {
            const XRRMonitorInfo& m = monitors[i];
            r.left = std::min<long>(r.left, m.x);
            r.top = std::min<long>(r.top, m.y);
            r.right = std::max<long>(r.right, m.x + m.width - 1);
            r.bottom = std::max<long>(r.bottom, m.y + m.height - 1);
        }
    }
    if (monitors) XRRFreeMonitors(monitors);
    return r;
}

#else // no X11 in this build

struct X11Mouse::Connection {};

std::unique_ptr<X11Mouse> X11Mouse::open(std::string& error) {
    error = "this build has no X11 support";
    return nullptr;
}
X11Mouse::~X11Mouse() = default;
bool X11Mouse::installHook(MouseHookState&, std::string& error) {
    error = "this build has no X11 support";
    return false;
}
void X11Mouse::removeHook() {}
bool X11Mouse::cursorPosition(long&, long&) {
    return false;
}
void X11Mouse::warpCursor(long, long) {}
DesktopRect X11Mouse::desktop() {
    return {};
}

#endif

} // namespace kv::platform
