#include "workflow/BatchSpeed.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>

#include "workflow/BatchObserver.h"

namespace kv::workflow {

TBatchSpeed MeasureSpeed(std::int64_t elapsedMs, std::int64_t convertedMs, std::int64_t totalMs)
{
    TBatchSpeed s;
    if (elapsedMs < SpeedShownAfterMs || convertedMs <= 0) return s;
    s.Known = true;
    s.ElapsedSec = static_cast<int>(std::min<std::int64_t>(elapsedMs / 1000, INT_MAX));
    s.Speed = static_cast<double>(convertedMs) / static_cast<double>(elapsedMs);
    const std::int64_t remainingMs = std::max<std::int64_t>(0, totalMs - convertedMs);
    // Rounded up: a batch with work left never claims to need no time.
    const double leftSec = std::ceil(static_cast<double>(remainingMs) / s.Speed / 1000.0);
    s.LeftSec = leftSec >= static_cast<double>(INT_MAX) ? INT_MAX : static_cast<int>(leftSec);
    return s;
}

std::string SpeedText(const TBatchSpeed& speed)
{
    if (!speed.Known) return {};
    char text[128];
    std::snprintf(text, sizeof text, "Elapsed %s   Left about %s   Speed %.1fx", TimeText(speed.ElapsedSec).c_str(),
                  TimeText(speed.LeftSec).c_str(), speed.Speed);
    return text;
}

void TBatchClock::Start(TClock::time_point now)
{
    FBefore = {};
    FSince = now;
    FRunning = true;
}

void TBatchClock::Pause(TClock::time_point now)
{
    if (!FRunning) return;
    FBefore += now - FSince;
    FRunning = false;
}

void TBatchClock::Resume(TClock::time_point now)
{
    if (FRunning) return;
    FSince = now;
    FRunning = true;
}

std::int64_t TBatchClock::ElapsedMs(TClock::time_point now) const
{
    const TClock::duration d = FRunning ? FBefore + (now - FSince) : FBefore;
    return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
}

}  // namespace kv::workflow
