#include "workflow/BatchObserver.h"

#include <QCoreApplication>
#include <QObject>

#include <algorithm>
#include <cstdio>

#include "workflow/JobBuilder.h"
#include "workflow/ZelConvert.h"

namespace kv::workflow {

std::string TimeText(int seconds)
{
    if (seconds < 0) seconds = 0;
    char text[32];
    std::snprintf(text, sizeof text, "%.2d:%.2d:%.2d", seconds / 3600, (seconds % 3600) / 60, seconds % 60);
    return text;
}

namespace {

// Percent of a file by the dialog's rule, in whole seconds of its length; -1 when
// that gives no sensible figure.
int FilePercentOf(std::int64_t convertedMs, int totalSec)
{
    if (totalSec <= 0) return -1;
    const std::int64_t percent = (convertedMs * 100 / 1000) / totalSec;
    return percent >= 0 && percent <= 100 ? static_cast<int>(percent) : -1;
}

int BatchPercentOf(std::int64_t convertedMs, std::int64_t totalMs)
{
    if (totalMs <= 0) return 0;
    return static_cast<int>(std::clamp<std::int64_t>(convertedMs * 100 / totalMs, 0, 100));
}

}  // namespace

TBatchObserver::TBatchObserver(TZelConvert& converter, QObject* window) : FConverter(converter), FWindow(window) {}

TBatchObserver::~TBatchObserver()
{
    if (!FAttached) return;
    if (FConverter.Engine.TaskCount() > 0) {
        // The tasks report into this object: they end before it does.
        FConverter.Engine.StopConvert();
        FConverter.ClearTasks();
    }
    Detach();
}

bool TBatchObserver::PreviewAvailable(const std::string& ext)
{
    return !IsAudioFileType(ext);
}

void TBatchObserver::Attach()
{
    engine::TFFmpegVCL& engine = FConverter.Engine;
    engine.OnProgress = [this](int AIndex, int, int, int ACurrentDuration, float, float, std::int64_t,
                               int ATotalOutputDuration) {
        HandleProgress(AIndex, ACurrentDuration, ATotalOutputDuration);
    };
    engine.OnTerminate = [this](int AIndex, bool AFinished, bool AException, const std::string& AMessage) {
        if (AIndex < 0) {
            HandleTerminate(AIndex, AFinished, AException);
            return;
        }
        // The output is settled (put in place, struck off) before the outcome is told.
        std::string placeError;
        const bool finished = FConverter.CompleteOutput(AIndex, AFinished, placeError);
        const bool failedToPlace = AFinished && !finished;
        // A finished file's message names what its output could not keep.
        RecordReason(AIndex, AException || AFinished, failedToPlace ? placeError : AMessage);
        HandleTerminate(AIndex, finished, AException || failedToPlace);
    };
    engine.OnPreviewBitmap = [this](int AIndex, media::TBitmap& ABitmap, int, std::int64_t) {
        HandlePreview(AIndex, ABitmap);
    };
    FAttached = true;
}

void TBatchObserver::Detach()
{
    engine::TFFmpegVCL& engine = FConverter.Engine;
    engine.OnProgress = nullptr;
    engine.OnTerminate = nullptr;
    engine.OnPreviewBitmap = nullptr;
    FAttached = false;
}

void TBatchObserver::BeginBatch(int fileCount, const std::string& ext, int threadCount, bool preview)
{
    RunState = rsRunning;
    Cancelled = false;
    FileCount = fileCount;
    CurrentIndex = -1;
    FPreviewTask = -1;
    FTaskCount = FConverter.TaskCount();
    FThreadCount = threadCount < 1 ? 1 : threadCount;
    ResetFigures();
    Attach();
    FConverter.Engine.SetPreviewBitmap(preview && PreviewAvailable(ext));
    // Only what succeeded stays: a cancelled file's output goes, as a failed one's does.
    FConverter.Engine.SetRemoveStoppedOutputs(true);
    if (FTaskCount == 0) {
        // The engine reports no end for a batch without tasks (every file was refused).
        RunState = rsTerminated;
        QCoreApplication::postEvent(FWindow, new TBatchEvent(WM_BATCH_DONE));
        return;
    }
    FConverter.StartBatch(FThreadCount);
}

void TBatchObserver::ResetFigures()
{
    {
        std::lock_guard lock(FFiguresLock);
        FFigures.assign(static_cast<std::size_t>(FTaskCount), TTaskFigures());
        for (int i = 0; i < FTaskCount; ++i) {
            TTaskFigures& f = FFigures[static_cast<std::size_t>(i)];
            f.FileIndex = FConverter.FileIndexOfTask(i);
            if (f.FileIndex >= 0 && f.FileIndex < FConverter.Files.Count())
                f.TrimLength = FConverter.Files.Items(f.FileIndex).TrimLength;
            // Files not started yet count with their trimmed length; an untrimmed
            // length is learned from the file's first report.
            f.TotalMs = std::max<std::int64_t>(f.TrimLength, 0);
        }
    }
    std::lock_guard lock(FPauseLock);
    FClock.Start();
}

void TBatchObserver::TogglePause()
{
    std::lock_guard lock(FPauseLock);
    if (RunState == rsRunning) {
        FConverter.Engine.PauseConvert();
        RunState = rsPaused;
        FClock.Pause();
    } else if (RunState == rsPaused) {
        FConverter.Engine.ResumeConvert();
        RunState = rsRunning;
        FClock.Resume();
    }
}

bool TBatchObserver::CancelBatch(const std::function<bool()>& confirm)
{
    const bool pausedHere = RunState == rsRunning;
    if (pausedHere) TogglePause();
    if (confirm && confirm()) {
        Cancelled = true;
        {
            std::lock_guard lock(FPauseLock);
            // Nothing left to pause or resume; the end of the batch follows.
            RunState = rsTerminated;
        }
        FConverter.Engine.StopConvert();
        return true;
    }
    if (pausedHere && RunState == rsPaused) TogglePause();
    return false;
}

void TBatchObserver::FinishBatch()
{
    FConverter.ClearTasks();
}

void TBatchObserver::AbandonBatch()
{
    {
        std::lock_guard lock(FPauseLock);
        RunState = rsTerminated;
    }
    engine::TFFmpegVCL& engine = FConverter.Engine;
    engine.StopConvert();
    for (int i = 0; i < engine.TaskCount(); ++i) {
        const int file = FConverter.FileIndexOfTask(i);
        if (file < 0 || file >= FConverter.Files.Count() || !engine.IsTaskRunning(i)) continue;
        // The task is still writing it: its name is the one thing safe to read now.
        std::remove(FConverter.Files.Items(file).OutputOptions.FileName.c_str());
    }
}

void TBatchObserver::RecordReason(int index, bool withMessage, const std::string& message)
{
    if (index < 0) return;
    const int file = FConverter.FileIndexOfTask(index);
    if (file >= 0 && file < FConverter.Files.Count()) FConverter.Files.Items(file).Reason = withMessage ? message : "";
}

int TBatchObserver::FileIndexOfTask(int taskIndex) const
{
    return FConverter.FileIndexOfTask(taskIndex);
}

void TBatchObserver::HandleProgress(int index, int currentDuration, int totalOutputDuration)
{
    if (index < 0) return;
    CurrentIndex = index;
    RecordProgress(index, currentDuration, totalOutputDuration);
    {
        // A task started after the pause was requested runs until its first report:
        // the pause holds for every file of the batch, not only the one running then.
        std::lock_guard lock(FPauseLock);
        if (RunState == rsPaused) FConverter.Engine.PauseConvert();
    }
    QCoreApplication::postEvent(FWindow, new TBatchEvent(WM_BATCH_PROGRESS, currentDuration, totalOutputDuration,
                                                         index, FConverter.FileIndexOfTask(index)));
}

void TBatchObserver::HandleTerminate(int index, bool finished, bool exception)
{
    if (index < 0) {
        // Only the end of the batch ends the run state: pause and cancel stay
        // available for the files after the first.
        RunState = rsTerminated;
        {
            std::lock_guard lock(FPauseLock);
            FClock.Pause();
        }
        QCoreApplication::postEvent(FWindow, new TBatchEvent(WM_BATCH_DONE));
        return;
    }
    RecordEnd(index, finished, exception);
    const int file = FConverter.FileIndexOfTask(index);
    if (file < 0 || file >= FConverter.Files.Count()) return;
    FConverter.Files.Items(file).Status = OutcomeOfEndedTask(finished, exception);
}

void TBatchObserver::HandlePreview(int index, media::TBitmap& bitmap)
{
    // With several files at once the picture stays with one file until it ends:
    // frames of two files in turn would only flicker.
    if (FPreviewTask >= 0 && index != FPreviewTask && !TaskEnded(FPreviewTask)) return;
    FPreviewTask = index;
    FrameBitmap = bitmap;
    QCoreApplication::postEvent(FWindow,
                                new TBatchEvent(WM_PREVIEW_FRAME, 0, 0, index, FConverter.FileIndexOfTask(index)));
}

TBatchProgress TBatchObserver::Progress(const TBatchEvent& event) const
{
    TBatchProgress p;
    p.Position = event.TaskIndex + 1;
    p.Total = FTaskCount;
    p.ConvertedSec = static_cast<int>(event.WParam / 1000);
    std::int64_t trimLength = -1;
    if (event.FileIndex >= 0 && event.FileIndex < FConverter.Files.Count())
        trimLength = FConverter.Files.Items(event.FileIndex).TrimLength;
    p.TotalSec = static_cast<int>(trimLength == -1 ? event.LParam / 1000 : trimLength / 1000);
    p.FilePercent = FilePercentOf(event.WParam, p.TotalSec);
    if (p.FilePercent >= 0 && p.Total > 0)
        p.BatchPercent = event.TaskIndex * 100 / p.Total + p.FilePercent / p.Total;
    if (FThreadCount > 1) {
        // Files overlap: the place of one file says nothing of the batch.
        const TBatchSnapshot s = Snapshot();
        p.Position = std::max(s.Started, 1);
        p.BatchPercent = s.Percent;
    }
    return p;
}

bool TBatchObserver::TaskStarted(int index) const
{
    // A task gets its worker thread when the engine starts it.
    return FConverter.Engine.IsTaskStarted(index);
}

bool TBatchObserver::TaskEnded(int index) const
{
    std::lock_guard lock(FFiguresLock);
    return index >= 0 && index < static_cast<int>(FFigures.size()) && FFigures[static_cast<std::size_t>(index)].Ended;
}

TBatchSnapshot TBatchObserver::Snapshot() const
{
    TBatchSnapshot s;
    {
        std::lock_guard lock(FPauseLock);
        s.ElapsedMs = FClock.ElapsedMs();
    }
    // Asked before the figures are locked: the engine's own locks come first.
    std::vector<bool> startedByEngine;
    for (int i = 0; i < FTaskCount; ++i) startedByEngine.push_back(TaskStarted(i));
    std::lock_guard lock(FFiguresLock);
    s.Total = static_cast<int>(FFigures.size());
    for (std::size_t i = 0; i < FFigures.size(); ++i) {
        const TTaskFigures& f = FFigures[i];
        const bool started = f.Started || (i < startedByEngine.size() && startedByEngine[i]);
        s.Started += started ? 1 : 0;
        s.ConvertedMs += f.ConvertedMs;
        s.TotalMs += f.TotalMs;
        if (!started || f.Ended) continue;
        TRunningFile r;
        r.TaskIndex = static_cast<int>(i);
        r.FileIndex = f.FileIndex;
        r.ConvertedSec = static_cast<int>(f.ConvertedMs / 1000);
        r.TotalSec = static_cast<int>(f.TotalMs / 1000);
        r.Percent = std::max(FilePercentOf(f.ConvertedMs, r.TotalSec), 0);
        s.Running.push_back(r);
    }
    s.Percent = BatchPercentOf(s.ConvertedMs, s.TotalMs);
    return s;
}

void TBatchObserver::RecordProgress(int index, int currentDuration, int totalOutputDuration)
{
    std::lock_guard lock(FFiguresLock);
    if (index >= static_cast<int>(FFigures.size())) return;
    TTaskFigures& f = FFigures[static_cast<std::size_t>(index)];
    f.Started = true;
    f.ConvertedMs = std::max<std::int64_t>(f.ConvertedMs, currentDuration);
    if (f.TrimLength > 0)
        f.ConvertedMs = std::min(f.ConvertedMs, f.TotalMs);
    else
        f.TotalMs = std::max<std::int64_t>(totalOutputDuration, f.ConvertedMs);
}

void TBatchObserver::RecordEnd(int index, bool finished, bool exception)
{
    // A file cancelled before it ran was never started.
    const bool started = finished || exception || TaskStarted(index);
    std::lock_guard lock(FFiguresLock);
    if (index >= static_cast<int>(FFigures.size())) return;
    TTaskFigures& f = FFigures[static_cast<std::size_t>(index)];
    if (started) f.Started = true;
    f.Ended = true;
    // Nothing of the file is left to convert: done in full, or given up where it stood.
    if (finished)
        f.ConvertedMs = f.TotalMs;
    else
        f.TotalMs = f.ConvertedMs;
}

}  // namespace kv::workflow
