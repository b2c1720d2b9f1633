#pragma once
// Thread priorities of the desktop thread model, mapped onto Linux scheduling:
// idle runs under SCHED_IDLE, the others under a per-thread nice value.
#include <cstdint>

namespace kv::platform {

enum TThreadPriority { tpIdle = 0, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

// The nice value a priority maps to (tpIdle is not a nice value: it switches the
// scheduling class instead and reports 19 here).
int NiceValueOf(TThreadPriority priority);

// Applies `priority` to the calling thread. Raising a priority above the one the
// process started with needs privileges; false when the system refused.
bool SetCurrentThreadPriority(TThreadPriority priority);

// The kernel's id of the calling thread.
std::uint32_t CurrentThreadId();

}  // namespace kv::platform
