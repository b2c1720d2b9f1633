// The command-line front end as a user runs it: the staged kestravo-cli on generated
// clips, its exit status and messages, and the files it writes, opened again.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "media/AVFormatStubs.h"
#include "media/AVUtilStubs.h"
#include "tests/support/VideoConvert.h"

using namespace kv::test;
namespace fs = std::filesystem;

namespace {

struct TRun {
    int Exit = -1;
    std::string Out, Err;
};

std::string ReadFile(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// What one stream of a written file is, with its language.
struct TStream {
    AVMediaType Type;
    std::string Language;
};

std::vector<TStream> Streams(const std::string& file)
{
    std::vector<TStream> streams;
    AVFormatContext* ic = nullptr;
    if (av::avformat_open_input(&ic, file.c_str(), nullptr, nullptr) < 0) return streams;
    if (av::avformat_find_stream_info(ic, nullptr) >= 0)
        for (unsigned s = 0; s < ic->nb_streams; ++s) {
            const AVDictionaryEntry* lang = av::av_dict_get(ic->streams[s]->metadata, "language", nullptr, 0);
            streams.push_back({ic->streams[s]->codecpar->codec_type, lang ? lang->value : ""});
        }
    av::avformat_close_input(&ic);
    return streams;
}

class CommandLine : public TOutputFolderTest {
protected:
    // kestravo-cli with `args`; standard output and error are collected in files.
    TRun Run(const std::vector<std::string>& args)
    {
        const std::string cli = std::string(KV_STAGE_DIR) + "/kestravo-cli";
        std::vector<char*> argv{const_cast<char*>(cli.c_str())};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        const fs::path out = dir / "stdout.txt", err = dir / "stderr.txt";
        const pid_t pid = ::fork();
        if (pid == 0) {
            const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (o < 0 || e < 0 || ::dup2(o, 1) < 0 || ::dup2(e, 2) < 0) ::_exit(126);
            ::execv(cli.c_str(), argv.data());
            ::_exit(127);
        }
        TRun r;
        int status = 0;
        if (pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status)) r.Exit = WEXITSTATUS(status);
        r.Out = ReadFile(out);
        r.Err = ReadFile(err);
        return r;
    }
};

TEST_F(CommandLine, UnknownOptionNamesAreRefusedBeforeAnythingRuns)
{
    const std::vector<std::vector<std::string>> cases = {
        {MediaFile("avi_mpeg4_mp2.avi"), "vcodc=mpeg4", Out("a.avi")},
        {"foo=1", MediaFile("avi_mpeg4_mp2.avi"), Out("a.avi")},
        {MediaFile("avi_mpeg4_mp2.avi"), "s=176x144", "vcodc", Out("a.avi")},
    };
    const char* const names[] = {"vcodc", "foo", "vcodc"};
    for (std::size_t i = 0; i < cases.size(); ++i) {
        std::vector<std::string> args{"transcode"};
        args.insert(args.end(), cases[i].begin(), cases[i].end());
        const TRun r = Run(args);
        EXPECT_EQ(r.Exit, 2) << r.Err;
        EXPECT_EQ(r.Err, std::string("unknown option '") + names[i] + "'\n");
        EXPECT_FALSE(fs::exists(Out("a.avi")));
    }
}

// The output record applies some fields whatever they hold; the user's words win.
TEST_F(CommandLine, TheUsersWordsWinOverTheRecordsFields)
{
    const struct {
        const char* Clip;
        std::vector<std::string> Words;
        const char* Output;
        std::vector<TStream> Streams;
    } cases[] = {
        {"avi_mpeg4_mp2.avi", {"an=1"}, "a.mp4", {{AVMEDIA_TYPE_VIDEO, "und"}}},
        {"avi_mpeg4_mp2.avi", {"vn=1"}, "v.mp4", {{AVMEDIA_TYPE_AUDIO, "und"}}},
        {"mkv_subtitle.mkv", {"sn=1", "alang=fra"}, "s.mkv", {{AVMEDIA_TYPE_VIDEO, ""}, {AVMEDIA_TYPE_AUDIO, "fra"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Output);
        std::vector<std::string> args{"transcode", MediaFile(c.Clip)};
        args.insert(args.end(), c.Words.begin(), c.Words.end());
        args.push_back(Out(c.Output));
        const TRun r = Run(args);
        ASSERT_EQ(r.Exit, 0) << r.Err;
        EXPECT_EQ(r.Out, Out(c.Output) + "\n");
        const std::vector<TStream> streams = Streams(Out(c.Output));
        ASSERT_EQ(streams.size(), c.Streams.size());
        for (std::size_t i = 0; i < streams.size(); ++i) {
            EXPECT_EQ(streams[i].Type, c.Streams[i].Type) << i;
            if (!c.Streams[i].Language.empty()) {
                EXPECT_EQ(streams[i].Language, c.Streams[i].Language) << i;
            }
        }
    }

    // The pad colour, in both of its forms.
    for (const char* color : {"0xFF0000", "FF0000"}) {
        SCOPED_TRACE(color);
        const TRun r = Run({"transcode", MediaFile("avi_mpeg4_mp2.avi"), "vcodec=mpeg4", "qscale=2", "padtop=32",
                            std::string("padcolor=") + color, Out("p.avi")});
        ASSERT_EQ(r.Exit, 0) << r.Err;
        const TDecodedVideo v = DecodeVideo(Out("p.avi"), true);
        ASSERT_TRUE(v.Ok);
        EXPECT_NEAR(LumaAround(v, 0, 160, 12), 29, 3) << "blue (0x00BBGGRR)";
    }
}

TEST_F(CommandLine, ReplacedValuesAreReportedAsWarnings)
{
    const TRun r = Run({"transcode", MediaFile("mp3_tagged.mp3"), "ar=96000", Out("w.mp3")});
    ASSERT_EQ(r.Exit, 0) << r.Err;
    EXPECT_NE(r.Err.find("WARNING: libmp3lame does not take the sample rate 96000 Hz; 48000 Hz is used instead\n"),
              std::string::npos)
        << r.Err;
    AVFormatContext* ic = nullptr;
    ASSERT_GE(av::avformat_open_input(&ic, Out("w.mp3").c_str(), nullptr, nullptr), 0);
    ASSERT_GE(av::avformat_find_stream_info(ic, nullptr), 0);
    EXPECT_EQ(ic->streams[0]->codecpar->sample_rate, 48000);
    av::avformat_close_input(&ic);
}

}  // namespace
