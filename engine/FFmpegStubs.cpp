// Placeholders for the input/output setup and the transcode, which are built
// separately; each one fails with a clear text until then.
#include "engine/FFmpeg.h"

namespace kv::engine {

namespace {
const char* const NotAvailable = "not available in this build: ";
}

bool TCustomFFmpeg::OpenInputFile(const std::string& fileName)
{
    LastErrorMessage = std::string("Opening input files is ") + NotAvailable + fileName;
    return false;
}

int TCustomFFmpeg::OpenOutputFile(const std::string& fileName)
{
    LastErrorMessage = std::string("Opening output files is ") + NotAvailable + fileName;
    return -1;
}

void TCustomFFmpeg::NewVideoStream(AVFormatContext*)
{
    throw FFmpegException(std::string("Adding streams is ") + NotAvailable + "video");
}

void TCustomFFmpeg::NewAudioStream(AVFormatContext*)
{
    throw FFmpegException(std::string("Adding streams is ") + NotAvailable + "audio");
}

void TCustomFFmpeg::NewSubtitleStream(AVFormatContext*)
{
    throw FFmpegException(std::string("Adding streams is ") + NotAvailable + "subtitle");
}

void TCustomFFmpeg::ApplyTarget(const std::string& type, const std::string&, const std::string&)
{
    throw FFmpegException(std::string("Target presets are ") + NotAvailable + type);
}

void TCustomFFmpeg::Transcode()
{
    throw FFmpegException("Transcoding is not available in this build");
}

void TCustomFFmpeg::CloseOpenCodecs() {}

// Until the file setup exists no file can be open, so only the option state is released.
void TCustomFFmpeg::CleanupTask()
{
    ReleaseOptionResources();
}

}  // namespace kv::engine
