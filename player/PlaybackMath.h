#pragma once
// The arithmetic of playback, free of threads and devices: where a picture is
// drawn, when the next picture is due, which positions are reported, where a seek goes.
#include <cstdint>

namespace kv::player {

struct TPictureRect {
    int X, Y, Width, Height;
};

// The largest rectangle of display aspect `aspect` centred in the drawing area;
// the side computed from the aspect is always even.
TPictureRect FitPicture(float aspect, int drawWidth, int drawHeight);

// The display aspect of a picture from its sample aspect (0 or less: square pixels).
float DisplayAspect(float sampleAspect, int width, int height);

struct TVideoTiming {
    double FrameTimer;      // wall clock at which the last picture was due
    double FrameLastPts;    // time of the last picture
    double FrameLastDelay;  // gap between the last two pictures
};

// Seconds until the picture of time `pts` is due, following the master clock when
// sound plays (`master` is then the sound's clock); at least 0.01.
double ComputeTargetDelay(TVideoTiming& timing, double pts, bool followMaster, double master, double now);

// The no-time-stamp value of the libraries: no position reported yet.
constexpr std::int64_t NoPosition = INT64_MIN;

// Applies a new position to the last reported one; true when it is to be reported.
bool NextPosition(std::int64_t& lastPosition, std::int64_t position, std::int64_t duration);

// The absolute time a seek to `position` goes to; `duration` and `startTime` are
// the container's (negative or unknown values are ignored).
std::int64_t SeekTarget(std::int64_t position, std::int64_t duration, std::int64_t startTime, bool durationKnown,
                        bool startKnown);

}  // namespace kv::player
