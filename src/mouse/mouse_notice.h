#pragma once
// The notice that says what the instrument can hear of the mouse in this session, and how to let
// it hear more.
#include <string>

#include "mouse/backend_choice.h"

namespace kv {

/// What the session offers: the backend in use and the mice found.
struct MouseHearing {
    SessionType session = SessionType::Unknown;
    MouseBackendKind backend = MouseBackendKind::None;
    bool xwaylandOnly = false;
    bool deviceSupport = false; // the build can read the input devices
    int miceFound = 0, miceReadable = 0;
};

/// Whether the "Allow Kalvitrope to read mice" command can help: the build reads devices, and a
/// mouse or touchpad is there that this session cannot read.
bool canAllowReadingMice(const MouseHearing& h);

/// The notice's text (plain, paragraphs separated by blank lines): positions exact, estimated or
/// only over X11 windows; buttons; wheels; and how to fix what is missing. Empty when everything
/// is heard exactly (an X11 session).
std::string mouseNoticeText(const MouseHearing& h);

} // namespace kv
