#pragma once
// The desktop program's side of reading the mice on Wayland: the notice that says what the
// instrument hears and how to fix it, the "Allow Kalvitrope to read mice" command (pkexec installs
// the udev rule) and the removal's offer to take the rule away. User-interface thread.
#include <string>

#include "mouse/mouse_notice.h"

class QWidget;

namespace kv::platform {
class MouseBackend;
}

namespace kv::ui {

/// The menu command's text.
inline constexpr const char* kAllowMiceCommand = "Allow Kalvitrope to read mice";

/// What this session offers for the `Preferences.MouseBackend` value, with `inUse` the backend the
/// program runs on (its kind decides what is heard now).
MouseHearing currentMouseHearing(const std::string& setting, platform::MouseBackend* inUse);

/// Shows the notice when there is something to say (nothing in an X11 session). With a readable
/// fix it offers the command as a second button; true when the user chose it and it succeeded
/// (the caller then calls mouseAccessGranted).
bool showMouseNotice(QWidget* owner, const MouseHearing& hearing);

/// Runs the command: writes the rule to a temporary file and installs it through pkexec. Tells
/// the user when it failed or was declined; true when the rule is installed.
bool allowReadingMice(QWidget* owner);

/// After access was granted: a device backend re-opens its mice and true is returned; any other
/// backend returns false, and the caller makes the backend anew (makeMouseBackend) so that the
/// device backend takes over.
bool mouseAccessGranted(platform::MouseBackend& inUse);

/// For the program's removal: when the rule is installed, asks whether to take it away and does
/// so through pkexec.
void offerMiceRuleRemoval(QWidget* owner);

} // namespace kv::ui
