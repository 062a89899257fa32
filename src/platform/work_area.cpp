#include "platform/work_area.h"

#ifdef KV_HAVE_X11
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#endif

namespace kv::platform {

#ifdef KV_HAVE_X11
namespace {

/// Reads `count` CARDINALs of `property` from the root window; null when absent or short.
long* readCardinals(Display* display, Atom property, unsigned long count, unsigned long& got) {
    Atom type = None;
    int format = 0;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    if (property == None) return nullptr;
    if (XGetWindowProperty(display, DefaultRootWindow(display), property, 0, 1024, False,
                           XA_CARDINAL, &type, &format, &got, &after, &data) != Success)
        return nullptr;
    if (type != XA_CARDINAL || format != 32 || got < count) {
        if (data) XFree(data);
        return nullptr;
    }
    // Format-32 properties arrive as longs.
    return reinterpret_cast<long*>(data);
}

} // namespace

bool readWorkArea(ScreenArea& area) {
    Display* display = XOpenDisplay(nullptr);
    if (!display) return false;
    bool found = false;
    unsigned long desktop = 0, got = 0;
    if (long* current =
            readCardinals(display, XInternAtom(display, "_NET_CURRENT_DESKTOP", True), 1, got)) {
        desktop = static_cast<unsigned long>(current[0]);
        XFree(current);
    }
    const Atom workArea = XInternAtom(display, "_NET_WORKAREA", True);
    {
        if (long* v = readCardinals(display, workArea, 4, got)) {
            // One x, y, width, height quadruple per virtual desktop.
            if (desktop * 4 + 4 > got) desktop = 0;
            const long* q = v + desktop * 4;
            if (q[2] > 0 && q[3] > 0) {
                area = {static_cast<int>(q[0]), static_cast<int>(q[1]), static_cast<int>(q[2]),
                        static_cast<int>(q[3])};
                found = true;
            }
            XFree(v);
        }
    }
    XCloseDisplay(display);
    return found;
}
#else
bool readWorkArea(ScreenArea&) {
    return false;
}
#endif

} // namespace kv::platform
