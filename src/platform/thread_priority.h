#pragma once
// Thread priorities for the engine, ticker and feeder threads.
#include <string>

namespace kv::platform {

/// Raises the calling thread to real-time scheduling (SCHED_FIFO) when `realtime` and permitted,
/// else to the highest normal priority. Returns false when real-time scheduling was asked for but
/// refused; `message` then says so (the caller shows it once). Any thread.
bool raiseCurrentThreadPriority(bool realtime, std::string* message);

} // namespace kv::platform
