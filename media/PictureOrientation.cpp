#include "media/PictureOrientation.h"

#include <cstdlib>
#include <utility>

extern "C" {
#include <libavformat/avformat.h>
}

namespace kv::media {

namespace {

int Sign(std::int32_t v)
{
    // Below a quarter of one: treated as zero (rounding of a not quite square turn).
    if (std::abs(v) < (1 << 14)) return 0;
    return v > 0 ? 1 : -1;
}

}  // namespace

TOrientation OrientationFromMatrix(const std::int32_t* m)
{
    TOrientation o;
    if (!m) return o;
    // A stored point (x, y) is shown at (a x + c y, b x + d y), y pointing down.
    // Snap to the larger terms, so that a matrix a few degrees off still counts.
    const std::int32_t a = m[0], b = m[1], c = m[3], d = m[4];
    const bool swap = std::abs(b) + std::abs(c) > std::abs(a) + std::abs(d);
    const int sa = swap ? 0 : Sign(a), sd = swap ? 0 : Sign(d);
    const int sb = swap ? Sign(b) : 0, sc = swap ? Sign(c) : 0;
    if (!swap) {
        if (sa == 0 || sd == 0) return o;
        // (-x, y): mirrored; (x, -y): mirrored and half a turn; (-x, -y): half a turn.
        o.Mirror = sa * sd < 0;
        o.Clockwise = sd < 0 ? 180 : 0;
        return o;
    }
    if (sb == 0 || sc == 0) return o;
    // (-y, x): a quarter turn clockwise; (y, -x): three quarters. The same sign on
    // both is a mirror image of one of them.
    if (sb > 0 && sc < 0) o.Clockwise = 90;
    else if (sb < 0 && sc > 0) o.Clockwise = 270;
    else {
        // Mirrored (-x, y), then turned: a quarter turn clockwise gives (-y, -x),
        // three quarters give (y, x).
        o.Mirror = true;
        o.Clockwise = sb > 0 ? 270 : 90;
    }
    return o;
}

TOrientation StreamOrientation(const AVStream* stream)
{
    if (!stream) return {};
    for (int i = 0; i < stream->nb_side_data; ++i) {
        const AVPacketSideData& sd = stream->side_data[i];
        if (sd.type == AV_PKT_DATA_DISPLAYMATRIX && sd.size >= static_cast<int>(9 * sizeof(std::int32_t)))
            return OrientationFromMatrix(reinterpret_cast<const std::int32_t*>(sd.data));
    }
    return {};
}

const char* OrientationFilters(const TOrientation& o)
{
    // The libraries' transpose directions: cclock_flip is the plain transpose
    // (x, y) -> (y, x), clock_flip its mirror image.
    if (!o.Mirror) {
        switch (o.Clockwise) {
        case 90: return "transpose=dir=clock";
        case 180: return "hflip,vflip";
        case 270: return "transpose=dir=cclock";
        default: return "";
        }
    }
    switch (o.Clockwise) {
    case 90: return "transpose=dir=clock_flip";
    case 180: return "vflip";
    case 270: return "transpose=dir=cclock_flip";
    default: return "hflip";
    }
}

void UprightSize(const TOrientation& o, int& width, int& height)
{
    if (o.SwapsSides()) std::swap(width, height);
}

}  // namespace kv::media
