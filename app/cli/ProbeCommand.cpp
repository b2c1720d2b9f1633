// kestravo-cli probe FILE...: the probe's facts of each file as "key: value" lines,
// then one line for each of its streams.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <exception>

#include "app/cli/Commands.h"
#include "app/cli/StreamLines.h"
#include "media/AVProbe.h"
#include "media/AVUtilStubs.h"

extern "C" {
#include <libavformat/avformat.h>
}

namespace kv::cli {

namespace {

void PrintNumber(const char* key, std::int64_t value)
{
    std::printf("%s: %" PRId64 "\n", key, value);
}

void PrintText(const char* key, const std::string& value)
{
    if (!value.empty()) std::printf("%s: %s\n", key, value.c_str());
}

}  // namespace

int ProbeCommand(const std::vector<std::string>& args)
{
    // It has no options: a word like one is a mistake, not a file name.
    const bool option = std::any_of(args.begin(), args.end(),
                                    [](const std::string& a) { return a.size() > 1 && a[0] == '-'; });
    if (args.empty() || option) {
        std::fprintf(stderr, "usage: kestravo-cli probe FILE...\n");
        return 2;
    }
    if (!LoadEngineLibraries()) return 1;
    // The probe's own texts are the output; the libraries' chatter is not.
    av::av_log_set_level(AV_LOG_QUIET);

    int status = 0;
    bool first = true;
    media::TAVProbe probe;
    for (const std::string& file : args) {
        try {
            if (!probe.OpenFile(file)) {
                std::fprintf(stderr, "%s\n", probe.LastError().c_str());
                status = 1;
                continue;
            }
        } catch (const std::exception& e) {
            std::fprintf(stderr, "%s\n", e.what());
            return 1;
        }
        media::TFileStreamInfo info;
        probe.GetFileStreamInfo(info);
        if (!first) std::printf("\n");
        first = false;
        PrintNumber("streams", probe.StreamCount());
        PrintNumber("programs", probe.ProgramCount());
        PrintNumber("video_streams", probe.VideoStreamCount());
        PrintNumber("audio_streams", probe.AudioStreamCount());
        PrintNumber("subtitle_streams", probe.SubtitleStreamCount());
        PrintNumber("first_video", probe.FirstVideoStream());
        PrintNumber("first_audio", probe.FirstAudioStream());
        PrintNumber("first_subtitle", probe.FirstSubtitleStream());
        PrintNumber("start_time_us", info.StartTime);
        PrintNumber("duration_us", info.Duration);
        PrintNumber("bit_rate", info.BitRate);
        PrintNumber("size", probe.GetFileSize());
        PrintText("title", info.Title);
        PrintText("author", info.Author);
        PrintText("copyright", info.Copyright);
        PrintText("comment", info.Comment);
        PrintText("album", info.Album);
        PrintText("genre", info.Genre);
        for (int i = 0; i < probe.StreamCount(); ++i)
            std::printf("%s\n", StreamLine(*probe.FormatContext(), i).c_str());
        probe.Close();
    }
    std::fflush(stdout);
    return status;
}

}  // namespace kv::cli
