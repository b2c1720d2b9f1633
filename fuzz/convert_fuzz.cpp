// A whole conversion of an arbitrary file into a small MPEG-4 and MP2 file (64 x 48 at
// 25 pictures a second, five minutes at most), the way
// the engine component runs a task: the option records applied, the input opened and
// probed, the output opened, the transcode run, everything closed. It must end by
// itself with success or a reason; a success must leave a file that opens again.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <exception>

#include "engine/FFmpeg.h"
#include "engine/FFmpegRecords.h"
#include "fuzz/FuzzSupport.h"
#include "media/AVProbe.h"

using namespace kv;

namespace {

engine::TOutputOptions SmallOutput()
{
    engine::TOutputOptions o;
    o.FrameSize = "64x48";
    // A file may claim hours through its time stamps, which the frame-rate sync fills
    // with copies; a bounded output keeps the hang detection for loops that never end.
    o.FrameRate = "25";
    o.DurationUS = 300000000;
    o.VideoCodec = "mpeg4";
    o.VideoBitrate = 64000;
    o.AudioCodec = "mp2";
    o.AudioSampleRate = 22050;
    o.AudioChannels = 1;
    o.AudioBitrate = 32000;
    o.DisableSubtitle = true;
    return o;
}

// The outcome of one conversion: empty when it finished, else the reason it did not.
std::string Convert(const std::string& input, const std::string& output)
{
    engine::TCustomFFmpeg task;
    task.ResetOptionState();
    task.SetLogLevel(engine::llQuiet);
    fuzz::QuietLibraryLog();
    std::string failure;
    try {
        engine::TInputOptions in;
        engine::ApplyInputOptions(task, in);
        if (!task.OpenInputFile(input)) {
            failure = task.LastErrorMessage.empty() ? "?" : task.LastErrorMessage;
        } else {
            media::TAVProbe probe;
            probe.Attach(task.InputFiles[0]);
            media::TFileStreamInfo info;
            probe.GetFileStreamInfo(info);
            probe.Attach(nullptr);
            const engine::TOutputOptions out = SmallOutput();
            engine::ApplyOutputOptions(task, out, nullptr);
            if (task.OpenOutputFile(output) < 0) {
                failure = task.LastErrorMessage.empty() ? "?" : task.LastErrorMessage;
            } else {
                engine::ApplyNewStreamOptions(task, out);
                task.Transcode();
                if (!task.Finished) failure = "not finished";
            }
        }
    } catch (const std::exception& e) {
        failure = *e.what() ? e.what() : "?";
    }
    task.CloseOpenCodecs();
    task.CleanupTask();
    return failure;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::LoadMediaLibraries();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string input = fuzz::WriteScratchFile("convert_input", data, size);
    const std::string output = fuzz::ScratchPath("convert_output.avi");
    std::remove(output.c_str());
    if (!Convert(input, output).empty()) return 0;
    media::TAVProbe probe;
    fuzz::Check(probe.OpenFile(output), "a finished conversion whose output does not open: " + probe.LastError());
    return 0;
}
