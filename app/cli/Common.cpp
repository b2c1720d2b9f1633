#include <unistd.h>

#include <cstdio>
#include <exception>
#include <vector>

#include "app/cli/Commands.h"
#include "media/FFmpegLoader.h"
#include "workflow/AppPaths.h"
#include "workflow/IniOptions.h"
#include "workflow/UserSettings.h"

namespace kv::cli {

std::string ExecutableFolder()
{
    std::vector<char> buf(4096);
    const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size() - 1);
    if (n <= 0) return ".";
    std::string path(buf.data(), static_cast<std::size_t>(n));
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

bool LoadEngineLibraries()
{
    using namespace kv::media;
    std::string folder = ExecutableFolder();
    if (folder.back() != '/') folder += '/';
    FFLoader.SetLibraryPath(folder + "Lib");
    if (FFLoader.LoadLibs(EngineLibraries)) return true;
    std::fprintf(stderr, "%s\n", FFLoader.LastErrMsg().c_str());
    return false;
}

bool LoadSettings()
{
    try {
        workflow::PrepareSettingsFile();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return false;
    }
    const std::string file = workflow::SettingsFilePath();
    try {
        workflow::IniOptions.LoadFromFile(file);
        return true;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", file.c_str(), e.what());
        return false;
    }
}

}  // namespace kv::cli
