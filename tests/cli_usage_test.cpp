// kestravo-cli's manners on the command line: help on request to standard output,
// the version, and the usage on standard error with status 2 for what it does not know.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/RunProgram.h"

namespace {

const std::string Cli = std::string(KV_STAGE_DIR) + "/kestravo-cli";

TEST(CliUsage, HelpAndVersionOnStandardOutput)
{
    struct TCase {
        std::vector<std::string> Args;
        std::string Shows;
    };
    const TCase cases[] = {
        {{"--help"}, "kestravo-cli convert [--profile"},
        {{"-h"}, "kestravo-cli transcode [NAME=VALUE"},
        {{"convert", "--help"}, "kestravo-cli convert [--profile"},
        {{"probe", "-h"}, "kestravo-cli probe FILE..."},
        {{"--version"}, "kestravo-cli (Larkspire Kestravo) "},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Args.front() + (c.Args.size() > 1 ? " " + c.Args[1] : ""));
        const auto run = kv::test::RunProgram(Cli, c.Args);
        EXPECT_EQ(run.Status, 0);
        EXPECT_NE(run.Out.find(c.Shows), std::string::npos) << run.Out;
        EXPECT_EQ(run.Err, "");
    }
}

TEST(CliUsage, UnknownWordsGetTheUsageOnStandardError)
{
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"--bogus"},
        {"frobnicate"},
        {"convert", "--bogus", "clip.avi"},
        {"probe", "--bogus", "clip.avi"},
        {"transcode", "-i", "clip.avi", "out.mp4"},
        {"profiles", "extra"},
    };
    for (const auto& args : cases) {
        std::string trace;
        for (const std::string& a : args) trace += a + " ";
        SCOPED_TRACE(trace);
        const auto run = kv::test::RunProgram(Cli, args);
        EXPECT_EQ(run.Status, 2);
        EXPECT_NE(run.Err.find("usage:"), std::string::npos) << run.Err;
        EXPECT_EQ(run.Out, "");
    }
}

// After the file's facts, one line per stream, as a prober gives them.
TEST(CliUsage, ProbeDescribesEveryStream)
{
    const struct {
        const char* clip;
        std::vector<std::string> streams;
    } cases[] = {
        {"mp4_h264_aac.mp4",
         {"stream 0: video, h264, 320x240, display 4:3, 25 fps, yuv420p, default",
          "stream 1: audio, aac, 44100 Hz, 2 channels (stereo), default"}},
        {"mkv_subtitle.mkv",
         {"stream 0: video, mpeg4, 320x240, display 4:3, 25 fps, yuv420p",
          "stream 1: audio, mp2, 44100 Hz, 2 channels (stereo)", "stream 2: subtitle, subrip"}},
        // Square samples of 16:15 on a PAL frame: shown as 4:3.
        {"pal_16x15.avi", {"stream 0: video, mpeg4, 720x576, display 4:3, 25 fps, yuv420p"}},
        // A WAV file names no layout.
        {"sfx_0300ms.wav", {"stream 0: audio, pcm_s16le, 22050 Hz, 1 channel"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.clip);
        const auto run = kv::test::RunProgram(Cli, {"probe", std::string(KV_TEST_MEDIA_DIR) + "/" + c.clip});
        ASSERT_EQ(run.Status, 0) << run.Err;
        std::vector<std::string> streams;
        std::size_t at = 0;
        while ((at = run.Out.find("stream ", at)) != std::string::npos) {
            const std::size_t end = run.Out.find('\n', at);
            if (at == 0 || run.Out[at - 1] == '\n') streams.push_back(run.Out.substr(at, end - at));
            at = end;
        }
        EXPECT_EQ(streams, c.streams) << run.Out;
    }
}

}  // namespace
