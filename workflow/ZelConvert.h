#pragma once
// The conversion controller between the windows (or the command line) and the
// engine: loads the libraries, admits files, and turns the selected profile plus
// each file's trim and aspect into one engine task per file.
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/FFmpegVCL.h"
#include "media/AVProbe.h"
#include "workflow/InputFileList.h"
#include "workflow/OutputJournal.h"
#include "workflow/OutputPlan.h"
#include "workflow/JobBuilder.h"

namespace kv::workflow {

inline constexpr const char* ApplicationTitle = "Larkspire Kestravo";

// Category of a profile: sound only, or sound and picture. Other values are neither.
enum : int { fcAudio = 0, fcVideo = 1 };

// The most files one batch converts; the files after them get no task.
inline constexpr int MaxBatchFiles = 1000;

class TZelConvert {
public:
    TZelConvert() = default;
    ~TZelConvert();
    TZelConvert(const TZelConvert&) = delete;
    TZelConvert& operator=(const TZelConvert&) = delete;

    engine::TFFmpegVCL Engine;
    TInputFileList Files;
    int FormatIndex = 0;
    // Where outputs go and what happens to a name that is taken; set before a batch.
    TOutputRules Rules;
    // When set, every output is recorded there before it is created (crash recovery).
    std::shared_ptr<TOutputJournal> Journal;

    // Loads the media libraries from "Lib" beside the executable (the system's when
    // that folder lacks them). False: show InitErrorText() and close.
    bool InitEngine();
    static std::string InitErrorText();

    // Probes the file and lists it; afAlreadyListed when the list already holds that
    // file (also through a link or another path: show AlreadyListedText), afUnsupported
    // when it cannot be opened, has no size or no known length (LastAddError then says which).
    int AddFile(const std::string& fileName);
    static std::string AlreadyListedText(const std::string& fileName);
    const std::string& LastAddError() const { return FLastAddError; }
    void RemoveFile(int index) { Files.Delete(index); }
    void ClearFiles() { Files.Clear(); }
    void SetFormatIndex(int index) { FormatIndex = index; }

    // Builds the file's records from the profile at FormatIndex of IniOptions and
    // queues its task; false when the engine refused the input or the output (the
    // file then keeps Status 0, with the engine's words in its Reason). An entry of the
    // profile that does not read raises EListError or EConvertError; the tasks queued
    // so far are then cleared. The task opens its files (and creates its output) only
    // when it starts; until then it holds no open file.
    bool PrepareFile(int index, const std::string& folder, const std::string& ext, int category);
    // The preparation of a whole batch with the profile at FormatIndex: creates the
    // output folder when it is missing (false when that fails: nothing is prepared),
    // clears every file's outcome, and prepares the first `limit` files; the files
    // after them keep Status 0 with a Reason. Raises as PrepareFile does.
    bool PrepareBatch(const std::string& folder, int limit = MaxBatchFiles);
    // Records the queued outputs in the journal, then starts the tasks, `threadCount` at a
    // time (one at a time when a file is converted in two passes).
    void StartBatch(int threadCount = 1);
    // Empties the engine's task list and forgets which file each task was; a replacing
    // file that succeeded now names its final output.
    void ClearTasks();
    // When a task ends, on its thread: puts a replacing output in place, removes what a
    // replace left unfinished and strikes the output off the journal. Returns whether
    // the file succeeded in the end; `reason` says why not when putting it in place failed.
    bool CompleteOutput(int taskIndex, bool finished, std::string& reason);
    // True when `path` leads to one of the listed sources.
    bool IsListedSource(const std::string& path) const { return Files.IndexOfSameFile(path) >= 0; }

    bool IsOutputNameUsed(const std::string& path) const;
    // List index of the file a task converts; -1 for an index of no task.
    int FileIndexOfTask(int taskIndex) const;
    int TaskCount() const;

    const media::TAVProbe& Probe() const { return FProbe; }

private:
    // Creates the (mirrored) folder an output goes into; false with the reason.
    static bool MakeOutputFolder(const std::string& output, std::string& reason);
    TOutputPlan BuildOutput(TInputFile& file, const std::string& folder, const std::string& ext, int category);
    // The bit rate of a "Size N MB" entry for the file; nothing for any other entry.
    std::optional<TSizeTarget> PlanSize(const TInputFile& file, int category) const;
    // Queues one task of the file with `output`; -1 (with the engine's words in Reason) when refused.
    int QueueTask(TInputFile& file, engine::TOutputOptions& output, int index);
    // The statistics files of a file's two passes, in the temporary folder.
    std::string PassLogPrefix(int index) const;
    void RemovePassLogs();
    bool IsStatisticsPass(int taskIndex) const;

    media::TAVProbe FProbe;
    std::string FLastAddError;
    // Task index -> list index: a refused file gets no task, so the two differ after it.
    mutable std::mutex FTaskLock;
    std::vector<int> FTaskFiles;
    std::vector<TJournalEntry> FJournalPending;  // outputs queued, not yet in the journal
    std::vector<int> FStatisticsTasks;  // first passes of "Size N MB" files (under FTaskLock)
    std::vector<std::string> FPassLogs;
    bool FTwoPass = false;
};

}  // namespace kv::workflow
