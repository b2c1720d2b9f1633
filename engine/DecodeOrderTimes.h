#pragma once
// Presentation times for streams whose container keeps decoding order only (AVI):
// the packets' times are the pictures' times in display order, so each picture the
// decoder gives (in display order) takes the earliest time not yet taken. Without it
// every picture would carry the time of the packet that let it out, late by the
// decoder's reordering delay.
#include <array>
#include <cstdint>

namespace kv::engine {

class TDecodeOrderTimes {
public:
    // A packet's decoding time (microseconds) as it goes into the decoder.
    void Add(std::int64_t time);
    // The time of the picture the decoder just gave. `held` is how many pictures the
    // decoder may keep back; older times beyond that belong to pictures it dropped
    // and are forgotten. False when no time is left (then the caller's own guess holds).
    bool Take(std::int64_t& time, int held);
    void Clear() { Count = 0; }
    int Size() const { return Count; }

private:
    std::array<std::int64_t, 64> Times{};   // ascending
    int Count = 0;
};

}  // namespace kv::engine
