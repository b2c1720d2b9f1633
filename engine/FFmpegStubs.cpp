// Placeholders for the transcode, which is built separately; it fails with a clear
// text until then.
#include "engine/FFmpeg.h"

namespace kv::engine {

void TCustomFFmpeg::Transcode()
{
    throw FFmpegException("Transcoding is not available in this build");
}

void TCustomFFmpeg::CloseOpenCodecs() {}

void TCustomFFmpeg::CleanupTask()
{
    ReleaseFiles();
    ReleaseOptionResources();
}

}  // namespace kv::engine
