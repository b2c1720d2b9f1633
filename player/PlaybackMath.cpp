#include "player/PlaybackMath.h"

#include <cmath>
#include <cstdlib>

namespace kv::player {

TPictureRect FitPicture(float aspect, int drawWidth, int drawHeight)
{
    int height = drawHeight;
    int width = static_cast<int>(std::lrint(height * aspect)) & ~1;
    if (width > drawWidth) {
        width = drawWidth;
        height = static_cast<int>(std::lrint(width / aspect)) & ~1;
    }
    return {(drawWidth - width) / 2, (drawHeight - height) / 2, width, height};
}

float DisplayAspect(float sampleAspect, int width, int height)
{
    float aspect = sampleAspect > 0 ? sampleAspect : 1.0f;
    if (height > 0) aspect = aspect * static_cast<float>(width) / static_cast<float>(height);
    return aspect > 0 ? aspect : 1.0f;
}

double ComputeTargetDelay(TVideoTiming& timing, double pts, bool followMaster, double master, double now)
{
    double delay = pts - timing.FrameLastPts;
    if (delay <= 0 || delay >= 2.0)
        delay = timing.FrameLastDelay;
    else
        timing.FrameLastDelay = delay;
    timing.FrameLastPts = pts;

    if (followMaster) {
        const double diff = pts - master;
        const double threshold = delay > 0.01 ? delay : 0.01;
        if (std::fabs(diff) < 10.0) {
            if (diff <= -threshold)
                delay = 0;
            else if (diff >= threshold)
                delay = 2 * delay;
        }
    }
    timing.FrameTimer += delay;
    const double actual = timing.FrameTimer - now;
    return actual < 0.010 ? 0.010 : actual;
}

bool NextPosition(std::int64_t& lastPosition, std::int64_t position, std::int64_t duration)
{
    if (duration > 0 && position >= duration) {
        position = duration;
        if (position != lastPosition) lastPosition = 0;
    }
    if (lastPosition == NoPosition || std::llabs(position - lastPosition) > 10000) {
        lastPosition = position;
        return true;
    }
    return false;
}

std::int64_t SeekTarget(std::int64_t position, std::int64_t duration, std::int64_t startTime, bool durationKnown,
                        bool startKnown)
{
    if (durationKnown && position > duration) position = duration;
    if (startKnown) position += startTime;
    return position;
}

}  // namespace kv::player
