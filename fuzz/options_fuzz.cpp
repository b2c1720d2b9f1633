// The option dispatcher with arbitrary names and values on a fresh task state. The
// input is a list of texts separated by NUL bytes, read as name, value, name, value.
// Every option either takes effect or raises the option language's error.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/FFmpeg.h"
#include "fuzz/FuzzSupport.h"

using namespace kv;

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::LoadMediaLibraries();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::vector<std::string> texts(1);
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0)
            texts.emplace_back();
        else
            texts.back() += static_cast<char>(data[i]);
    }
    engine::TCustomFFmpeg task;
    task.ResetOptionState();
    fuzz::Check(task.OptionContext != nullptr, "a fresh task without its option holder");
    for (std::size_t i = 0; i < texts.size(); i += 2) {
        try {
            task.SetOption(texts[i], i + 1 < texts.size() ? texts[i + 1] : std::string());
        } catch (const engine::FFmpegException&) {
        }
    }
    task.CleanupTask();
    fuzz::QuietLibraryLog();
    return 0;
}
