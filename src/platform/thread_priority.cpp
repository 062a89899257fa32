#include "platform/thread_priority.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>

#include <cstring>

namespace kv::platform {

bool raiseCurrentThreadPriority(bool realtime, std::string* message) {
    if (realtime) {
        sched_param param{};
        param.sched_priority = sched_get_priority_max(SCHED_FIFO) - 1;
        const int rc = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
        if (rc == 0) return true;
        if (message)
            *message = std::string("Real-time priority is not permitted (") + std::strerror(rc) +
                       "); the engine runs at normal priority.";
    }
    // Highest priority of the normal policy: a lower nice value if permitted, else unchanged.
    (void)setpriority(PRIO_PROCESS, 0, -10);
    return !realtime;
}

} // namespace kv::platform
