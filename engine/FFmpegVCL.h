#pragma once
// The engine component: a list of conversion tasks, run one after another or
// several at once on worker threads, reporting through six events.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/EngineEvents.h"
#include "engine/FFmpeg.h"
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

// A thread that runs one body once. Its state outlives the object, so a body may
// end by freeing the object that owns the thread.
class TTaskThread {
public:
    TTaskThread(std::function<void()> body, TConvertPriority priority, bool suspended);
    virtual ~TTaskThread();
    TTaskThread(const TTaskThread&) = delete;
    TTaskThread& operator=(const TTaskThread&) = delete;

    std::uint32_t ThreadID();  // the kernel's id; waits until the thread has started
    void Resume();             // lets a thread created suspended run its body
    bool WaitEnded(int milliseconds);
    bool IsCurrentThread() const;
    // Joins, or lets go when called on the thread itself.
    void Release();

private:
    struct TState;
    std::shared_ptr<TState> state_;
    std::thread thread_;
};

class TFFmpeg;

// Runs one task's transcode (the task's Run).
class TFFmpegThread : public TTaskThread {
public:
    TFFmpegThread(TFFmpeg* task, TConvertPriority priority);
};

// Reports the termination of a task that never ran (the task's FinishTask).
class TDoTerminateThread : public TTaskThread {
public:
    explicit TDoTerminateThread(TFFmpeg* task);
};

// One conversion task.
class TFFmpeg : public TCustomFFmpeg {
public:
    TFFmpeg();
    ~TFFmpeg() override;

    int TaskIndex = -1;
    std::atomic<std::uint32_t> ThreadID{0};
    TInputOptions InputOptions;
    TOutputOptions OutputOptions;
    // Stream facts of the opened input; attached once the input is open, detached
    // before the input is closed.
    std::unique_ptr<media::TAVProbe> Probe;

    // Starts the task once; the thread comes back suspended (none when not threaded
    // or when the start failed, in which case the task is already terminated).
    TFFmpegThread* Start(bool threaded, TConvertPriority priority);
    void Run();
    void FinishTask();

    bool IsRunning();
    bool IsTerminated();
    // Pause gate of a task that runs on its own thread.
    void PauseWorker();
    void ResumeWorker();
    // Stops a running task; true when it was running.
    bool StopIfRunning();
    // Terminates a task that never started, from a TDoTerminateThread.
    void TerminateUnstarted();
    // Joins the worker of a task that has ended: a long batch keeps no finished threads.
    void ReleaseEndedWorker();

    // A task queued by AddTask holds no open file until it starts: its run opens the
    // input and the output under these names, from its records.
    bool OpensFilesAtStart = false;
    // Set when the task starts: a stopped run removes what it wrote, as a failed one does.
    bool RemoveOutputsWhenStopped = false;
    std::string InputFileName;
    std::string OutputFileName;
    TTaskEventSink* HookSink = nullptr;   // where the output record's hook events go
    // Closes the files and releases the option state; the records stay.
    void Cleanup();

private:
    void OpenFiles();
    std::mutex stateLock_;
    std::unique_ptr<TFFmpegThread> worker_;
    std::unique_ptr<TDoTerminateThread> terminator_;
    bool paused_ = false;
};

// Ordered, owning list of tasks.
class TFFmpegList {
public:
    int Count() const { return static_cast<int>(items_.size()); }
    TFFmpeg* Items(int index) const;  // throws std::out_of_range for a bad index
    int Add(std::unique_ptr<TFFmpeg> task);
    std::unique_ptr<TFFmpeg> Extract(int index);
    std::vector<std::unique_ptr<TFFmpeg>> ExtractAll();

private:
    std::vector<std::unique_ptr<TFFmpeg>> items_;
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
    TFFmpeg& Task(int index);  // throws std::out_of_range for a bad index
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

    // Events of the tasks; a descendant may override what happens to each.
    void DoBeforeHook(TCustomFFmpeg* task, std::int64_t pts, THookAction& action) override;
    void DoCustomHook(TCustomFFmpeg* task, media::TBitmap& bitmap, int frameNumber, std::int64_t pts, bool& update,
                      bool& stopHook) override;
    void DoLog(TCustomFFmpeg* task, int level, const std::string& message) override;
    void DoPreviewBitmap(TCustomFFmpeg* task, media::TBitmap& bitmap, int frameNumber, std::int64_t pts) override;
    void DoProgress(TCustomFFmpeg* task, int frameNumber, int fps, int currentDuration, float quality, float bitRate,
                    std::int64_t currentSize, int totalOutputDuration) override;
    void DoTerminate(TCustomFFmpeg* task) override;

    // A library log line of the thread `threadId`, for this component's task of that thread.
    void DeliverLibraryLine(std::uint32_t threadId, int level, const std::string& line);

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
    std::vector<TFFmpeg*> TaskSnapshot();

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
