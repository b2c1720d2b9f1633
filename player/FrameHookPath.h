#pragma once
// The player's frame hook: a decoded picture goes to OnHook as a 24-bit bitmap and
// comes back from it into the overlay's planes.
#include <cstdint>

namespace kv::player {

struct PlaybackState;

// The picture the hook is given: its planes in the libraries' layout.
struct THookSource {
    const std::uint8_t* const* Data;
    const int* Lines;
    int Format;
};

// True when the hook ran and wrote the picture into `planes` (which may be the
// source's own: it is read in full first); false leaves the ordinary conversion to
// run (no hook wanted, or the hook failed).
bool RunFrameHook(PlaybackState* is, const THookSource& source, std::uint8_t* const planes[4], const int lines[4],
                  double pts, int height, int width, int destPixFmt);

}  // namespace kv::player
