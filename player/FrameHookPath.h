#pragma once
// The player's frame hook: a decoded picture goes to OnHook as a 24-bit bitmap and
// comes back from it into the overlay's planes.
#include <cstdint>

struct AVFrame;

namespace kv::player {

struct PlaybackState;

// True when the hook ran and wrote the picture into `planes`; false leaves the
// ordinary conversion to run (no hook wanted, or the hook failed).
bool RunFrameHook(PlaybackState* is, AVFrame* frame, std::uint8_t* const planes[4], const int lines[4], double pts,
                  int height, int width, int destPixFmt);

}  // namespace kv::player
