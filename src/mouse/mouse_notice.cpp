#include "mouse/mouse_notice.h"

#include "mouse/mice_rule.h"

namespace kv {

bool canAllowReadingMice(const MouseHearing& h) {
    return h.deviceSupport && h.miceFound > h.miceReadable;
}

std::string mouseNoticeText(const MouseHearing& h) {
    using K = MouseBackendKind;
    std::string text;
    switch (h.backend) {
    case K::X11:
        if (!h.xwaylandOnly) return {};
        text = "The instrument hears the mouse only while the pointer is over an X11 window, such "
               "as Kalvitrope's own: positions, buttons and wheels. Over other applications of "
               "this Wayland desktop it is silent.";
        break;
    case K::Devices:
        text = "The instrument reads the mice themselves: buttons and wheels are heard over every "
               "application. Positions are estimated from the mouse's movement (exact again "
               "whenever the pointer passes over an X11 window, such as Kalvitrope's own).";
        if (h.miceFound > h.miceReadable)
            text += "\n\nSome mice or touchpads cannot be read yet and stay silent.";
        break;
    case K::None:
        text = "The instrument hears no mouse: there is no X display and no mouse it may read.";
        break;
    }
    // The command is named only where the menu offers it: a mouse is there that cannot be read.
    if (canAllowReadingMice(h)) {
        text += "\n\nTo hear the mouse over every application, choose \"Allow Kalvitrope to "
                "read mice\" in the menu. It asks for the administrator's password once and "
                "lets the person at this computer read mice and touchpads (never keyboards). "
                "Without pkexec, run in a terminal:\n\n" +
                allowMiceShellLine();
    } else if (!h.deviceSupport && h.session == SessionType::Wayland) {
        text += "\n\nThis copy of Kalvitrope was built without libinput, so it cannot read the "
                "mice themselves; a build with libinput hears them over every application.";
    }
    return text;
}

} // namespace kv
