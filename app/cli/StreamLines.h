#pragma once
// One line per stream of an opened file, as `kestravo-cli probe` prints them:
// kind, codec, picture size and display aspect, frame rate, rotation, colour,
// sample rate, channels and layout, language and the default flag.
#include <string>

struct AVFormatContext;

namespace kv::cli {

// Stream `index` of the opened file `context`.
std::string StreamLine(AVFormatContext& context, int index);

}  // namespace kv::cli
