#include "workflow/FolderFiles.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace kv::workflow {

namespace fs = std::filesystem;

namespace {

void Collect(const fs::path& folder, std::vector<std::string>& files, int depth)
{
    // A tree deeper than any real one is a loop of bind mounts.
    if (depth > 64) return;
    std::error_code ec;
    std::vector<fs::directory_entry> entries;
    for (fs::directory_iterator it(folder, fs::directory_options::skip_permission_denied, ec), end; !ec && it != end;
         it.increment(ec))
        entries.push_back(*it);
    std::sort(entries.begin(), entries.end(),
              [](const fs::directory_entry& a, const fs::directory_entry& b) { return a.path().filename() < b.path().filename(); });
    for (const fs::directory_entry& e : entries) {
        const std::string name = e.path().filename().string();
        if (name.empty() || name[0] == '.') continue;
        std::error_code sec;
        if (e.is_symlink(sec) && e.is_directory(sec)) continue;
        if (e.is_directory(sec))
            Collect(e.path(), files, depth + 1);
        else if (e.is_regular_file(sec))
            files.push_back(e.path().string());
    }
}

}  // namespace

std::vector<std::string> ListFolderFiles(const std::string& folder)
{
    std::vector<std::string> files;
    Collect(folder, files, 0);
    return files;
}

}  // namespace kv::workflow
