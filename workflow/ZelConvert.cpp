#include "workflow/ZelConvert.h"

#include <QCoreApplication>
#include <QThread>

#include <climits>
#include <filesystem>
#include <memory>
#include <system_error>

#include "workflow/IniOptions.h"
#include "workflow/JobBuilder.h"

namespace kv::workflow {

TZelConvert::~TZelConvert()
{
    // Tasks first: their threads report into the file records.
    Engine.OnProgress = nullptr;
    Engine.OnTerminate = nullptr;
    Engine.OnPreviewBitmap = nullptr;
    Engine.StopConvert();
    Engine.ClearTasks();
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
    if (size <= 0) FLastAddError = fileName + ": the file is empty";
    else if (file->DurationSec <= 0) FLastAddError = fileName + ": shorter than one second, or of no known length";
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
        BuildOutput(file, folder, ext, category);

        const int task = Engine.AddTask(file.InputOptions.FileName, &file.InputOptions, file.OutputOptions.FileName,
                                        &file.OutputOptions);
        if (task < 0) {
            file.Reason = Engine.LastErrMsg();
            return false;
        }
        std::lock_guard lock(FTaskLock);
        if (static_cast<int>(FTaskFiles.size()) <= task) FTaskFiles.resize(static_cast<std::size_t>(task) + 1, -1);
        FTaskFiles[static_cast<std::size_t>(task)] = index;
        return true;
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
    SetAudioOptions(format, file.OutputOptions);
    if (category == fcVideo) {
        SetVideoOptions(format, file.AspectIndex, file.OutputOptions);
        // Keeps the window painting while a long list is prepared.
        if (QCoreApplication::instance() && QThread::currentThread() == QCoreApplication::instance()->thread())
            QCoreApplication::processEvents();
    }
}

void TZelConvert::ClearTasks()
{
    Engine.ClearTasks();
    std::lock_guard lock(FTaskLock);
    FTaskFiles.clear();
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
