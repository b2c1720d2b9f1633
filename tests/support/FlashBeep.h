#pragma once
// Reads a converted flash-and-beep clip back: where each picture stream flashes
// (a picture whose mean brightness jumps to white) and where each sound stream
// beeps (the first loud sample after a silence), and where every stream starts and
// ends. Times are seconds from the start of the file, as a player counts them.
#include <string>
#include <vector>

extern "C" {
#include <libavutil/avutil.h>
#include <libavutil/rational.h>
}

namespace kv::test {

struct TStreamTiming {
    AVMediaType Type = AVMEDIA_TYPE_UNKNOWN;
    bool Decoded = false;
    double Start = 0, End = 0;     // first picture or sample, end of the last one
    int Frames = 0;                // pictures (video) or decoded blocks (sound)
    double FrameLength = 0;        // the longest picture or decoded block, seconds
    double LongestGap = 0;         // the longest time from one picture to the next (video)
    AVRational FrameRate{0, 1};    // the stream's average rate (video)
    std::vector<double> Events;    // flash or beep onsets
};

struct TFlashBeepReading {
    bool Ok = false;
    std::vector<TStreamTiming> Streams;   // every stream of the file, in order
};

TFlashBeepReading ReadFlashBeep(const std::string& file);

}  // namespace kv::test
