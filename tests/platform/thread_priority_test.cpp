#include "platform/thread_priority.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>

#include <thread>

namespace kv::platform {
namespace {

TEST(ThreadPriority, RealTimeThreadsStayBelowTheSoundServer) {
    setSoundServerPriority(10); // a JACK server's client threads at its default
    EXPECT_EQ(realtimePriority(), 9);
    setSoundServerPriority(1);
    EXPECT_EQ(realtimePriority(), 1); // the lowest real-time priority is as low as it goes
    setSoundServerPriority(99);
    EXPECT_EQ(realtimePriority(), sched_get_priority_max(SCHED_FIFO) - 1);

    // A server without real-time scheduling: ours stay at normal priority, and that is no refusal.
    setSoundServerPriority(std::nullopt);
    EXPECT_EQ(realtimePriority(), 0);
    std::thread t([] {
        std::string message;
        EXPECT_TRUE(raiseCurrentThreadPriority(true, &message));
        EXPECT_TRUE(message.empty());
        int policy = -1;
        sched_param param{};
        pthread_getschedparam(pthread_self(), &policy, &param);
        EXPECT_EQ(policy, SCHED_OTHER);
    });
    t.join();
}

} // namespace
} // namespace kv::platform
