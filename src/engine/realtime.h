#pragma once
// Marks for the engine's real-time path. A function marked KV_NONBLOCKING promises not to
// allocate, lock, wait or make blocking system calls. With clang, -Wfunction-effects checks the
// promise at compile time, and a build with -fsanitize=realtime aborts at run time when the
// function (or anything it calls) breaks it. Other compilers ignore the mark.

#if defined(__has_cpp_attribute)
#if __has_cpp_attribute(clang::nonblocking)
#define KV_NONBLOCKING [[clang::nonblocking]]
#endif
#endif
#ifndef KV_NONBLOCKING
#define KV_NONBLOCKING
#endif

#if defined(__has_feature)
#if __has_feature(realtime_sanitizer)
#include <sanitizer/rtsan_interface.h>
#define KV_HAVE_RTSAN 1
#endif
#endif

namespace kv {

/// Lifts the real-time checks for its lifetime: for work the engine cycle runs on behalf of an
/// offline caller (the headless tool's per-sample hook), which is not part of the real-time path.
class NotRealtimeScope {
  public:
#ifdef KV_HAVE_RTSAN
    NotRealtimeScope() {
        __rtsan_disable();
    }
    ~NotRealtimeScope() {
        __rtsan_enable();
    }
#else
    // User-provided, so that an otherwise unused scope object draws no warning.
    NotRealtimeScope() {}
    ~NotRealtimeScope() {}
#endif
    NotRealtimeScope(const NotRealtimeScope&) = delete;
    NotRealtimeScope& operator=(const NotRealtimeScope&) = delete;
};

} // namespace kv
