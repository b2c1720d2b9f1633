#include "media/PreviewTime.h"

#include <cinttypes>
#include <cstdio>

extern "C" {
#include <libavutil/avutil.h>
}

namespace kv::media {

std::string FormatPTS(std::int64_t pts)
{
    if (pts == AV_NOPTS_VALUE) return "N/A";
    // The sign once in front, not on every field ("00:00:-01.-500").
    const char* sign = pts < 0 ? "-" : "";
    const std::int64_t t = pts < 0 ? -pts : pts;  // INT64_MIN is the no-time-stamp value
    const std::int64_t seconds = t / 1000000;
    char text[48];
    std::snprintf(text, sizeof text, "%s%.2" PRId64 ":%.2" PRId64 ":%.2" PRId64 ".%.3" PRId64, sign,
                  seconds / 60 / 60, seconds / 60 % 60, seconds % 60, t % 1000000 * 1000 / 1000000);
    return text;
}

}  // namespace kv::media
