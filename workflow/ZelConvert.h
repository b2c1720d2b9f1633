#pragma once
// The conversion controller between the windows (or the command line) and the
// engine: loads the libraries, admits files, and turns the selected profile plus
// each file's trim and aspect into one engine task per file.
#include <mutex>
#include <string>
#include <vector>

#include "engine/FFmpegVCL.h"
#include "media/AVProbe.h"
#include "workflow/InputFileList.h"

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

    // Loads the media libraries from "Lib" beside the executable (the system's when
    // that folder lacks them). False: show InitErrorText() and close.
    bool InitEngine();
    static std::string InitErrorText();

    // Probes the file and lists it; afAlreadyListed when the list already holds that
    // file (also through a link or another path), afUnsupported when it cannot be
    // opened, has no size or lasts less than a second (LastAddError then says which).
    // AddFileRefusalText gives the words for either.
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
    // Starts the queued tasks, `threadCount` at a time.
    void StartBatch(int threadCount = 1) { Engine.StartConvert(threadCount); }
    // Empties the engine's task list and forgets which file each task was.
    void ClearTasks();

    bool IsOutputNameUsed(const std::string& path) const;
    // List index of the file a task converts; -1 for an index of no task.
    int FileIndexOfTask(int taskIndex) const;
    int TaskCount() const;

    const media::TAVProbe& Probe() const { return FProbe; }

private:
    void BuildOutput(TInputFile& file, const std::string& folder, const std::string& ext, int category);

    media::TAVProbe FProbe;
    std::string FLastAddError;
    // Task index -> list index: a refused file gets no task, so the two differ after it.
    mutable std::mutex FTaskLock;
    std::vector<int> FTaskFiles;
};

}  // namespace kv::workflow
