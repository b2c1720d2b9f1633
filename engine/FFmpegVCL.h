#pragma once
// The engine component: a list of conversion tasks, run one after another or
// several at once on worker threads, reporting through six events.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/EngineEvents.h"
#include "engine/FFmpegRecords.h"
#include "media/Bitmap.h"
#include "platform/ThreadPriority.h"

class QObject;

namespace kv::media {
class TAVProbe;
}

namespace kv::engine {

// Worker threads run at one of the four lowest platform priorities.
using TConvertPriority = platform::TThreadPriority;
using platform::tpIdle;
using platform::tpLower;
using platform::tpLowest;
using platform::tpNormal;

using TBeforeHookEvent = std::function<void(int AIndex, std::int64_t APTS, THookAction& AHookAction)>;
using TCustomHookEvent = std::function<void(int AIndex, media::TBitmap& ABitmap, int AFrameNumber, std::int64_t APTS,
                                            bool& AUpdate, bool& AStopHook)>;
using TLogEvent = std::function<void(int AIndex, TLogLevel ALogLevel, const std::string& AMsg)>;
using TPreviewBitmapEvent =
    std::function<void(int AIndex, media::TBitmap& ABitmap, int AFrameNumber, std::int64_t APTS)>;
using TProgressEvent = std::function<void(int AIndex, int AFrameNumber, int AFPS, int ACurrentDuration, float AQuality,
                                          float ABitRate, std::int64_t ACurrentSize, int ATotalOutputDuration)>;
using TTerminateEvent = std::function<void(int AIndex, bool AFinished, bool AException, const std::string& AMessage)>;

class TCustomFFmpeg;
class TFFmpeg;   // engine/FFmpegTask.h: one conversion task

// Ordered list of tasks. The list shares the ownership of a task with whoever asked
// for it (Task, the component's own snapshots), so that a task taken out of the list
// on one thread is never freed under another that still uses it.
class TFFmpegList {
public:
    TFFmpegList();
    ~TFFmpegList();
    int Count() const { return static_cast<int>(items_.size()); }
    TFFmpeg* Items(int index) const;  // throws std::out_of_range for a bad index
    std::shared_ptr<TFFmpeg> Shared(int index) const;  // the same, shared
    int Add(std::shared_ptr<TFFmpeg> task);
    std::shared_ptr<TFFmpeg> Extract(int index);
    std::vector<std::shared_ptr<TFFmpeg>> ExtractAll();

private:
    std::vector<std::shared_ptr<TFFmpeg>> items_;
};

class TCustomFFmpegVCL : public TTaskEventSink {
public:
    TCustomFFmpegVCL();
    ~TCustomFFmpegVCL() override;
    TCustomFFmpegVCL(const TCustomFFmpegVCL&) = delete;
    TCustomFFmpegVCL& operator=(const TCustomFFmpegVCL&) = delete;

    bool LoadAVLib(const std::string& libraryFolder);
    int AddInputFile(const std::string& fileName, TInputOptions* options);
    bool SetOutputFile(int index, const std::string& fileName, TOutputOptions* options);
    // One task whose files are opened only when it starts: the input and the output are
    // checked now as AddInputFile and SetOutputFile would (no output file is created) and
    // closed again, so that a long queue holds no file and little memory. Returns the
    // task's index, or -1 with LastErrMsg (no task is left behind then). A file that
    // cannot be opened at the start fails the task with the reason.
    int AddTask(const std::string& inputFile, TInputOptions* input, const std::string& outputFile,
                TOutputOptions* output);
    void RemoveTask(int index);
    void ClearTasks();
    int TaskCount();
    // The task at `index`, shared: it stays valid while it is held, also when it leaves
    // the list meanwhile (it is then stopped and its files closed). Throws
    // std::out_of_range for a bad index. Callers outside the engine ask by index instead.
    std::shared_ptr<TFFmpeg> Task(int index);
    // Asked under the list lock, so that the task cannot leave the list meanwhile;
    // false for an index of no task. Started: the task got its worker thread.
    bool IsTaskRunning(int index);
    bool IsTaskStarted(int index);

    void StartConvert(int threadCount);
    void StopConvert();
    void PauseConvert();
    void ResumeConvert();

    std::string LastErrMsg() const { return lastErrMsg_; }
    static void InitInputOptions(TInputOptions& options) { engine::InitInputOptions(options); }
    static void InitOutputOptions(TOutputOptions& options) { engine::InitOutputOptions(options); }
    // Whether the option language or the libraries know `name` (libraries loaded).
    static bool IsKnownOption(const std::string& name);

