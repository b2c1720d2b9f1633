#include "engine/DecodeOrderTimes.h"

#include <algorithm>

namespace kv::engine {

void TDecodeOrderTimes::Add(std::int64_t time)
{
    // Full only when a decoder keeps far more than any codec reorders: the oldest goes.
    if (Count == static_cast<int>(Times.size())) {
        std::copy(Times.begin() + 1, Times.end(), Times.begin());
        --Count;
    }
    int at = Count;
    while (at > 0 && Times[at - 1] > time) {
        Times[at] = Times[at - 1];
        --at;
    }
    Times[at] = time;
    ++Count;
}

bool TDecodeOrderTimes::Take(std::int64_t& time, int held)
{
    const int keep = std::max(held, 0) + 1;
    if (Count > keep) {
        std::copy(Times.begin() + (Count - keep), Times.begin() + Count, Times.begin());
        Count = keep;
    }
    if (Count == 0) return false;
    time = Times[0];
    std::copy(Times.begin() + 1, Times.begin() + Count, Times.begin());
    --Count;
    return true;
}

}  // namespace kv::engine
