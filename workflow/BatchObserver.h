#pragma once
// The protocol of one batch between its presenter (the progress dialog, or the
// command line) and the engine: the engine's events come in on engine threads, the
// outcomes go into the file records, and posted events carry the rest to the
// presenter's thread, in posting order.
#include <QEvent>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "media/Bitmap.h"
#include "workflow/BatchSpeed.h"

class QObject;

namespace kv::workflow {

class TZelConvert;

// The platform's first private message number.
inline constexpr int WM_USER = 1024;
// The end of the batch: the presenter finishes it (FinishBatch) and closes.
inline constexpr QEvent::Type WM_BATCH_DONE = static_cast<QEvent::Type>(WM_USER + 2009);
// A preview frame is in FrameBitmap; TaskIndex and FileIndex name its file.
inline constexpr QEvent::Type WM_PREVIEW_FRAME = static_cast<QEvent::Type>(WM_USER + 2010);
// The edit dialog's player passed the end of the section it plays.
inline constexpr QEvent::Type WM_SECTION_END = static_cast<QEvent::Type>(WM_USER + 2011);
// Progress of a file: WParam converted ms, LParam total ms of its output.
inline constexpr QEvent::Type WM_BATCH_PROGRESS = static_cast<QEvent::Type>(WM_USER + 2020);

class TBatchEvent : public QEvent {
public:
    TBatchEvent(QEvent::Type type, std::int64_t wParam = 0, std::int64_t lParam = 0, int taskIndex = -1,
                int fileIndex = -1)
        : QEvent(type), WParam(wParam), LParam(lParam), TaskIndex(taskIndex), FileIndex(fileIndex)
    {
    }
    std::int64_t WParam;
    std::int64_t LParam;
    // The reporting task and its list entry (progress only): with several tasks at
    // once the observer's CurrentIndex may already name another.
    int TaskIndex;
    int FileIndex;
};

enum : std::uint8_t { rsRunning = 1, rsPaused = 2, rsTerminated = 3 };

// What a progress report shows, by the dialog's rules.
struct TBatchProgress {
    int Position = 0;        // 1-based place of the file in the batch
    int Total = 0;           // tasks in the batch
    int ConvertedSec = 0;
    int TotalSec = 0;        // the file's trimmed length, else its output's
    int FilePercent = -1;    // -1: leave the bars as they are
    int BatchPercent = -1;
};

// "%.2d:%.2d:%.2d" of a count of seconds; hours keep all their digits.
std::string TimeText(int seconds);

// One file converting now, as its own line of the presenter shows it.
struct TRunningFile {
    int TaskIndex = -1;
    int FileIndex = -1;      // its list entry
    int ConvertedSec = 0;
    int TotalSec = 0;        // the file's trimmed length, else its output's
    int Percent = 0;
};

// The whole batch at one moment, for a presenter that runs several files at once.
struct TBatchSnapshot {
    int Started = 0;                 // files started so far
    int Total = 0;                   // tasks in the batch
    int Percent = 0;                 // converted media time of all files against their whole
    std::int64_t ConvertedMs = 0;
    std::int64_t TotalMs = 0;        // media time of the batch; a file that failed or was
                                     // cancelled counts with what it converted
    std::int64_t ElapsedMs = 0;      // running time, pauses left out
    std::vector<TRunningFile> Running;  // in task order

    // "Elapsed %s   Left about %s   Speed %.1fx", or empty for the first seconds.
    std::string SpeedText() const { return workflow::SpeedText(MeasureSpeed(ElapsedMs, ConvertedMs, TotalMs)); }
};

class TBatchObserver {
public:
    // Events are posted to `window`, which must outlive the batch.
    TBatchObserver(TZelConvert& converter, QObject* window);
    // Stops a batch still running and detaches the handlers.
    virtual ~TBatchObserver();
    TBatchObserver(const TBatchObserver&) = delete;
    TBatchObserver& operator=(const TBatchObserver&) = delete;

    std::atomic<bool> Cancelled{false};
    std::atomic<std::uint8_t> RunState{rsTerminated};
    int FileCount = 0;
    media::TBitmap FrameBitmap{0, 0};
    std::atomic<int> CurrentIndex{-1};  // task index of the latest progress report

    // False for outputs that carry no picture (the preview is then off).
    static bool PreviewAvailable(const std::string& ext);

    // Attaches the handlers and starts the queued tasks, `threadCount` at a time.
    // Preview frames flow when `preview` is set and the output carries a picture
    // (a presenter that shows none spares the engine the hand-off).
    void BeginBatch(int fileCount, const std::string& ext, int threadCount = 1, bool preview = true);
    // Running <-> paused; nothing once the batch has ended.
    void TogglePause();
    // Pauses while `confirm` asks; on yes stops the batch (each file left reads
    // cancelled) and returns true; on no resumes what this call paused.
    bool CancelBatch(const std::function<bool()>& confirm);
    // On WM_BATCH_DONE, on the presenter's thread: empties the engine's task list.
    void FinishBatch();
    // For an end that cannot wait for the running files (a second interrupt, the process
    // ending): stops the batch and removes what the files still running have written,
    // so that no output is left that the outcomes do not name.
    void AbandonBatch();

    // The dialog's figures for a progress event. With several files at once,
    // Position counts the files started and BatchPercent the converted media time of
    // all files.
    TBatchProgress Progress(const TBatchEvent& event) const;
    // Every running file and the batch's figures; for the presenter's thread, at any
    // time during the batch.
    TBatchSnapshot Snapshot() const;
    // List index of the file a task converts (-1 for none).
    int FileIndexOfTask(int taskIndex) const;

protected:
    // The engine's events, on the threads the engine reports them on.
    virtual void HandleProgress(int index, int currentDuration, int totalOutputDuration);
    virtual void HandleTerminate(int index, bool finished, bool exception);
    virtual void HandlePreview(int index, media::TBitmap& bitmap);

private:
    void Attach();
    void Detach();
    void ResetFigures();
    void RecordProgress(int index, int currentDuration, int totalOutputDuration);
    void RecordEnd(int index, bool finished, bool exception);
    bool TaskStarted(int index) const;
    bool TaskEnded(int index) const;

    // What each task has done so far, written by the engine threads.
    struct TTaskFigures {
        bool Started = false;
        bool Ended = false;
        std::int64_t ConvertedMs = 0;
        std::int64_t TotalMs = 0;
        int FileIndex = -1;
        std::int64_t TrimLength = -1;  // the file's, when the batch began
    };
    // The file's Reason: the engine's message when it failed, else none.
    void RecordReason(int index, bool withMessage, const std::string& message);

    TZelConvert& FConverter;
    QObject* FWindow;
    bool FAttached = false;
    int FTaskCount = 0;
    int FThreadCount = 1;
    mutable std::mutex FPauseLock;  // pause requests from the presenter and the engine threads
    TBatchClock FClock;     // guarded by FPauseLock
    mutable std::mutex FFiguresLock;
    std::vector<TTaskFigures> FFigures;
    int FPreviewTask = -1;  // the task whose frames are shown; on the presenter's thread
};

}  // namespace kv::workflow
