#include "platform/ThreadPriority.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace kv::platform {

int NiceValueOf(TThreadPriority priority)
{
    switch (priority) {
    case tpIdle: return 19;
    case tpLowest: return 10;
    case tpLower: return 5;
    case tpNormal: return 0;
    case tpHigher: return -5;
    case tpHighest: return -10;
    case tpTimeCritical: return -15;
    }
    return 0;
}

bool SetCurrentThreadPriority(TThreadPriority priority)
{
    sched_param param{};
    param.sched_priority = 0;
    if (priority == tpIdle) return pthread_setschedparam(pthread_self(), SCHED_IDLE, &param) == 0;
    // A thread may have been switched to SCHED_IDLE earlier; nice values only act under SCHED_OTHER.
    int policy = SCHED_OTHER;
    sched_param current{};
    if (pthread_getschedparam(pthread_self(), &policy, &current) == 0 && policy != SCHED_OTHER)
        pthread_setschedparam(pthread_self(), SCHED_OTHER, &param);
    // On Linux the nice value is per thread when addressed by its thread id.
    return setpriority(PRIO_PROCESS, static_cast<id_t>(CurrentThreadId()), NiceValueOf(priority)) == 0;
}

std::uint32_t CurrentThreadId()
{
    return static_cast<std::uint32_t>(::syscall(SYS_gettid));
}

}  // namespace kv::platform
