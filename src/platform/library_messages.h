#pragma once
// The sound libraries' own diagnostics (ALSA's "ALSA lib ..." lines while it looks for cards,
// JACK's lines when no server runs, RtMidi's warnings) say nothing the user can act on, and the
// programs report what matters themselves. They are kept off the standard error stream unless
// asked for (the desktop program's -Debug option). User-interface thread, at start-up.
#include <atomic>

namespace kv::platform {

/// Shows (`true`) or hides ALSA's and JACK's messages from now on, wherever they come from
/// (device lists, devices opened later by the device service). Call before the first backend.
void showSoundLibraryMessages(bool show);
/// What was chosen last (false until chosen).
bool soundLibraryMessagesShown();

/// The standard error stream goes to /dev/null while the object lives (restored afterwards),
/// for library code that writes to it directly; nothing changes while library messages are
/// shown. Other threads' writes in that time are lost too: keep the scope to the library call.
class QuietStderr {
  public:
    QuietStderr();
    ~QuietStderr();
    QuietStderr(const QuietStderr&) = delete;
    QuietStderr& operator=(const QuietStderr&) = delete;

  private:
    int saved_ = -1;
};

} // namespace kv::platform
