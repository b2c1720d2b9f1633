#include "workflow/ZelConvert.h"

#include <QCoreApplication>
#include <QThread>

#include <unistd.h>

#include <climits>
#include <cstdio>
#include <filesystem>
#include <algorithm>
#include <memory>
#include <system_error>

#include "workflow/FileOutcome.h"
#include "workflow/IniOptions.h"
#include "workflow/JobBuilder.h"
#include "workflow/SourceFacts.h"

extern "C" {
#include <libavformat/avformat.h>
}

namespace kv::workflow {

namespace {

bool HasPictureStream(const media::TAVProbe& probe)
{
    const AVFormatContext* context = probe.FormatContext();
    if (!context) return false;
    for (unsigned i = 0; i < context->nb_streams; ++i) {
        const AVStream* st = context->streams[i];
        if (st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && !(st->disposition & AV_DISPOSITION_ATTACHED_PIC))
            return true;
    }
    return false;
}

}  // namespace

TZelConvert::~TZelConvert()
{
    // Tasks first: their threads report into the file records.
    Engine.OnProgress = nullptr;
    Engine.OnTerminate = nullptr;
    Engine.OnPreviewBitmap = nullptr;
    Engine.StopConvert();
    Engine.ClearTasks();
    RemovePassLogs();
}

bool TZelConvert::InitEngine()
{
    return Engine.LoadAVLib(ExeFolder() + "Lib");
}

std::string TZelConvert::InitErrorText()
{
    return std::string("Please reinstall ") + ApplicationTitle + ".";
}

std::string TZelConvert::AlreadyListedText(const std::string& fileName)
{
    std::error_code ec;
    const std::filesystem::path full = std::filesystem::absolute(fileName, ec);
    return "\"" + (ec ? fileName : full.string()) + "\" is already existing.";
}

int TZelConvert::AddFile(const std::string& fileName)
{
    FLastAddError.clear();
    // Listed twice, a file would be converted twice, into two names.
    if (Files.IndexOfSameFile(fileName) >= 0) {
        FLastAddError = AlreadyListedText(fileName);
        return afAlreadyListed;
    }
    if (!FProbe.OpenFile(fileName)) {
        FLastAddError = FProbe.LastError();
        return afUnsupported;
    }
    media::TFileStreamInfo info;
    FProbe.GetFileStreamInfo(info);
    const std::int64_t size = FProbe.GetFileSize();

    auto file = std::make_unique<TInputFile>();
    engine::InitInputOptions(file->InputOptions);
    file->InputOptions.FileName = fileName;
    file->FileName = fileName;
    file->FileExt = ExtNoDot(fileName);
    // Admitted on the real size: the record's 32-bit field would make a file of
    // 2 GiB and more look empty.
    file->FileSize = static_cast<std::int32_t>(size > INT32_MAX ? INT32_MAX : size);
    file->DurationSec = static_cast<std::int32_t>(info.Duration / 1000000);
    file->TrimLength = info.Duration / 1000;
    file->TrimStart = -1;
    file->AspectIndex = 0;
    file->Status = foNotConverted;
    file->Identity = platform::FileIdentityOf(fileName);
    file->HasPicture = HasPictureStream(FProbe);
    // A sound effect of a third of a second converts as well as a film does.
    if (size <= 0) FLastAddError = fileName + ": the file is empty";
    else if (info.Duration <= 0) FLastAddError = fileName + ": of no known length";
    if (!FLastAddError.empty()) return afUnsupported;
    return Files.Add(std::move(file));
}

bool TZelConvert::PrepareFile(int index, const std::string& folder, const std::string& ext, int category)
{
    TInputFile& file = Files.Items(index);
    file.Status = foNotConverted;
    file.Reason.clear();
    try {
        if (file.TrimStart != -1) file.InputOptions.StartTime = static_cast<std::int32_t>(file.TrimStart);
        file.InputOptions.ExtOptions = category == fcAudio ? "vn=1" : "";
        const TOutputPlan plan = BuildOutput(file, folder, ext, category);
        if (plan.Skip) {
            file.Status = foSkipped;
            return false;
        }
        if (!plan.Refusal.empty()) {
            file.Status = foFailed;
            file.Reason = plan.Refusal;
            return false;
        }
        if (!MakeOutputFolder(plan.Final, file.Reason)) {
            file.Status = foFailed;
            return false;
        }

        const std::optional<TSizeTarget> size = PlanSize(file, category);
        if (size && !size->Failure.empty()) {
            file.Reason = size->Failure;
            return false;
        }
        if (size) {
            // Two passes: the first only measures the picture (nothing is written but its
            // statistics), the second spends the bits where the first found them needed.
            const std::string log = PassLogPrefix(index);
            FPassLogs.push_back(log);
            file.OutputOptions.VideoBitrate = static_cast<std::int32_t>(size->VideoBitRate);
            engine::TOutputOptions first = file.OutputOptions;
            first.ForceFormat = "null";
            first.FileName = log + ".null";
            first.ExtOptions += "\npass=1\npasslogfile=" + log;
            file.OutputOptions.ExtOptions += "\npass=2\npasslogfile=" + log;
            if (QueueTask(file, first, index) < 0) return false;
            FTwoPass = true;
            if (QueueTask(file, file.OutputOptions, index) < 0) return false;
            file.Reason = size->Note;
            return true;
        }
        return QueueTask(file, file.OutputOptions, index) >= 0;
    } catch (...) {
        // A half-queued batch must not start with the next Convert.
        ClearTasks();
        throw;
    }
}

bool TZelConvert::PrepareBatch(const std::string& folder, int limit)
{
    std::error_code ec;
    if (!std::filesystem::is_directory(folder, ec) && !std::filesystem::create_directory(folder, ec)) return false;
    const TFormatRec format = IniOptions.GetFormat(FormatIndex);
    for (int i = 0; i < Files.Count(); ++i) {
        TInputFile& file = Files.Items(i);
        file.Status = foNotConverted;
        file.Reason = i < limit ? std::string() : "Not converted: one batch converts at most " + std::to_string(limit) + " files.";
    }
    for (int i = 0; i < Files.Count() && i < limit; ++i) PrepareFile(i, folder, format.Ext, format.Category);
    return true;
}

TOutputPlan TZelConvert::BuildOutput(TInputFile& file, const std::string& folder, const std::string& ext, int category)
{
    engine::InitOutputOptions(file.OutputOptions);
    file.ReplaceTarget.clear();
    // Reset first, so that this file's own old name never counts as taken.
    const TOutputPlan plan = PlanOutput(
        file.FileName, OutputFolderOf(file.FileName, file.BaseFolder, folder, Rules.KeepFolders), ext, Rules.IfExists,
        [this](const std::string& p) { return IsOutputNameUsed(p); },
        [this](const std::string& p) { return IsListedSource(p); });
    file.OutputOptions.FileName = plan.Write;
    if (plan.Write != plan.Final && !plan.Skip) file.ReplaceTarget = plan.Final;
    file.OutputOptions.FileExt = ext;
    file.OutputOptions.TimeStamp = 0;
    if (IsAudioFileType(ext)) file.OutputOptions.DisableVideo = true;
    file.OutputOptions.Duration = static_cast<std::int32_t>(file.TrimLength);
    const TFormatRec format = IniOptions.GetFormat(FormatIndex);
    // Only profiles whose entries follow the source open it once more.
    const TSourceFacts source = NeedsSourceFacts(format) ? ReadSourceFacts(file.FileName) : TSourceFacts{};
    SetAudioOptions(format, source, file.OutputOptions);
    if (category == fcVideo) {
        SetVideoOptions(format, file.AspectIndex, source, file.OutputOptions);
        // Keeps the window painting while a long list is prepared.
        if (QCoreApplication::instance() && QThread::currentThread() == QCoreApplication::instance()->thread())
            QCoreApplication::processEvents();
    }
    SetTrackOptions(file.SoundTrack, category == fcVideo ? file.BurntSubtitle : -1, file.OutputOptions);
    SetContainerOptions(ext, file.OutputOptions);
    return plan;
}

void TZelConvert::StartBatch(int threadCount)
{
    // Recorded before any task can create its output.
    if (Journal && !Journal->Record(FJournalPending))
        std::fprintf(stderr, "kestravo: outputs not recorded for recovery: %s\n", Journal->LastError().c_str());
    FJournalPending.clear();
    // The second pass of a file reads what its first wrote: one task at a time.
    Engine.StartConvert(FTwoPass ? 1 : threadCount);
}

bool TZelConvert::CompleteOutput(int taskIndex, bool finished, std::string& reason)
{
    const int index = FileIndexOfTask(taskIndex);
    if (index < 0 || index >= Files.Count() || IsStatisticsPass(taskIndex)) return finished;
    const TInputFile& file = Files.Items(index);
    const std::string& written = file.OutputOptions.FileName;
    bool succeeded = finished;
    if (!file.ReplaceTarget.empty()) {
        // The old file goes only for a complete new one; an unfinished one is only ours.
        if (finished)
            succeeded = PutInPlace(written, file.ReplaceTarget, reason);
        else
            std::remove(written.c_str());
    }
    if (Journal) {
        const std::string& final = file.ReplaceTarget.empty() ? written : file.ReplaceTarget;
        Journal->StrikeOff(written, succeeded, succeeded ? final : std::string());
    }
    return succeeded;
}

std::optional<TSizeTarget> TZelConvert::PlanSize(const TInputFile& file, int category) const
{
    if (category != fcVideo || file.OutputOptions.VideoCodec == "copy") return std::nullopt;
    const TFormatRec format = IniOptions.GetFormat(FormatIndex);
    const TSourceFacts source = ReadSourceFacts(file.FileName);
    TFrameSize size = KeepSize(source);
    std::sscanf(file.OutputOptions.FrameSize.c_str(), "%d*%d", &size.Width, &size.Height);
    // A copied or quality-driven sound has no bit rate of its own here: count a generous one.
    const int audio = file.OutputOptions.DisableAudio || source.AudioCodecId == 0 ? 0
                      : file.OutputOptions.AudioBitrate > 0                      ? file.OutputOptions.AudioBitrate
                                                                                 : 192000;
    return SizeTarget(format, file.TrimLength, audio, size, source);
}

std::string TZelConvert::PassLogPrefix(int index) const
{
    return (std::filesystem::temp_directory_path() /
            ("kestravo-" + std::to_string(::getpid()) + "-" + std::to_string(index) + "-2pass"))
        .string();
}

void TZelConvert::RemovePassLogs()
{
    std::error_code ec;
    const std::filesystem::path folder = std::filesystem::temp_directory_path(ec);
    if (ec) return;
    for (const std::string& prefix : FPassLogs) {
        const std::string name = std::filesystem::path(prefix).filename().string();
        for (const auto& entry : std::filesystem::directory_iterator(folder, ec))
            if (entry.path().filename().string().rfind(name, 0) == 0) std::filesystem::remove(entry.path(), ec);
    }
    FPassLogs.clear();
}

int TZelConvert::QueueTask(TInputFile& file, engine::TOutputOptions& output, int index)
{
    const int task = Engine.AddTask(file.InputOptions.FileName, &file.InputOptions, output.FileName, &output);
    if (task < 0) {
        file.Reason = Engine.LastErrMsg();
        return -1;
    }
    std::lock_guard lock(FTaskLock);
    if (static_cast<int>(FTaskFiles.size()) <= task) FTaskFiles.resize(static_cast<std::size_t>(task) + 1, -1);
    FTaskFiles[static_cast<std::size_t>(task)] = index;
    // A first pass writes only statistics: nothing for the journal, nothing to put in place.
    if (output.ForceFormat == "null")
        FStatisticsTasks.push_back(task);
    else
        FJournalPending.push_back({output.FileName, file.FileName});
    return task;
}

void TZelConvert::ClearTasks()
{
    Engine.ClearTasks();
    RemovePassLogs();
    FTwoPass = false;
    {
        std::lock_guard lock(FTaskLock);
        FTaskFiles.clear();
        FStatisticsTasks.clear();
    }
    FJournalPending.clear();
    // No task is left to write the records: a replace that succeeded now names its result.
    for (int i = 0; i < Files.Count(); ++i) {
        TInputFile& file = Files.Items(i);
        if (file.ReplaceTarget.empty()) continue;
        if (file.Status == foSucceeded) file.OutputOptions.FileName = file.ReplaceTarget;
        file.ReplaceTarget.clear();
    }
    if (Journal) Journal->CloseIfDone();
}

bool TZelConvert::MakeOutputFolder(const std::string& output, std::string& reason)
{
    const std::filesystem::path dir = std::filesystem::path(output).parent_path();
    std::error_code ec;
    if (dir.empty() || std::filesystem::is_directory(dir, ec)) return true;
    if (std::filesystem::create_directories(dir, ec) || std::filesystem::is_directory(dir, ec)) return true;
    reason = "Could not create the folder '" + dir.string() + "': " + ec.message();
    return false;
}

bool TZelConvert::IsStatisticsPass(int taskIndex) const
{
    std::lock_guard lock(FTaskLock);
    return std::find(FStatisticsTasks.begin(), FStatisticsTasks.end(), taskIndex) != FStatisticsTasks.end();
}

bool TZelConvert::IsOutputNameUsed(const std::string& path) const
{
    for (int i = 0; i < Files.Count(); ++i) {
        const TInputFile& file = Files.Items(i);
        if (file.OutputOptions.FileName == path || file.ReplaceTarget == path) return true;
    }
    return false;
}

int TZelConvert::FileIndexOfTask(int taskIndex) const
{
    std::lock_guard lock(FTaskLock);
    if (taskIndex < 0 || taskIndex >= static_cast<int>(FTaskFiles.size())) return -1;
    return FTaskFiles[static_cast<std::size_t>(taskIndex)];
}

int TZelConvert::TaskCount() const
{
    std::lock_guard lock(FTaskLock);
    return static_cast<int>(FTaskFiles.size());
}

}  // namespace kv::workflow
