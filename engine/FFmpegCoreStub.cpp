// Stand-in implementation of the transcoder core (see FFmpeg.h); removed when the
// real core is merged.
#include <chrono>
#include <thread>

#include "engine/FFmpeg.h"
#include "engine/LogList.h"
#include "media/AVUtilStubs.h"
#include "media/Bitmap.h"
#include "media/FFmpegLoader.h"

namespace kv::engine {

TCustomFFmpeg::TCustomFFmpeg() = default;
TCustomFFmpeg::~TCustomFFmpeg() = default;

void TCustomFFmpeg::ResetOptionState()
{
    AppliedOptions.clear();
    Running = false;
    StopRequested = false;
    Finished = false;
    Terminated = false;
    TotalOutputDuration = -1;
}

void TCustomFFmpeg::SetOption(const std::string& name, const std::string& value)
{
    // The one refusal the real option language gives for this pair as well.
    if (name == "pass" && value != "1" && value != "2") throw FFmpegException("pass number can be only 1 or 2");
    AppliedOptions.emplace_back(name, value);
}

void TCustomFFmpeg::SetLogLevel(int level)
{
    if (media::FFLoader.LibsLoaded(media::EngineLibraries)) {
        av::av_log_set_level(LibraryLevelFromTranscoder(level));
        SetCachedLogLevel(av::av_log_get_level());
    }
}

void TCustomFFmpeg::Log(int level, const std::string& text)
{
    if (LogHandler) LogHandler->DoLog(this, level, text);
}

bool TCustomFFmpeg::OpenInputFile(const std::string& fileName)
{
    if (fileName.empty() || fileName.rfind("fail:", 0) == 0) {
        LastErrorMessage = fileName + ": could not open";
        return false;
    }
    ++InputFileCount;
    return true;
}

int TCustomFFmpeg::OpenOutputFile(const std::string& fileName)
{
    if (fileName.empty() || fileName.rfind("fail:", 0) == 0) {
        LastErrorMessage = "Could not open '" + fileName + "'";
        return -1;
    }
    return OutputFileCount++;
}

void TCustomFFmpeg::Transcode()
{
    for (int step = 0; step < StubTranscodeSteps; ++step) {
        WaitWhilePaused();
        if (StopRequested) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        if (ProgressHandler) ProgressHandler->DoProgress(this, step + 1, 25, (step + 1) * 40, 2.0f, 128.0f, step * 1000, TotalOutputDuration);
        if ((PreviewFlags & 2) && PreviewBitmapHandler) {
            media::TBitmap bitmap(4, 4);
            PreviewBitmapHandler->DoPreviewBitmap(this, bitmap, step + 1, step * 40000);
        }
    }
    Finished = true;
}

void TCustomFFmpeg::CloseOpenCodecs() {}

void TCustomFFmpeg::CleanupTask()
{
    InputFileCount = 0;
    OutputFileCount = 0;
}

void TCustomFFmpeg::WaitWhilePaused()
{
    std::unique_lock lock(pauseLock_);
    pauseChanged_.wait(lock, [this] { return !paused_; });
}

void TCustomFFmpeg::SetPaused(bool paused)
{
    {
        std::lock_guard lock(pauseLock_);
        paused_ = paused;
    }
    pauseChanged_.notify_all();
}

}  // namespace kv::engine
