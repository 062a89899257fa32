#include "platform/thread_priority.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cstring>

#ifdef KV_HAVE_JACK
#include <jack/jack.h>
#include <jack/thread.h>
#endif

namespace kv::platform {

namespace {
constexpr int kUnknown = -1;
std::atomic<int> serverPriority{kUnknown}; // kUnknown, 0 (not real time) or the priority
} // namespace

void setSoundServerPriority(std::optional<int> priority) {
    serverPriority.store(priority ? std::max(*priority, 1) : 0, std::memory_order_relaxed);
}

int realtimePriority() {
    const int server = serverPriority.load(std::memory_order_relaxed);
    if (server == kUnknown) return kDefaultRealtimePriority;
    if (server == 0) return 0;
    return std::max(1, std::min(server - 1, sched_get_priority_max(SCHED_FIFO) - 1));
}

bool raiseCurrentThreadPriority(bool realtime, std::string* message) {
    const int priority = realtime ? realtimePriority() : 0;
    if (priority > 0) {
        sched_param param{};
        param.sched_priority = priority;
        const int rc = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
        if (rc == 0) return true;
        if (message)
            *message = std::string("Real-time priority is not permitted (") + std::strerror(rc) +
                       "); the engine runs at normal priority.";
    }
    // Highest priority of the normal policy: a lower nice value if permitted, else unchanged.
    (void)setpriority(PRIO_PROCESS, 0, -10);
    return !realtime || priority == 0;
}

std::optional<int> jackClientPriority(bool& found) {
    found = false;
#ifdef KV_HAVE_JACK
    jack_status_t status{};
    jack_client_t* client = jack_client_open("kalvitrope-priority", JackNoStartServer, &status);
    if (client == nullptr) return std::nullopt;
    found = true;
    const bool realtime = jack_is_realtime(client) != 0;
    const int priority = jack_client_real_time_priority(client);
    jack_client_close(client);
    if (realtime && priority > 0) return priority;
#endif
    return std::nullopt;
}

} // namespace kv::platform
