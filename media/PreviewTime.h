#pragma once
// The caption of a preview frame: its time stamp as hours, minutes, seconds and
// milliseconds. Free of Qt Widgets so that the engine can use it too.
#include <cstdint>
#include <string>

namespace kv::media {

// "HH:MM:SS.mmm" for a time stamp in microseconds, "N/A" for the libraries'
// no-time-stamp value; a negative time gets one leading "-".
std::string FormatPTS(std::int64_t pts);

}  // namespace kv::media
