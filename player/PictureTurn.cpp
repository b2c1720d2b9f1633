#include "player/PictureTurn.h"

#include <cstddef>

namespace kv::player {

namespace {

// Where the stored point (x, y) of a width x height plane lands in the upright
// plane, as an offset: mirrored first, then turned clockwise.
std::ptrdiff_t UprightOffset(const media::TOrientation& o, int x, int y, int width, int height, int line)
{
    if (o.Mirror) x = width - 1 - x;
    int ux = x, uy = y;
    switch (o.Clockwise) {
    case 90: ux = height - 1 - y; uy = x; break;
    case 180: ux = width - 1 - x; uy = height - 1 - y; break;
    case 270: ux = y; uy = width - 1 - x; break;
    default: break;
    }
    return static_cast<std::ptrdiff_t>(uy) * line + ux;
}

void TurnPlane(const media::TOrientation& o, const std::uint8_t* from, int fromLine, int width, int height,
               std::uint8_t* to, int toLine)
{
    // Along a stored row the upright offset moves by a fixed step.
    const std::ptrdiff_t step = width > 1 ? UprightOffset(o, 1, 0, width, height, toLine) -
                                                UprightOffset(o, 0, 0, width, height, toLine)
                                          : 0;
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* src = from + static_cast<std::ptrdiff_t>(y) * fromLine;
        std::uint8_t* dst = to + UprightOffset(o, 0, y, width, height, toLine);
        for (int x = 0; x < width; ++x, dst += step) *dst = src[x];
    }
}

}  // namespace

void TurnPicture(const media::TOrientation& orientation, const TYuvPlanes& from, int width, int height,
                 const TYuvPlanes& to)
{
    TurnPlane(orientation, from.Data[0], from.Lines[0], width, height, to.Data[0], to.Lines[0]);
    const int chromaWidth = (width + 1) / 2, chromaHeight = (height + 1) / 2;
    for (int p = 1; p < 3; ++p)
        TurnPlane(orientation, from.Data[p], from.Lines[p], chromaWidth, chromaHeight, to.Data[p], to.Lines[p]);
}

}  // namespace kv::player
