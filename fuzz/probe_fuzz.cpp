// The media probe on an arbitrary file: it either refuses the file with a reason or
// answers every question about it, without a crash, a leak or a hang.
#include <cstddef>
#include <cstdint>

#include "fuzz/FuzzSupport.h"
#include "media/AVProbe.h"

using namespace kv;

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::LoadMediaLibraries();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string path = fuzz::WriteScratchFile("probe_input", data, size);
    media::TAVProbe probe;
    if (!probe.OpenFile(path)) {
        fuzz::Check(!probe.LastError().empty(), "a refused file without a reason");
        fuzz::Check(probe.StreamCount() == -1 && probe.FormatContext() == nullptr,
                    "a refused file leaves a context behind");
        return 0;
    }
    fuzz::Check(probe.StreamCount() > 0, "an accepted file without streams");
    fuzz::Check(probe.VideoStreamCount() + probe.AudioStreamCount() + probe.SubtitleStreamCount() <=
                    probe.StreamCount(),
                "more streams of the three kinds than streams");
    media::TFileStreamInfo info;
    probe.GetFileStreamInfo(info);
    fuzz::Check(probe.GetFileSize() == static_cast<std::int64_t>(size), "the size is not the file's size");
    return 0;
}
