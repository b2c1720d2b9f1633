#include "workflow/BatchObserver.h"

#include <QCoreApplication>
#include <QObject>

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
        RecordOutcome(AIndex, AFinished, AException, AMessage);
        HandleTerminate(AIndex, AFinished, AException);
    };
    engine.OnPreviewBitmap = [this](int, media::TBitmap& ABitmap, int, std::int64_t) { HandlePreview(ABitmap); };
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
    FTaskCount = FConverter.TaskCount();
    Attach();
    FConverter.Engine.SetPreviewBitmap(preview && PreviewAvailable(ext));
    if (FTaskCount == 0) {
        // The engine reports no end for a batch without tasks (every file was refused).
        RunState = rsTerminated;
        QCoreApplication::postEvent(FWindow, new TBatchEvent(WM_BATCH_DONE));
        return;
    }
    FConverter.StartBatch(threadCount < 1 ? 1 : threadCount);
}

void TBatchObserver::TogglePause()
{
    std::lock_guard lock(FPauseLock);
    if (RunState == rsRunning) {
        FConverter.Engine.PauseConvert();
        RunState = rsPaused;
    } else if (RunState == rsPaused) {
        FConverter.Engine.ResumeConvert();
        RunState = rsRunning;
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
        if (file < 0 || file >= FConverter.Files.Count() || !engine.Task(i).IsRunning()) continue;
        // The task is still writing it: its name is the one thing safe to read now.
        std::remove(FConverter.Files.Items(file).OutputOptions.FileName.c_str());
    }
}

void TBatchObserver::RecordOutcome(int index, bool finished, bool exception, const std::string& message)
{
    if (index < 0) return;
    const int file = FConverter.FileIndexOfTask(index);
    if (file >= 0 && file < FConverter.Files.Count()) FConverter.Files.Items(file).Reason = exception ? message : "";
    if (!finished && !exception) FConverter.Engine.Task(index).RemoveCreatedOutputs();
}

int TBatchObserver::FileIndexOfTask(int taskIndex) const
{
    return FConverter.FileIndexOfTask(taskIndex);
}

void TBatchObserver::HandleProgress(int index, int currentDuration, int totalOutputDuration)
{
    if (index < 0) return;
    CurrentIndex = index;
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
        QCoreApplication::postEvent(FWindow, new TBatchEvent(WM_BATCH_DONE));
        return;
    }
    const int file = FConverter.FileIndexOfTask(index);
    if (file < 0 || file >= FConverter.Files.Count()) return;
    FConverter.Files.Items(file).Status = finished ? 1 : exception ? 2 : 3;
}

void TBatchObserver::HandlePreview(media::TBitmap& bitmap)
{
    FrameBitmap = bitmap;
    QCoreApplication::postEvent(FWindow, new TBatchEvent(WM_PREVIEW_FRAME));
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
    if (p.TotalSec > 0 && p.Total > 0) {
        const std::int64_t percent = (event.WParam * 100 / 1000) / p.TotalSec;
        if (percent >= 0 && percent <= 100) {
            p.FilePercent = static_cast<int>(percent);
            p.BatchPercent = event.TaskIndex * 100 / p.Total + p.FilePercent / p.Total;
        }
    }
    return p;
}

}  // namespace kv::workflow
