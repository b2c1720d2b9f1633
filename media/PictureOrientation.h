#pragma once
// How a video stream is meant to be shown when its container carries a display
// matrix (phones store pictures as the sensor saw them and say how to turn them):
// the turn and mirror that make the stored picture upright, and the upright size.
#include <cstdint>

struct AVStream;

namespace kv::media {

struct TOrientation {
    int Clockwise = 0;      // 0, 90, 180 or 270 degrees, applied after Mirror
    bool Mirror = false;    // left and right swapped, before turning
    bool Upright() const { return Clockwise == 0 && !Mirror; }
    bool SwapsSides() const { return Clockwise == 90 || Clockwise == 270; }
};

// The orientation a display matrix (nine 16.16 fixed-point values, the libraries'
// layout) asks for, snapped to quarter turns; a null or degenerate matrix is upright.
TOrientation OrientationFromMatrix(const std::int32_t* matrix);
// The stream's display matrix side data, if any.
TOrientation StreamOrientation(const AVStream* stream);
// A filter chain text that makes a stored picture upright ("" when it is already).
const char* OrientationFilters(const TOrientation& orientation);
// The stored size turned upright.
void UprightSize(const TOrientation& orientation, int& width, int& height);

}  // namespace kv::media
