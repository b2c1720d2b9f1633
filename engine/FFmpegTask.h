#pragma once
// One conversion task of the engine component and the threads it runs on.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "engine/FFmpeg.h"
#include "engine/FFmpegRecords.h"
#include "platform/ThreadPriority.h"

namespace kv::media {
class TAVProbe;
}

namespace kv::engine {

using TConvertPriority = platform::TThreadPriority;

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
    // Stops the task, waits for its threads and closes its files: called when the task
    // leaves its component's list; whoever still holds it holds an inert task.
    void Retire();

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
    bool retired_ = false;   // out of its component's list: never starts again
};

}  // namespace kv::engine
