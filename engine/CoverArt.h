#pragma once
// The source's cover picture, kept in the container's own form: a picture stream for
// MP3, MP4, M4A, MOV and FLAC, an attachment for Matroska, a picture comment for Ogg.
extern "C" {
#include <libavformat/avformat.h>
}

#include "engine/FFmpeg.h"

namespace kv::engine {

// Before the header: adds what the output needs to hold the cover. Returns the
// index of the picture stream that takes the cover's packet, -1 for none.
int AddCoverArt(TCustomFFmpeg& task, AVFormatContext* oc);
// After the header: the cover's one packet into that stream.
void WriteCoverArt(TCustomFFmpeg& task, AVFormatContext* oc, int stream);

}  // namespace kv::engine
