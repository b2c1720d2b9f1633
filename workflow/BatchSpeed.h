#pragma once
// How fast a batch converts and how long it still needs: the media time converted
// against the time the batch has been running, shown beside the progress.
#include <chrono>
#include <cstdint>
#include <string>

namespace kv::workflow {

// Before this much running time the figures would only jump about.
inline constexpr std::int64_t SpeedShownAfterMs = 2000;

struct TBatchSpeed {
    bool Known = false;  // false: nothing to show yet
    int ElapsedSec = 0;
    int LeftSec = 0;
    double Speed = 0;    // media seconds converted per second of running time
};

// The figures of a batch that has run `elapsedMs`, converted `convertedMs` of media
// and has `totalMs` of media in all. Unknown until SpeedShownAfterMs has passed and
// something has been converted.
TBatchSpeed MeasureSpeed(std::int64_t elapsedMs, std::int64_t convertedMs, std::int64_t totalMs);

// "Elapsed %s   Left about %s   Speed %.1fx"; empty while the figures are unknown.
std::string SpeedText(const TBatchSpeed& speed);

// Running time of a batch: the spans it spent paused do not count, so that a pause
// neither slows the speed down nor stretches the time left.
class TBatchClock {
public:
    using TClock = std::chrono::steady_clock;

    void Start(TClock::time_point now = TClock::now());
    void Pause(TClock::time_point now = TClock::now());
    void Resume(TClock::time_point now = TClock::now());
    std::int64_t ElapsedMs(TClock::time_point now = TClock::now()) const;

private:
    TClock::duration FBefore{};  // running time up to the last pause
    TClock::time_point FSince{};
    bool FRunning = false;
};

}  // namespace kv::workflow
