#include "engine/FFmpegVCL.h"

#include "engine/FFmpegTask.h"

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <stdexcept>

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <QTimer>

#include "engine/FrameStages.h"
#include "engine/LogList.h"
#include "engine/PreviewLock.h"
#include "media/AVProbe.h"
#include "media/AVUtilStubs.h"
#include "media/FFmpegLoader.h"
#include "platform/UiThread.h"

namespace kv::engine {

namespace {

// Every component of the process; library log lines are handed to each of them.
// Taken before any component's event lock. Recursive: an OnLog handler may log.
std::recursive_mutex& ComponentsLock()
{
    static std::recursive_mutex lock;
    return lock;
}
std::vector<TCustomFFmpegVCL*>& Components()
{
    static std::vector<TCustomFFmpegVCL*> components;
    return components;
}

void EngineLogCallback(void* context, int level, const char* format, va_list args)
{
    if (level >= 0) level &= 0xFF;  // drop the colour bits of today's levels
    if (level > CachedLogLevel()) return;
    std::lock_guard guard(ComponentsLock());
    std::uint32_t threadId = platform::CurrentThreadId();
    std::vector<std::string> lines = CollectLogLines(LogList(), threadId, context, format, args);
    const TLogLevel logLevel = LogLevelFromLibrary(level);
    for (const std::string& line : lines)
        for (TCustomFFmpegVCL* component : Components()) component->DeliverLibraryLine(threadId, logLevel, line);
}

// The component's event lock, always behind the list lock: a handler that runs
// under the event lock may log through the libraries, whose callback takes the list
// lock, and the callback itself takes the event lock while it holds the list lock.
class TEventGuard {
public:
    explicit TEventGuard(std::recursive_mutex& eventLock) : list_(ComponentsLock()), event_(eventLock) {}

private:
    std::lock_guard<std::recursive_mutex> list_;
    std::lock_guard<std::recursive_mutex> event_;
};

void RefreshCachedLevel()
{
    if (media::FFLoader.LibsLoaded(media::EngineLibraries)) SetCachedLogLevel(av::av_log_get_level());
}

}  // namespace

// ---------------------------------------------------------------- threads

struct TTaskThread::TState {
    std::mutex Lock;
    std::condition_variable Changed;
    bool Resumed = false;
    bool IdKnown = false;
    bool Ended = false;
    std::uint32_t ThreadID = 0;
};

TTaskThread::TTaskThread(std::function<void()> body, TConvertPriority priority, bool suspended)
    : state_(std::make_shared<TState>())
{
    state_->Resumed = !suspended;
    thread_ = std::thread([state = state_, body = std::move(body), priority] {
        platform::SetCurrentThreadPriority(priority);
        std::unique_lock lock(state->Lock);
        state->ThreadID = platform::CurrentThreadId();
        state->IdKnown = true;
        state->Changed.notify_all();
        state->Changed.wait(lock, [&] { return state->Resumed; });
        lock.unlock();
        body();
        lock.lock();
        state->Ended = true;
        state->Changed.notify_all();
    });
}

TTaskThread::~TTaskThread()
{
    Release();
}

std::uint32_t TTaskThread::ThreadID()
{
    std::unique_lock lock(state_->Lock);
    state_->Changed.wait(lock, [&] { return state_->IdKnown; });
    return state_->ThreadID;
}

void TTaskThread::Resume()
{
    std::lock_guard lock(state_->Lock);
    state_->Resumed = true;
    state_->Changed.notify_all();
}

bool TTaskThread::WaitEnded(int milliseconds)
{
    std::unique_lock lock(state_->Lock);
    return state_->Changed.wait_for(lock, std::chrono::milliseconds(milliseconds), [&] { return state_->Ended; });
}

bool TTaskThread::IsCurrentThread() const
{
    return thread_.get_id() == std::this_thread::get_id();
}

void TTaskThread::Release()
{
    if (!thread_.joinable()) return;
    if (IsCurrentThread())
        thread_.detach();
    else
        thread_.join();
}

TFFmpegThread::TFFmpegThread(TFFmpeg* task, TConvertPriority priority)
    : TTaskThread([task] { task->Run(); }, priority, true)
{
}

TDoTerminateThread::TDoTerminateThread(TFFmpeg* task) : TTaskThread([task] { task->FinishTask(); }, tpIdle, false) {}

// ---------------------------------------------------------------- task

TFFmpeg::TFFmpeg() : Probe(std::make_unique<media::TAVProbe>()) {}

TFFmpeg::~TFFmpeg()
{
    Retire();
}

void TFFmpeg::Retire()
{
    {
        std::lock_guard lock(stateLock_);
        retired_ = true;
    }
    StopRequested = true;
    SetPaused(false);
    // A worker may be waiting for the UI thread, which may be this very thread:
    // its event hand-offs are cancelled and the others (its preview window's) are
    // served until it has ended, so this wait always ends.
    const void* owner = static_cast<TCustomFFmpeg*>(this);
    for (TTaskThread* thread : {static_cast<TTaskThread*>(worker_.get()), static_cast<TTaskThread*>(terminator_.get())}) {
        if (!thread) continue;
        if (!thread->IsCurrentThread())
            while (!thread->WaitEnded(10)) {
                platform::CancelUiCalls(owner);
                platform::ProcessPendingUiCalls();
            }
        thread->Release();
    }
    Cleanup();
}

void TFFmpeg::Cleanup()
{
    Probe->Close();  // borrowed the input that the cleanup closes
    CleanupTask();
}

TFFmpegThread* TFFmpeg::Start(bool threaded, TConvertPriority priority)
{
    {
        std::lock_guard lock(stateLock_);
        if (Running || Terminated || terminator_ || retired_) return nullptr;
    }
    const char* failure = nullptr;
    if (OpensFilesAtStart) {
        // Its run opens them.
    } else if (OutputFileCount <= 0) {
        failure = "At least one output file must be specified";
    } else if (InputFileCount <= 0) {
        failure = "At least one input file must be specified";
    }
    if (failure) {
        Cleanup();
        Log(llQuiet, failure);
        ExceptionRaised = true;
        ExceptionMessage = failure;
        FinishTask();
        return nullptr;
    }
    {
        std::lock_guard lock(stateLock_);
        Running = true;
        StopRequested = false;
        Finished = false;
        Terminated = false;
    }
    if (!threaded) {
        Run();
        return nullptr;
    }
    std::lock_guard lock(stateLock_);
    worker_ = std::make_unique<TFFmpegThread>(this, priority);
    Thread = worker_.get();
    return worker_.get();
}

void TFFmpeg::Run()
{
    Finished = false;
    try {
        if (OpensFilesAtStart) OpenFiles();
        Transcode();
    } catch (const std::exception& e) {
        Log(llQuiet, e.what());
        ExceptionRaised = true;
        ExceptionMessage = e.what();
    }
    CloseOpenCodecs();
    Cleanup();
    // A failed output is no conversion: what the run wrote of it goes (and, when the
    // component asks for it, what a stopped run wrote).
    if (ExceptionRaised || (RemoveOutputsWhenStopped && !Finished)) RemoveCreatedOutputs();
    FinishTask();  // may free the task: nothing of it is touched after this
}

void TFFmpeg::OpenFiles()
{
    const TLogLevel verbose = Verbose;
    Probe->Close();
    RenewOptionState();
    SetLogLevel(verbose);
    ApplyInputOptions(*this, InputOptions);
    OpenInput(InputFileName);
    Probe->Attach(InputFiles[static_cast<std::size_t>(InputFileCount - 1)]);
    ApplyOutputOptions(*this, OutputOptions, HookSink);
    OpenOutput(OutputFileName);
    ApplyNewStreamOptions(*this, OutputOptions);
}

void TFFmpeg::FinishTask()
{
    TTaskEventSink* handler;
    {
        std::lock_guard lock(stateLock_);
        Running = false;
        Terminated = true;
        Thread = nullptr;
        handler = TerminateHandler;
    }
    if (handler) handler->DoTerminate(this);
}

bool TFFmpeg::IsRunning()
{
    std::lock_guard lock(stateLock_);
    return Running;
}

bool TFFmpeg::IsTerminated()
{
    std::lock_guard lock(stateLock_);
    return Terminated;
}

void TFFmpeg::PauseWorker()
{
    std::lock_guard lock(stateLock_);
    if (!worker_ || !Running || paused_) return;
    paused_ = true;
    SetPaused(true);
}

void TFFmpeg::ResumeWorker()
{
    std::lock_guard lock(stateLock_);
    if (!paused_) return;
    paused_ = false;
    SetPaused(false);
}

bool TFFmpeg::StopIfRunning()
{
    std::lock_guard lock(stateLock_);
    if (!Running) return false;
    StopRequested = true;
    paused_ = false;
    SetPaused(false);
    return true;
}

void TFFmpeg::TerminateUnstarted()
{
    std::lock_guard lock(stateLock_);
    if (Running || Terminated || terminator_) return;
    terminator_ = std::make_unique<TDoTerminateThread>(this);
}

void TFFmpeg::ReleaseEndedWorker()
{
    std::unique_ptr<TFFmpegThread> ended;
    {
        std::lock_guard lock(stateLock_);
        if (!Terminated || !worker_ || worker_->IsCurrentThread() || !worker_->WaitEnded(0)) return;
        ended = std::move(worker_);
    }
    ended->Release();
}

// ---------------------------------------------------------------- list

TFFmpegList::TFFmpegList() = default;
TFFmpegList::~TFFmpegList() = default;

TFFmpeg* TFFmpegList::Items(int index) const
{
    return Shared(index).get();
}

std::shared_ptr<TFFmpeg> TFFmpegList::Shared(int index) const
{
    if (index < 0 || index >= Count()) throw std::out_of_range("List index out of bounds (" + std::to_string(index) + ")");
    return items_[static_cast<std::size_t>(index)];
}

int TFFmpegList::Add(std::shared_ptr<TFFmpeg> task)
{
    items_.push_back(std::move(task));
    return Count() - 1;
}

std::shared_ptr<TFFmpeg> TFFmpegList::Extract(int index)
{
    auto task = Shared(index);
    items_.erase(items_.begin() + index);
    return task;
}

std::vector<std::shared_ptr<TFFmpeg>> TFFmpegList::ExtractAll()
{
    return std::exchange(items_, {});
}

// ---------------------------------------------------------------- component

TCustomFFmpegVCL::TCustomFFmpegVCL() : probe_(std::make_unique<media::TAVProbe>())
{
    timerContext_ = new QObject;
    if (QCoreApplication* app = QCoreApplication::instance()) timerContext_->moveToThread(app->thread());
    std::lock_guard guard(ComponentsLock());
    Components().push_back(this);
}

TCustomFFmpegVCL::~TCustomFFmpegVCL()
{
    destroying_ = true;
    {
        std::lock_guard guard(ComponentsLock());
        auto& components = Components();
        components.erase(std::remove(components.begin(), components.end(), this), components.end());
    }
    {
        TEventGuard lock(eventLock_);  // an event in progress ends first
        pendingCount_ = 0;
    }
    delete timerContext_;
    for (const auto& task : TaskSnapshot()) task->StopIfRunning();
    std::vector<std::shared_ptr<TFFmpeg>> tasks;
    {
        std::lock_guard guard(ComponentsLock());
        std::lock_guard lock(tasksLock_);
        tasks = tasks_.ExtractAll();
    }
    RetireTasks(tasks);
}

void TCustomFFmpegVCL::RetireTasks(std::vector<std::shared_ptr<TFFmpeg>>& tasks)
{
    for (const auto& task : tasks) task->Retire();
    tasks.clear();
}

bool TCustomFFmpegVCL::LoadAVLib(const std::string& libraryFolder)
{
    media::FFLoader.SetLibraryPath(libraryFolder);
    if (!media::FFLoader.LoadLibs(media::EngineLibraries)) {
        lastErrMsg_ = media::FFLoader.LastErrMsg();
        return false;
    }
    av::av_log_set_callback(&EngineLogCallback);
    av::av_log_set_level(LibraryLevel(logLevel_));
    SetCachedLogLevel(av::av_log_get_level());
    return true;
}

void TCustomFFmpegVCL::ApplyLogLevelTo(TCustomFFmpeg& task)
{
    task.SetLogLevel(logLevel_);
    RefreshCachedLevel();
}

int TCustomFFmpegVCL::AddInputFile(const std::string& fileName, TInputOptions* options)
{
    auto task = std::make_shared<TFFmpeg>();
    task->LogHandler = this;
    try {
        task->ResetOptionState();
        ApplyLogLevelTo(*task);
        {
            auto lock = LockPreviewFromUi();
            task->PreviewFlags = static_cast<std::uint8_t>((preview_ ? 1 : 0) | (previewBitmap_ ? 2 : 0));
        }
        task->PreviewBitmapHandler = this;
        if (options) {
            if (options->FileName.empty()) options->FileName = fileName;
            task->InputOptions = *options;
            ApplyInputOptions(*task, task->InputOptions);
        } else {
            engine::InitInputOptions(task->InputOptions);
        }
        task->OpenInput(fileName);
        task->Probe->Attach(task->InputFiles[static_cast<std::size_t>(task->InputFileCount - 1)]);
        task->ProgressHandler = this;
        task->TerminateHandler = this;
        std::lock_guard guard(ComponentsLock());
        std::lock_guard lock(tasksLock_);
        TFFmpeg* added = task.get();
        int index = tasks_.Add(std::move(task));
        added->TaskIndex = index;
        return index;
    } catch (const std::exception& e) {
        // The refused task goes without logging into this component.
        if (task) task->LogHandler = nullptr;
        lastErrMsg_ = e.what();
    }
    return -1;
}

int TCustomFFmpegVCL::AddTask(const std::string& inputFile, TInputOptions* input, const std::string& outputFile,
                              TOutputOptions* output)
{
    const int index = AddInputFile(inputFile, input);
    if (index < 0) return -1;
    const std::shared_ptr<TFFmpeg> task = Task(index);
    task->CreateOutputFiles = false;
    const bool checked = SetOutputFile(index, outputFile, output);
    task->CreateOutputFiles = true;
    if (!checked) {
        const std::string reason = lastErrMsg_;
        RemoveTask(index);
        lastErrMsg_ = reason;
        return -1;
    }
    task->InputFileName = inputFile;
    task->OutputFileName = outputFile;
    task->HookSink = this;
    task->OpensFilesAtStart = true;
    task->Cleanup();
    return index;
}

bool TCustomFFmpegVCL::SetOutputFile(int index, const std::string& fileName, TOutputOptions* options)
{
    const std::shared_ptr<TFFmpeg> held = Task(index);
    TFFmpeg& task = *held;
    try {
        if (options) {
            if (options->FileName.empty()) options->FileName = fileName;
            task.OutputOptions = *options;
            ApplyOutputOptions(task, task.OutputOptions, this);
        } else {
            engine::InitOutputOptions(task.OutputOptions);
        }
        task.OpenOutput(fileName);
        if (options) ApplyNewStreamOptions(task, task.OutputOptions);
        return true;
    } catch (const std::exception& e) {
        lastErrMsg_ = e.what();
        return false;
    }
}

void TCustomFFmpegVCL::RemoveTask(int index)
{
    std::vector<std::shared_ptr<TFFmpeg>> removed;
    {
        // The component list lock keeps a log line in delivery from meeting a freed task.
        std::lock_guard guard(ComponentsLock());
        std::lock_guard lock(tasksLock_);
        removed.push_back(tasks_.Extract(index));
        for (int i = index; i < tasks_.Count(); ++i) tasks_.Items(i)->TaskIndex = i;
    }
    RetireTasks(removed);
}

void TCustomFFmpegVCL::ClearTasks()
{
    std::vector<std::shared_ptr<TFFmpeg>> tasks;
    {
        std::lock_guard guard(ComponentsLock());
        std::lock_guard lock(tasksLock_);
        tasks = tasks_.ExtractAll();
    }
    RetireTasks(tasks);
    lastErrMsg_.clear();
    TEventGuard lock(eventLock_);
    threadCount_ = 0;
}

int TCustomFFmpegVCL::TaskCount()
{
    std::lock_guard lock(tasksLock_);
    return tasks_.Count();
}

bool TCustomFFmpegVCL::IsKnownOption(const std::string& name)
{
    return TCustomFFmpeg::IsKnownOption(name);
}

std::shared_ptr<TFFmpeg> TCustomFFmpegVCL::Task(int index)
{
    std::lock_guard lock(tasksLock_);
    return tasks_.Shared(index);
}

bool TCustomFFmpegVCL::IsTaskRunning(int index)
{
    std::lock_guard lock(tasksLock_);
    return index >= 0 && index < tasks_.Count() && tasks_.Items(index)->IsRunning();
}

bool TCustomFFmpegVCL::IsTaskStarted(int index)
{
    std::lock_guard lock(tasksLock_);
    return index >= 0 && index < tasks_.Count() && tasks_.Items(index)->ThreadID != 0;
}

std::vector<std::shared_ptr<TFFmpeg>> TCustomFFmpegVCL::TaskSnapshot()
{
    std::lock_guard lock(tasksLock_);
    std::vector<std::shared_ptr<TFFmpeg>> result;
    for (int i = 0; i < tasks_.Count(); ++i) result.push_back(tasks_.Shared(i));
    return result;
}

int TCustomFFmpegVCL::IndexOf(TCustomFFmpeg* task)
{
    if (!task) return -1;
    std::lock_guard lock(tasksLock_);
    return static_cast<TFFmpeg*>(task)->TaskIndex;
}

void TCustomFFmpegVCL::StartConvert(int threadCount)
{
    TEventGuard lock(eventLock_);
    LogList().Clear();
    nextTaskIndex_ = 0;
    terminatedCount_ = 0;
    threadCount_ = threadCount;
    pendingCount_ = TaskCount();
    int calls = 0;
    do {
        StartNext();
        ++calls;
    } while (pendingCount_ > 0 && calls < threadCount);
}

void TCustomFFmpegVCL::StartNext()
{
    if (pendingCount_ <= 0) return;
    --pendingCount_;
    // Taken before the task runs: a task that fails to start starts the next one
    // from inside this call.
    int index = nextTaskIndex_++;
    if (threadCount_ > 0) {
        RunTask(index);
        return;
    }
    if (!QCoreApplication::instance()) {
        RunTask(index);
        return;
    }
    QObject* context = timerContext_;
    QMetaObject::invokeMethod(
        context,
        [this, context, index] { QTimer::singleShot(100, context, [this, index] { RunTask(index); }); },
        Qt::AutoConnection);
}

void TCustomFFmpegVCL::RunTask(int index)
{
    std::shared_ptr<TFFmpeg> task;
    {
        std::lock_guard lock(tasksLock_);
        if (index < 0 || index >= tasks_.Count()) return;
        task = tasks_.Shared(index);
    }
    task->ProgressIntervalUS = std::int64_t(progressInterval_) * 1000;
    // The machine's cores shared by the tasks that run at once (a synchronous batch runs
    // one). A task alone lets the libraries choose: their encoders and decoders keep more
    // threads than cores busy (frame and look-ahead threads), which is faster still.
    task->TaskThreadCount = threadCount_ <= 1 ? TCustomFFmpeg::AutomaticThreads
                                              : std::max(1, av::av_cpu_count() / threadCount_);
    ApplyLogLevelTo(*task);
    task->RemoveOutputsWhenStopped = removeStoppedOutputs_;
    for (const auto& other : TaskSnapshot())
        if (other != task) other->ReleaseEndedWorker();
    if (threadCount_ <= 0) {
        task->ThreadID = platform::CurrentThreadId();
        task->Start(false, threadPriority_);
        return;
    }
    if (TFFmpegThread* thread = task->Start(true, threadPriority_)) {
        task->ThreadID = thread->ThreadID();
        thread->Resume();
    } else {
        task->ThreadID = 0;
    }
}

void TCustomFFmpegVCL::StopConvert()
{
    {
        TEventGuard lock(eventLock_);
        pendingCount_ = 0;
    }
    for (const auto& task : TaskSnapshot())
        if (!task->StopIfRunning()) task->TerminateUnstarted();
}

void TCustomFFmpegVCL::PauseConvert()
{
    for (const auto& task : TaskSnapshot()) task->PauseWorker();
}

void TCustomFFmpegVCL::ResumeConvert()
{
    for (const auto& task : TaskSnapshot()) task->ResumeWorker();
}

void TCustomFFmpegVCL::SetLogLevel(TLogLevel level)
{
    logLevel_ = level;
    if (media::FFLoader.LibsLoaded(media::EngineLibraries)) {
        av::av_log_set_level(LibraryLevel(level));
        SetCachedLogLevel(av::av_log_get_level());
    }
}

void TCustomFFmpegVCL::SetPreviewBit(std::uint8_t bit, bool value)
{
    auto lock = LockPreviewFromUi();
    for (const auto& task : TaskSnapshot()) {
        if (value) {
            task->PreviewFlags |= bit;
        } else {
            task->PreviewFlags &= static_cast<std::uint8_t>(~bit);
            if (bit == 1) task->PreviewWindow.reset();
        }
    }
}

void TCustomFFmpegVCL::SetPreview(bool value)
{
    preview_ = value;
    SetPreviewBit(1, value);
}

void TCustomFFmpegVCL::SetPreviewBitmap(bool value)
{
    previewBitmap_ = value;
    SetPreviewBit(2, value);
}

void TCustomFFmpegVCL::SetProgressInterval(int milliseconds)
{
    progressInterval_ = milliseconds <= 100 ? 100 : milliseconds;
}

// ---------------------------------------------------------------- events

void TCustomFFmpegVCL::DoBeforeHook(TCustomFFmpeg* task, std::int64_t pts, THookAction& action)
{
    if (OnBeforeHook) OnBeforeHook(IndexOf(task), pts, action);
}

void TCustomFFmpegVCL::DoCustomHook(TCustomFFmpeg* task, media::TBitmap& bitmap, int frameNumber, std::int64_t pts,
                                    bool& update, bool& stopHook)
{
    if (OnCustomHook) OnCustomHook(IndexOf(task), bitmap, frameNumber, pts, update, stopHook);
}

void TCustomFFmpegVCL::DoLog(TCustomFFmpeg* task, TLogLevel level, const std::string& message)
{
    if (!OnLog || destroying_) return;
    TEventGuard lock(eventLock_);
    OnLog(IndexOf(task), level, message);
}

void TCustomFFmpegVCL::DoPreviewBitmap(TCustomFFmpeg* task, media::TBitmap& bitmap, int frameNumber, std::int64_t pts)
{
    if (!OnPreviewBitmap || destroying_) return;
    // Cancelled (the work never runs) when the task is freed while it waits.
    platform::RunOnUiThreadAndWait(
        [&] {
            if (!destroying_) OnPreviewBitmap(IndexOf(task), bitmap, frameNumber, pts);
        },
        static_cast<const void*>(task));
}

void TCustomFFmpegVCL::DoProgress(TCustomFFmpeg* task, int frameNumber, int fps, int currentDuration, float quality,
                                  float bitRate, std::int64_t currentSize, int totalOutputDuration)
{
    if (!OnProgress || destroying_) return;
    TEventGuard lock(eventLock_);
    OnProgress(IndexOf(task), frameNumber, fps, currentDuration, quality, bitRate, currentSize, totalOutputDuration);
}

void TCustomFFmpegVCL::DoTerminate(TCustomFFmpeg* task)
{
    if (destroying_) return;
    TEventGuard lock(eventLock_);
    if (destroying_) return;
    if (!task) {
        if (OnTerminate) OnTerminate(-1, true, false, "");
        LogList().Clear();
        return;
    }
    const std::string& outcome = task->ExceptionRaised || !task->Finished ? task->ExceptionMessage : task->DroppedTracks;
    if (OnTerminate) OnTerminate(IndexOf(task), task->Finished, task->ExceptionRaised, outcome);
    ++terminatedCount_;
    if (pendingCount_ >= 1) {
        StartNext();
    } else if (terminatedCount_ >= TaskCount()) {
        if (OnTerminate) OnTerminate(-1, true, false, "");
        LogList().Clear();
    }
}

void TCustomFFmpegVCL::DeliverLibraryLine(std::uint32_t threadId, TLogLevel level, const std::string& line)
{
    // A line of a frame stage's codec is the task's: it is delivered on the task's thread.
    if (ForwardFromStage([this, level, line] { DeliverLibraryLine(platform::CurrentThreadId(), level, line); }))
        return;
    TFFmpeg* owner = nullptr;
    {
        std::lock_guard lock(tasksLock_);
        for (int i = 0; i < tasks_.Count() && !owner; ++i)
            if (tasks_.Items(i)->ThreadID == threadId) owner = tasks_.Items(i);
    }
    DoLog(owner, level, line);
}

}  // namespace kv::engine
