#pragma once
// Turning a decoded picture upright for the screen, for clips whose container says
// how the stored picture is to be shown (phones store it as the sensor saw it).
#include <cstdint>

#include "media/PictureOrientation.h"

namespace kv::player {

// One picture's planes in YUV 4:2:0 (Y, U, V), at the size given beside it.
struct TYuvPlanes {
    std::uint8_t* Data[3];
    int Lines[3];
};

// Copies a stored `width` x `height` picture into `to`, which holds the upright
// size (media::UprightSize), turned and mirrored as `orientation` says.
void TurnPicture(const media::TOrientation& orientation, const TYuvPlanes& from, int width, int height,
                 const TYuvPlanes& to);

}  // namespace kv::player
