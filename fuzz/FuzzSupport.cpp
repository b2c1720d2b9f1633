#include "fuzz/FuzzSupport.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "media/AVUtilStubs.h"
#include "media/FFmpegLoader.h"

namespace kv::fuzz {

namespace {

void DiscardLibraryLine(void*, int, const char*, va_list) {}

// Created on first use, removed with its files when the process ends normally.
struct TScratchFolder {
    std::string Path;
    TScratchFolder()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "kv_fuzz_XXXXXX").string();
        if (!::mkdtemp(pattern.data())) Broken("cannot create a scratch folder");
        Path = pattern + "/";
    }
    ~TScratchFolder()
    {
        std::error_code ec;
        std::filesystem::remove_all(Path, ec);
    }
};

}  // namespace

void LoadMediaLibraries()
{
    if (!media::FFLoader.LoadLibs(media::EngineLibraries)) {
        std::fprintf(stderr, "cannot load the media libraries: %s\n", media::FFLoader.LastErrMsg().c_str());
        std::exit(1);
    }
    av::av_log_set_callback(DiscardLibraryLine);
    QuietLibraryLog();
}

void QuietLibraryLog()
{
    av::av_log_set_level(AV_LOG_QUIET);
}

const std::string& ScratchFolder()
{
    static const TScratchFolder folder;
    return folder.Path;
}

std::string ScratchPath(const std::string& name)
{
    return ScratchFolder() + name;
}

std::string WriteScratchFile(const std::string& name, const std::uint8_t* data, std::size_t size)
{
    const std::string path = ScratchPath(name);
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) Broken("cannot create " + path);
    const bool ok = size == 0 || std::fwrite(data, 1, size, f) == size;
    if (std::fclose(f) != 0 || !ok) Broken("cannot write " + path);
    return path;
}

std::string ReadWholeFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void Broken(const std::string& what)
{
    std::fprintf(stderr, "FINDING: %s\n", what.c_str());
    std::abort();
}

}  // namespace kv::fuzz
