#include <gtest/gtest.h>

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>

#include <thread>

#include "platform/ThreadPriority.h"

using namespace kv::platform;

// Each priority acts on the calling thread only.
TEST(ThreadPriority, LowerPrioritiesReachTheSchedulerPerThread)
{
    const int before = getpriority(PRIO_PROCESS, CurrentThreadId());
    for (TThreadPriority priority : {tpLowest, tpLower, tpIdle}) {
        int policy = -1, nice = 0;
        bool applied = false;
        std::thread([&] {
            applied = SetCurrentThreadPriority(priority);
            sched_param param{};
            pthread_getschedparam(pthread_self(), &policy, &param);
            nice = getpriority(PRIO_PROCESS, CurrentThreadId());
        }).join();
        if (priority == tpIdle || before <= NiceValueOf(priority)) {
            EXPECT_TRUE(applied) << priority;
        }
        if (priority == tpIdle) {
            EXPECT_EQ(policy, SCHED_IDLE);
        } else {
            EXPECT_EQ(policy, SCHED_OTHER);
            EXPECT_EQ(nice, std::max(before, NiceValueOf(priority))) << priority;
        }
    }
    EXPECT_EQ(getpriority(PRIO_PROCESS, CurrentThreadId()), before);
}
