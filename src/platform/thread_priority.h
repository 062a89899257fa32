#pragma once
// Thread priorities for the engine, ticker and feeder threads. Our real-time threads run below the
// sound server's own real-time threads (on JACK, below its client thread), so that they never
// delay the server's period and cause the very dropouts they are meant to avoid.
#include <optional>
#include <string>

namespace kv::platform {

/// Real-time priority asked for while the sound server's is not known: below the usual sound
/// servers' real-time threads (PulseAudio's 5, PipeWire's 20, a JACK server's default 10).
inline constexpr int kDefaultRealtimePriority = 4;

/// Tells what the sound server's real-time client thread runs at (SCHED_FIFO priority), or
/// nothing when the server does not run in real time; our threads then stay at normal priority.
/// Threads raised afterwards use it. Any thread.
void setSoundServerPriority(std::optional<int> priority);
/// The SCHED_FIFO priority our real-time threads ask for: one below the sound server's (at least
/// 1), kDefaultRealtimePriority while it is not known; 0 when the server is known not to run in
/// real time. Any thread.
int realtimePriority();

/// Raises the calling thread to real-time scheduling (SCHED_FIFO at realtimePriority()) when
/// `realtime` and permitted, else to the highest normal priority. Returns false when real-time
/// scheduling was asked for but refused; `message` then says so (the caller shows it once). A
/// server that does not run in real time is not a refusal. Any thread.
bool raiseCurrentThreadPriority(bool realtime, std::string* message);

/// The real-time priority of a running JACK server's client threads, asked of the server (the
/// default server, or JACK_DEFAULT_SERVER): set when it runs in real time, nothing when it does
/// not, and false in `found` when no server answers (or this build has no JACK). Takes a few
/// milliseconds (a short client connection). Any thread but a real-time one.
std::optional<int> jackClientPriority(bool& found);

} // namespace kv::platform
