#pragma once
// What describes a source besides its streams, carried into the output: the tags of
// each track and the chapters, moved and cut to the converted section.
extern "C" {
#include <libavformat/avformat.h>
}

#include "engine/FFmpeg.h"

namespace kv::engine {

// The track's language and title, where the output stream has none of its own; in
// the MP4 family the title also names the track's handler.
void KeepTrackTags(const AVStream* source, AVStream* output, const AVOutputFormat* format);
// The source's creation date, where the output has none of its own or only the
// moment of the conversion (`stampedNow`).
void KeepCreationDate(const AVDictionary* source, AVDictionary** output, bool stampedNow);
// The chapters of `source` on the output's time line: `offset` (microseconds) is
// added to their times, and what falls outside 0 .. `length` is cut off.
void KeepChapters(const AVFormatContext* source, AVFormatContext* output, std::int64_t offset, std::int64_t length);

}  // namespace kv::engine