    // Events of the tasks; a descendant may override what happens to each.
    void DoBeforeHook(TCustomFFmpeg* task, std::int64_t pts, THookAction& action) override;
    void DoCustomHook(TCustomFFmpeg* task, media::TBitmap& bitmap, int frameNumber, std::int64_t pts, bool& update,
                      bool& stopHook) override;
    void DoLog(TCustomFFmpeg* task, TLogLevel level, const std::string& message) override;
    void DoPreviewBitmap(TCustomFFmpeg* task, media::TBitmap& bitmap, int frameNumber, std::int64_t pts) override;
    void DoProgress(TCustomFFmpeg* task, int frameNumber, int fps, int currentDuration, float quality, float bitRate,
                    std::int64_t currentSize, int totalOutputDuration) override;
    void DoTerminate(TCustomFFmpeg* task) override;

    // A library log line of the thread `threadId`, for this component's task of that thread.
    void DeliverLibraryLine(std::uint32_t threadId, TLogLevel level, const std::string& line);

protected:
    TLogLevel LogLevel() const { return logLevel_; }
    void SetLogLevel(TLogLevel level);
    bool Preview() const { return preview_; }
    void SetPreview(bool value);
    bool PreviewBitmap() const { return previewBitmap_; }
    void SetPreviewBitmap(bool value);
    int ProgressInterval() const { return progressInterval_; }
    void SetProgressInterval(int milliseconds);
    // Whether a task that is stopped while it runs removes what it wrote (a batch
    // leaves no output of a cancelled file) or keeps it, closed properly (the default).
    bool RemoveStoppedOutputs() const { return removeStoppedOutputs_; }
    void SetRemoveStoppedOutputs(bool value) { removeStoppedOutputs_ = value; }
    TConvertPriority ThreadPriority() const { return threadPriority_; }
    void SetThreadPriority(TConvertPriority priority) { threadPriority_ = priority; }
    std::string Version() const { return "2.3a"; }
    std::string About;

    TBeforeHookEvent OnBeforeHook;
    TCustomHookEvent OnCustomHook;
    TLogEvent OnLog;
    TPreviewBitmapEvent OnPreviewBitmap;
    TProgressEvent OnProgress;
    TTerminateEvent OnTerminate;

private:
    void StartNext();
    void RunTask(int index);
    void ApplyLogLevelTo(TCustomFFmpeg& task);
    void SetPreviewBit(std::uint8_t bit, bool value);
    int IndexOf(TCustomFFmpeg* task);
    std::vector<std::shared_ptr<TFFmpeg>> TaskSnapshot();
    // Stops and closes tasks taken out of the list, outside the list's locks.
    static void RetireTasks(std::vector<std::shared_ptr<TFFmpeg>>& tasks);

    std::string lastErrMsg_;
    int threadCount_ = 0;
    int pendingCount_ = 0;
    int terminatedCount_ = 0;
    int nextTaskIndex_ = -1;
    // Serialises OnLog, OnProgress, OnTerminate and the batch counters; always taken
    // after the process-wide list of components. Recursive:
    // a task that fails to start reports its end from inside the termination of the
    // task before it.
    std::recursive_mutex eventLock_;
    // Guards the list and the tasks' indexes; never held while taking another lock.
    std::mutex tasksLock_;
    TFFmpegList tasks_;
    std::unique_ptr<media::TAVProbe> probe_;  // stream facts for the application
    QObject* timerContext_ = nullptr;   // one-shot timers of synchronous mode die with it
    std::atomic<bool> destroying_{false};

    TLogLevel logLevel_ = llInfo;
    bool preview_ = false;
    bool previewBitmap_ = false;
    int progressInterval_ = 500;
    std::atomic<bool> removeStoppedOutputs_{false};
    TConvertPriority threadPriority_ = tpNormal;
};

class TFFmpegVCL : public TCustomFFmpegVCL {
public:
    using TCustomFFmpegVCL::About;
    using TCustomFFmpegVCL::LogLevel;
    using TCustomFFmpegVCL::OnBeforeHook;
    using TCustomFFmpegVCL::OnCustomHook;
    using TCustomFFmpegVCL::OnLog;
    using TCustomFFmpegVCL::OnPreviewBitmap;
    using TCustomFFmpegVCL::OnProgress;
    using TCustomFFmpegVCL::OnTerminate;
    using TCustomFFmpegVCL::Preview;
    using TCustomFFmpegVCL::PreviewBitmap;
    using TCustomFFmpegVCL::ProgressInterval;
    using TCustomFFmpegVCL::SetLogLevel;
    using TCustomFFmpegVCL::SetPreview;
    using TCustomFFmpegVCL::SetPreviewBitmap;
    using TCustomFFmpegVCL::SetProgressInterval;
    using TCustomFFmpegVCL::RemoveStoppedOutputs;
    using TCustomFFmpegVCL::SetRemoveStoppedOutputs;
    using TCustomFFmpegVCL::SetThreadPriority;
    using TCustomFFmpegVCL::ThreadPriority;
    using TCustomFFmpegVCL::Version;
};

}  // namespace kv::engine
