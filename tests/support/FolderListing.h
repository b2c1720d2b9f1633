#pragma once
// What a folder holds, as the tests compare it with what a batch should have left.
#include <algorithm>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace kvtest {

// The regular files under `folder`, as paths relative to it, sorted; files whose names
// begin with a dot (state and temporary files) are left out unless `withHidden`. A
// folder that is missing or vanishes while it is read gives what was seen.
inline std::vector<std::string> FilesUnder(const std::filesystem::path& folder, bool withHidden = true)
{
    namespace fs = std::filesystem;
    std::vector<std::string> files;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(folder, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec))
        if (it->is_regular_file() && (withHidden || it->path().filename().string()[0] != '.'))
            files.push_back(fs::relative(it->path(), folder).string());
    std::sort(files.begin(), files.end());
    return files;
}

}  // namespace kvtest
