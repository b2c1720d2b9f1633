#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "media/AVCodecStubs.h"
#include "media/AVFormatStubs.h"
#include "media/MyUtils.h"
#include "media/AVProbe.h"
#include "media/AVUtilStubs.h"
#include "media/FFmpegLoader.h"

using namespace kv::media;

namespace {

const std::string MediaDir = std::string(KV_TEST_MEDIA_DIR) + "/";

class ProbeTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        ASSERT_TRUE(FFLoader.LoadLibs(EngineLibraries)) << FFLoader.LastErrMsg();
        av::av_log_set_level(AV_LOG_QUIET);
    }
};

struct ClipFacts {
    const char* name;
    int streams, programs, video, audio, subtitles, firstVideo, firstAudio, firstSubtitle;
    std::int64_t minDuration, maxDuration;  // microseconds
    const char* title;
    const char* author;
    const char* album;
};

TEST_F(ProbeTest, GeneratedClipsReportTheirStreamsDurationAndTags)
{
    const ClipFacts clips[] = {
        {"avi_mpeg4_mp2.avi", 2, 0, 1, 1, 0, 0, 1, -1, 1950000, 2100000, "", "", ""},
        {"mp4_h264_aac.mp4", 2, 0, 1, 1, 0, 0, 1, -1, 1950000, 2100000, "", "", ""},
        {"mkv_subtitle.mkv", 3, 0, 1, 1, 1, 0, 1, 2, 1950000, 2100000, "", "", ""},
        {"wav_pcm.wav", 1, 0, 0, 1, 0, -1, 0, -1, 2000000, 2000000, "", "", ""},
        {"mp3_tagged.mp3", 1, 0, 0, 1, 0, -1, 0, -1, 1950000, 2100000, "Kestravo Tone", "Larkspire", "Test Album"},
        {"short_0999ms.avi", 2, 0, 1, 1, 0, 0, 1, -1, 999000, 999000, "", "", ""},
        {"pal_16x15.avi", 1, 0, 1, 0, 0, 0, -1, -1, 450000, 600000, "", "", ""},
        {"ts_jump.ts", 2, 1, 1, 1, 0, 0, 1, -1, 21000000, 23000000, "", "", ""},
        {"audio_late.mkv", 2, 0, 1, 1, 0, 0, 1, -1, 1950000, 2100000, "", "", ""},
        {"audio_early.mkv", 2, 0, 1, 1, 0, 0, 1, -1, 1950000, 2100000, "", "", ""},
        {"truncated.avi", 2, 0, 1, 1, 0, 0, 1, -1, 0, 2100000, "", "", ""},
    };
    TAVProbe probe;
    for (const ClipFacts& c : clips) {
        SCOPED_TRACE(c.name);
        const std::string path = MediaDir + c.name;
        ASSERT_TRUE(probe.OpenFile(path)) << probe.LastError();
        EXPECT_TRUE(probe.OwnsContext());
        EXPECT_EQ(probe.StreamCount(), c.streams);
        EXPECT_EQ(probe.ProgramCount(), c.programs);
        EXPECT_EQ(probe.VideoStreamCount(), c.video);
        EXPECT_EQ(probe.AudioStreamCount(), c.audio);
        EXPECT_EQ(probe.SubtitleStreamCount(), c.subtitles);
        EXPECT_EQ(probe.FirstVideoStream(), c.firstVideo);
        EXPECT_EQ(probe.FirstAudioStream(), c.firstAudio);
        EXPECT_EQ(probe.FirstSubtitleStream(), c.firstSubtitle);
        TFileStreamInfo info;
        probe.GetFileStreamInfo(info);
        EXPECT_GE(info.Duration, c.minDuration);
        EXPECT_LE(info.Duration, c.maxDuration);
        EXPECT_NE(info.StartTime, AV_NOPTS_VALUE);
        EXPECT_GT(info.BitRate, 0);
        EXPECT_EQ(info.Title, c.title);
        EXPECT_EQ(info.Author, c.author);
        EXPECT_EQ(info.Album, c.album);
        EXPECT_EQ(probe.GetFileSize(), GetFileSizeByName(path));
    }
}

TEST_F(ProbeTest, UnknownStartTimeIsMinusOne)
{
    TAVProbe probe;
    ASSERT_TRUE(probe.OpenFile(MediaDir + "wav_pcm.wav")) << probe.LastError();
    TFileStreamInfo info;
    probe.GetFileStreamInfo(info);
    EXPECT_EQ(info.StartTime, -1);
}

