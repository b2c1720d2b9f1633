#include "workflow/SavedList.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>
#include <unordered_map>

#include "engine/FFmpegRecords.h"
#include "workflow/FileOutcome.h"
#include "workflow/SavedText.h"

namespace kv::workflow {

namespace {

const char* const ListHeader = "Kestravo list 1";
// A list saved before the track choices has only the first ten fields.
constexpr std::size_t OldListFieldCount = 10;
constexpr std::size_t ListFieldCount = 12;

bool ReadNumber(const std::string& text, std::int64_t& value)
{
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtoll(text.c_str(), &end, 10);
    return errno == 0 && end && *end == '\0';
}

// The outcome a restored file keeps.
std::int32_t KeptStatus(std::int32_t status)
{
    return status == foSucceeded || status == foInterrupted ? status : foNotConverted;
}

std::unique_ptr<TInputFile> FileOf(const std::vector<std::string>& f)
{
    std::int64_t size, seconds, trimStart, trimLength, aspect, status, sound = -1, subtitle = -1;
    if (f.size() == ListFieldCount &&
        (!ReadNumber(f[10], sound) || !ReadNumber(f[11], subtitle) || sound < -1 || sound > INT32_MAX ||
         subtitle < -1 || subtitle > INT32_MAX))
        return nullptr;
    if ((f.size() != ListFieldCount && f.size() != OldListFieldCount) || f[0].empty() || !ReadNumber(f[2], size) || !ReadNumber(f[3], seconds) ||
        !ReadNumber(f[4], trimStart) || !ReadNumber(f[5], trimLength) || !ReadNumber(f[6], aspect) ||
        !ReadNumber(f[7], status))
        return nullptr;
    if (size <= 0 || size > INT32_MAX || seconds <= 0 || seconds > INT32_MAX || trimStart < -1 || trimLength < 0 ||
        aspect < 0 || aspect > 4)
        return nullptr;
    auto file = std::make_unique<TInputFile>();
    file->FileName = f[0];
    file->FileExt = f[1];
    file->FileSize = static_cast<std::int32_t>(size);
    file->DurationSec = static_cast<std::int32_t>(seconds);
    file->TrimStart = trimStart;
    file->TrimLength = trimLength;
    file->AspectIndex = static_cast<std::int32_t>(aspect);
    file->SoundTrack = static_cast<std::int32_t>(sound);
    file->BurntSubtitle = static_cast<std::int32_t>(subtitle);
    engine::InitInputOptions(file->InputOptions);
    file->InputOptions.FileName = file->FileName;
    file->Status = KeptStatus(static_cast<std::int32_t>(status));
    if (file->Status == foSucceeded) file->OutputOptions.FileName = f[8];
    file->BaseFolder = f[9];
    return file;
}

}  // namespace

std::string ListText(const TInputFileList& files)
{
    std::string text = std::string(ListHeader) + "\n";
    for (int i = 0; i < files.Count(); ++i) {
        const TInputFile& f = files.Items(i);
        const std::int32_t status = KeptStatus(f.Status);
        text += JoinFields({f.FileName, f.FileExt, std::to_string(f.FileSize), std::to_string(f.DurationSec),
                            std::to_string(f.TrimStart), std::to_string(f.TrimLength), std::to_string(f.AspectIndex),
                            std::to_string(status), status == foSucceeded ? f.OutputOptions.FileName : std::string(),
                            f.BaseFolder, std::to_string(f.SoundTrack), std::to_string(f.BurntSubtitle)});
    }
    return text;
}

int ReadListText(const std::string& text, TInputFileList& files)
{
    std::istringstream in(text);
    std::string line;
    if (!std::getline(in, line) || line != ListHeader) return 0;
    int restored = 0;
    while (std::getline(in, line)) {
        std::unique_ptr<TInputFile> file = FileOf(SplitFields(line));
        if (!file) continue;
        // A source deleted or moved since cannot be converted; the list forgets it.
        file->Identity = platform::FileIdentityOf(file->FileName);
        if (!file->Identity.Known) continue;
        files.Add(std::move(file));
        ++restored;
    }
    return restored;
}

void ApplyRecovery(const TJournalRecovery& recovery, TInputFileList& files)
{
    std::unordered_map<std::string, int> bySource;
    for (int i = 0; i < files.Count(); ++i) bySource.emplace(files.Items(i).FileName, i);
    for (const TJournalEntry& e : recovery.Completed) {
        const auto it = bySource.find(e.Source);
        if (it == bySource.end()) continue;
        TInputFile& file = files.Items(it->second);
        file.Status = foSucceeded;
        file.OutputOptions.FileName = e.Output;
    }
    for (const TJournalEntry& e : recovery.Interrupted) {
        const auto it = bySource.find(e.Source);
        if (it == bySource.end()) continue;
        TInputFile& file = files.Items(it->second);
        file.Status = foInterrupted;
        file.OutputOptions.FileName.clear();
    }
}

TSavedList::TSavedList(const std::string& folder)
    : Journal(std::make_shared<TOutputJournal>((std::filesystem::path(folder) / JournalName).string())),
      FListPath((std::filesystem::path(folder) / SavedListName).string())
{
}

int TSavedList::Restore(TInputFileList& files)
{
    std::ifstream in(FListPath, std::ios::binary);
    std::string text;
    if (in) {
        std::ostringstream all;
        all << in.rdbuf();
        text = all.str();
    }
    const int restored = ReadListText(text, files);
    FWritten = text;
    Recovered = Journal->Recover();
    ApplyRecovery(Recovered, files);
    Save(files);
    return restored;
}

bool TSavedList::Save(const TInputFileList& files)
{
    std::string text = ListText(files);
    if (text == FWritten) return true;
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(FListPath).parent_path(), ec);
    if (!WriteFileAtomically(FListPath, text, LastError)) return false;
    FWritten = std::move(text);
    return true;
}

}  // namespace kv::workflow
