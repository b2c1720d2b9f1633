#include "workflow/ZelConvert.h"

#include <QCoreApplication>
#include <QThread>

#include <unistd.h>

#include <climits>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <system_error>

#include "workflow/IniOptions.h"
#include "workflow/JobBuilder.h"
#include "workflow/SourceFacts.h"

namespace kv::workflow {

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
        return -1;
    }
    if (!FProbe.OpenFile(fileName)) {
        FLastAddError = FProbe.LastError();
        return -2;
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
    file->Status = 0;
    file->Identity = platform::FileIdentityOf(fileName);
    if (size <= 0) FLastAddError = fileName + ": the file is empty";
    else if (file->DurationSec <= 0) FLastAddError = fileName + ": shorter than one second, or of no known length";
    if (!FLastAddError.empty()) return -2;
    return Files.Add(std::move(file));
}

bool TZelConvert::PrepareFile(int index, const std::string& folder, const std::string& ext, int category)
{
    TInputFile& file = Files.Items(index);
    file.Status = 0;
    file.Reason.clear();
    try {
        if (file.TrimStart != -1) file.InputOptions.StartTime = static_cast<std::int32_t>(file.TrimStart);
        file.InputOptions.ExtOptions = category == fcAudio ? "vn=1" : "";
        BuildOutput(file, folder, ext, category);

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
        file.Status = 0;
        file.Reason = i < limit ? std::string() : "Not converted: one batch converts at most " + std::to_string(limit) + " files.";
    }
    for (int i = 0; i < Files.Count() && i < limit; ++i) PrepareFile(i, folder, format.Ext, format.Category);
    return true;
}

void TZelConvert::BuildOutput(TInputFile& file, const std::string& folder, const std::string& ext, int category)
{
    engine::InitOutputOptions(file.OutputOptions);
    // Reset first, so that this file's own old name never counts as taken.
    file.OutputOptions.FileName =
        MakeOutputName(file.FileName, folder, ext, [this](const std::string& p) { return IsOutputNameUsed(p); });
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
    SetContainerOptions(ext, file.OutputOptions);
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
    return task;
}

void TZelConvert::ClearTasks()
{
    Engine.ClearTasks();
    RemovePassLogs();
    FTwoPass = false;
    std::lock_guard lock(FTaskLock);
    FTaskFiles.clear();
}

void TZelConvert::StartBatch(int threadCount)
{
    // The second pass of a file reads what its first wrote: one task at a time.
    Engine.StartConvert(FTwoPass ? 1 : threadCount);
}

bool TZelConvert::IsOutputNameUsed(const std::string& path) const
{
    for (int i = 0; i < Files.Count(); ++i)
        if (Files.Items(i).OutputOptions.FileName == path) return true;
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
