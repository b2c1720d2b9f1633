#include "workflow/WatchState.h"

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

#include "workflow/SavedText.h"

namespace kv::workflow {

namespace {

const char* const StateHeader = "Kestravo watch 1";

bool ReadNumber(const std::string& text, std::int64_t& value)
{
    char* end = nullptr;
    value = std::strtoll(text.c_str(), &end, 10);
    return !text.empty() && end && *end == '\0';
}

}  // namespace

TFileStamp StampOf(const std::string& path)
{
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
    return {static_cast<std::int64_t>(st.st_size),
            static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

TWatchState::TWatchState(const std::string& outputFolder)
    : FPath((std::filesystem::path(outputFolder) / WatchStateName).string())
{
}

void TWatchState::Load()
{
    FRecords.clear();
    std::ifstream in(FPath, std::ios::binary);
    std::string line;
    if (!in || !std::getline(in, line) || line != StateHeader) return;
    while (std::getline(in, line)) {
        const std::vector<std::string> f = SplitFields(line);
        TWatchRecord r;
        if (f.size() != 5 || f[0].empty() || !ReadNumber(f[1], r.Stamp.Size) || !ReadNumber(f[2], r.Stamp.ModifiedNs))
            continue;
        r.Converted = f[3] == "converted";
        r.Note = f[4];
        FRecords[f[0]] = r;
    }
}

bool TWatchState::Put(const std::string& source, const TWatchRecord& record, std::string& reason)
{
    FRecords[source] = record;
    std::string text = std::string(StateHeader) + "\n";
    for (const auto& [path, r] : FRecords)
        text += JoinFields({path, std::to_string(r.Stamp.Size), std::to_string(r.Stamp.ModifiedNs),
                            r.Converted ? "converted" : "failed", r.Note});
    return WriteFileAtomically(FPath, text, reason);
}

bool TWatchState::Settled(const std::string& source, const TFileStamp& stamp) const
{
    const auto it = FRecords.find(source);
    return it != FRecords.end() && it->second.Stamp == stamp;
}

}  // namespace kv::workflow
