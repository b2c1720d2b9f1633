#pragma once
// Stand-in for the transcoder core: the agreed public members only, so that the
// engine component builds and its tests run before the real core is merged.
// Replaced as a whole by the real engine/FFmpeg.h (with FFmpegCoreStub.cpp removed).
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "engine/EngineEvents.h"
#include "engine/FFmpegException.h"

namespace kv::engine {

class TCustomFFmpeg {
public:
    TCustomFFmpeg();
    virtual ~TCustomFFmpeg();

    // option state (option language)
    void ResetOptionState();
    void SetOption(const std::string& name, const std::string& value);  // throws FFmpegException
    void SetLogLevel(int level);
    void Log(int level, const std::string& text);

    // files
    bool OpenInputFile(const std::string& fileName);
    int OpenOutputFile(const std::string& fileName);  // negative on failure
    int InputFileCount = 0;
    int OutputFileCount = 0;

    // transcode
    void Transcode();
    void CloseOpenCodecs();
    void CleanupTask();

    // run state
    void* Thread = nullptr;
    std::uint8_t PreviewFlags = 0;
    bool Running = false;
    std::atomic<bool> StopRequested{false};
    bool Finished = false;
    bool Terminated = false;
    bool ExceptionRaised = false;
    std::string ExceptionMessage;
    std::string LastErrorMessage;
    TTaskEventSink* LogHandler = nullptr;
    TTaskEventSink* ProgressHandler = nullptr;
    TTaskEventSink* TerminateHandler = nullptr;
    TTaskEventSink* PreviewBitmapHandler = nullptr;
    TTaskEventSink* BeforeHookHandler = nullptr;
    TTaskEventSink* CustomHookHandler = nullptr;
    std::int64_t ProgressIntervalUS = 500000;
    std::int64_t PreviewIntervalUS = 100000;
    int TotalOutputDuration = -1;
    struct TTimeRange {
        std::int64_t Start, End;
    };
    std::vector<TTimeRange> TimeRanges;
    int TimeRangeCount = 0;
    int TimeRangeIndex = 0;
    THookAction HookAction = haContinue;
    void WaitWhilePaused();
    void SetPaused(bool paused);

    // ---- stub only: not part of the real core ----
    std::vector<std::pair<std::string, std::string>> AppliedOptions;  // every SetOption call, in order
    int StubTranscodeSteps = 20;                                      // loop iterations of Transcode

private:
    std::mutex pauseLock_;
    std::condition_variable pauseChanged_;
    bool paused_ = false;
};

}  // namespace kv::engine
