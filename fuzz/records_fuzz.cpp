// The free texts of the option records: an ExtOptions text applied through an input
// record and an output record to a fresh task, and a HookRanges text parsed into the
// task's time ranges. The input is the ExtOptions text, a NUL byte, the HookRanges
// text. Every line either takes effect or raises the option language's error; the
// ranges that come out are sorted by their end and each ends at or after its start.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/FFmpeg.h"
#include "engine/FFmpegRecords.h"
#include "fuzz/FuzzSupport.h"

using namespace kv;

namespace {

void CheckRanges(const std::vector<engine::TCustomFFmpeg::TTimeRange>& ranges)
{
    for (std::size_t i = 0; i < ranges.size(); ++i) {
        fuzz::Check(ranges[i].End >= ranges[i].Start && ranges[i].End >= 0, "a range that ends before it starts");
        fuzz::Check(i == 0 || ranges[i - 1].End <= ranges[i].End, "ranges out of order");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::LoadMediaLibraries();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::size_t nul = text.find('\0');
    const std::string ext = text.substr(0, nul);
    const std::string ranges = nul == std::string::npos ? std::string() : text.substr(nul + 1);

    engine::TCustomFFmpeg task;
    task.ResetOptionState();
    engine::TInputOptions in;
    in.ExtOptions = ext;
    engine::TOutputOptions out;
    out.ExtOptions = ext;
    out.HookRanges = ranges;
    try {
        engine::ApplyInputOptions(task, in);
    } catch (const engine::FFmpegException&) {
    }
    try {
        engine::ApplyOutputOptions(task, out, nullptr);
        CheckRanges(task.TimeRanges);
    } catch (const engine::FFmpegException&) {
    }
    CheckRanges(engine::ParseHookRanges(ranges));
    task.CleanupTask();
    fuzz::QuietLibraryLog();
    return 0;
}
