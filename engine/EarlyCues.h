#pragma once
// Subtitle cues that began before the section's start and are still on screen there.
// Seeking an input to the start can pass them (Matroska seeks to the cluster of the key
// frame before the start, and a cue shown across it lies in an earlier cluster): they
// are read once more from a little before and handed on first, cut to the start.
#include <cstdint>
#include <vector>

#include "media/AvHandles.h"

namespace kv::engine {

class TCustomFFmpeg;

struct TEarlyCue {
    int File = 0;
    int Stream = 0;
    std::int64_t Pts = 0;   // as read, on the stream's clock
    media::PacketHandle Packet;
};

// The cues on screen at the start of every input that was sought to its start, in
// their files' order.
std::vector<TEarlyCue> CuesOnScreenAtStart(const TCustomFFmpeg& task);
// The packet just read from input `file` is one of `cues` (the seek did not pass it).
bool IsEarlyCue(const std::vector<TEarlyCue>& cues, int file, const AVPacket* packet);

}  // namespace kv::engine
