#include "platform/library_messages.h"

#include <cstdio>
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#ifdef KV_HAVE_JACK
#include <jack/jack.h>
#endif

namespace kv::platform {

namespace {

std::atomic<bool> shown{false};

// ALSA's handler type; libasound is reached through the sound libraries that use it, so it is
// looked up rather than linked (and is simply absent without it).
using AlsaHandler = void (*)(const char* file, int line, const char* function, int error,
                             const char* format, ...);
using AlsaSetHandler = int (*)(AlsaHandler);

extern "C" void alsaSilent(const char*, int, const char*, int, const char*, ...) {}

#ifdef KV_HAVE_JACK
extern "C" void jackSilent(const char*) {}
extern "C" void jackToStderr(const char* text) {
    std::fprintf(stderr, "%s\n", text);
}
#endif

} // namespace

void showSoundLibraryMessages(bool show) {
    shown.store(show, std::memory_order_relaxed);
    if (void* set = ::dlsym(RTLD_DEFAULT, "snd_lib_error_set_handler"))
        reinterpret_cast<AlsaSetHandler>(set)(show ? nullptr : &alsaSilent); // null: ALSA's own
#ifdef KV_HAVE_JACK
    jack_set_error_function(show ? &jackToStderr : &jackSilent);
    jack_set_info_function(show ? &jackToStderr : &jackSilent);
#endif
}

bool soundLibraryMessagesShown() {
    return shown.load(std::memory_order_relaxed);
}

QuietStderr::QuietStderr() {
    if (soundLibraryMessagesShown()) return;
    std::fflush(stderr);
    saved_ = ::dup(STDERR_FILENO);
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (saved_ >= 0 && null >= 0) ::dup2(null, STDERR_FILENO);
    if (null >= 0) ::close(null);
}

QuietStderr::~QuietStderr() {
    if (saved_ < 0) return;
    std::fflush(stderr);
    ::dup2(saved_, STDERR_FILENO);
    ::close(saved_);
}

} // namespace kv::platform
