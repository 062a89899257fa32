// Kept apart from the Qt sources: Xlib's macros clash with Qt's names.
#include <cstdlib>

#include "app/startup.h"

#ifdef KV_HAVE_X11
#include <X11/Xlib.h>
#endif

namespace kv::app {

bool x11DisplayAvailable() {
    const char* name = std::getenv("DISPLAY");
    if (!name || !*name) return false;
#ifdef KV_HAVE_X11
    // The mouse layer talks to the X server from its own threads (the hook and the sampler):
    // Xlib must be made thread-safe before its first call.
    XInitThreads();
    Display* display = XOpenDisplay(nullptr);
    if (!display) return false;
    XCloseDisplay(display);
#endif
    return true;
}

} // namespace kv::app