TEST_F(ProbeTest, RefusalsGiveTheirTextsAndLeaveNoContext)
{
    const std::string metadataOnly = ::testing::TempDir() + "kv_metadata_only.txt";
    {
        FILE* f = std::fopen(metadataOnly.c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fputs(";FFMETADATA1\ntitle=Nothing here\n", f);
        std::fclose(f);
    }
    const std::string missing = MediaDir + "no_such_clip.avi";
    const struct {
        std::string file, format, text;
    } cases[] = {
        {missing, "", missing + ": no such file or directory"},
        {MediaDir + "empty.avi", "", MediaDir + "empty.avi: Error while parsing header"},
        {MediaDir + "random.bin", "", MediaDir + "random.bin: Error while parsing header"},
        {MediaDir + "truncated.mp4", "", MediaDir + "truncated.mp4: Error while parsing header"},
        // Opens as a container, but holds no stream at all.
        {metadataOnly, "", metadataOnly + ": could not find codec parameters"},
        // The format is looked up before the file is touched.
        {missing, "no_such_format", "Unknown input format: no_such_format"},
    };
    TAVProbe probe;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file + " / " + c.format);
        ASSERT_TRUE(probe.OpenFile(MediaDir + "wav_pcm.wav"));
        EXPECT_FALSE(probe.OpenFile(c.file, c.format));
        EXPECT_EQ(probe.LastError(), c.text);
        EXPECT_EQ(probe.FormatContext(), nullptr);
        EXPECT_EQ(probe.StreamCount(), -1);
        EXPECT_EQ(probe.AudioStreamCount(), -1);
        EXPECT_EQ(probe.FirstAudioStream(), -1);
        EXPECT_EQ(probe.ForcedFormat(), "");
        EXPECT_EQ(probe.GetFileSize(), -1);
        TFileStreamInfo info;
        probe.GetFileStreamInfo(info);
        EXPECT_EQ(info.Duration, -1);
        EXPECT_EQ(info.StartTime, -1);
        EXPECT_EQ(info.BitRate, -1);
        EXPECT_EQ(info.Title, "");
    }
    std::remove(metadataOnly.c_str());
}

TEST_F(ProbeTest, LocalFileWithColonInItsNameIsOpenedAsFile)
{
    const std::string dir = ::testing::TempDir();
    for (const std::string name : {"clip:1.wav", "data:x.wav"}) {
        const std::string copy = dir + name;
        std::FILE* in = std::fopen((MediaDir + "wav_pcm.wav").c_str(), "rb");
        std::FILE* out = std::fopen(copy.c_str(), "wb");
        ASSERT_TRUE(in && out);
        char buf[4096];
        for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, in)) > 0;) std::fwrite(buf, 1, n, out);
        std::fclose(in);
        std::fclose(out);

        const std::string cwd = std::filesystem::current_path();
        std::filesystem::current_path(dir);
        TAVProbe probe;
        EXPECT_TRUE(probe.OpenFile(name)) << probe.LastError();
        EXPECT_EQ(probe.AudioStreamCount(), 1);
        EXPECT_EQ(probe.GetFileSize(), GetFileSizeByName(copy));
        std::filesystem::current_path(cwd);
        std::remove(copy.c_str());
    }
}

TEST_F(ProbeTest, ForcedFormatIsKeptUntilClose)
{
    TAVProbe probe;
    ASSERT_TRUE(probe.OpenFile(MediaDir + "avi_mpeg4_mp2.avi", "avi")) << probe.LastError();
    EXPECT_EQ(probe.ForcedFormat(), "avi");
    EXPECT_EQ(probe.VideoStreamCount(), 1);
    probe.Close();
    EXPECT_EQ(probe.ForcedFormat(), "");
    EXPECT_EQ(probe.VideoStreamCount(), -1);
    EXPECT_EQ(probe.FormatContext(), nullptr);
}

TEST_F(ProbeTest, AttachNeverClosesWhatItBorrowed)
{
    AVFormatContext* ctx = nullptr;
    const std::string path = MediaDir + "mkv_subtitle.mkv";
    ASSERT_EQ(av::avformat_open_input(&ctx, path.c_str(), nullptr, nullptr), 0);
    ASSERT_GE(av::avformat_find_stream_info(ctx, nullptr), 0);
    {
        TAVProbe probe;
        probe.Attach(ctx);
        EXPECT_FALSE(probe.OwnsContext());
        EXPECT_EQ(probe.FormatContext(), ctx);
        EXPECT_EQ(probe.StreamCount(), 3);
        EXPECT_EQ(probe.FirstSubtitleStream(), 2);
        EXPECT_EQ(probe.GetFileSize(), GetFileSizeByName(path));
        probe.Close();
        EXPECT_EQ(probe.StreamCount(), -1);
        probe.Attach(ctx);
        // Leaving the borrowed context for a file of its own must not close it either.
        ASSERT_TRUE(probe.OpenFile(MediaDir + "wav_pcm.wav"));
        probe.Attach(ctx);
        probe.Attach(nullptr);
        EXPECT_EQ(probe.StreamCount(), -1);
        probe.Attach(ctx);
    }  // destroyed while attached
    // Still usable (the sanitizer build would catch a use after free here).
    EXPECT_EQ(ctx->nb_streams, 3u);
    AVPacket* pkt = av::av_packet_alloc();
    EXPECT_GE(av::av_read_frame(ctx, pkt), 0);
    av::av_packet_free(&pkt);
    av::avformat_close_input(&ctx);
}

}  // namespace
