#pragma once
// The test media's clips whose container asks for a turn or a mirror. The stored
// picture's corners have luma 40 top left, 100 top right, 160 bottom left and 220
// bottom right; each clip says how they must show once the picture is upright.

namespace kv::test {

struct TTurnedClip {
    const char* Name;
    int Width, Height;   // upright
    int Corners[4];      // luma top left, top right, bottom left, bottom right, as shown
};

inline constexpr TTurnedClip TurnedClips[] = {
    {"turn_90.mp4", 176, 320, {160, 40, 220, 100}},
    {"turn_180.mp4", 320, 176, {220, 160, 100, 40}},
    {"turn_270.mp4", 176, 320, {100, 220, 40, 160}},
    {"mirror.mp4", 320, 176, {100, 40, 220, 160}},
    {"turn_90_mirror.mp4", 176, 320, {40, 160, 100, 220}},
    {"turn_270_mirror.mp4", 176, 320, {220, 100, 160, 40}},
};

}  // namespace kv::test
