// Opening inputs and outputs: the stream facts an input hands back to the option
// state, the output streams and their encoder contexts, codec lookup, the refusals,
// the rate-control override text and the target presets.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <optional>

#include "engine/FFmpeg.h"
#include "media/AVCodecStubs.h"
#include "media/AVUtilStubs.h"
#include "media/FFmpegLoader.h"
#include "tests/support/VideoConvert.h"

using namespace kv::engine;
namespace fs = std::filesystem;

namespace {

const std::string MediaDir = std::string(KV_TEST_MEDIA_DIR) + "/";

using TLogSink = kv::test::TRecordingSink;

class FilesSetupTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        kv::test::LoadEngineLibraries();
    }
    void SetUp() override
    {
        OutDir = fs::temp_directory_path() / ("kv_files_setup_" + std::to_string(::getpid()));
        fs::create_directories(OutDir);
        NewTask();
    }
    void TearDown() override
    {
        task.reset();
        fs::remove_all(OutDir);
    }
    void NewTask()
    {
        task = std::make_unique<TCustomFFmpeg>();
        log.Lines.clear();
        task->LogHandler = &log;
        task->SetLogLevel(llQuiet);   // no stream summaries
        task->Verbose = llInfo;
    }
    void Set(const std::vector<std::pair<std::string, std::string>>& options)
    {
        for (const auto& [name, value] : options) task->SetOption(name, value);
    }
    std::string Out(const std::string& name) const { return (OutDir / name).string(); }
    void OpenInput(const std::string& clip)
    {
        ASSERT_TRUE(task->OpenInputFile(MediaDir + clip)) << task->LastErrorMessage;
    }
    AVCodecContext* OutCodec(int file, int stream) { return task->OutputStreams[file].at(stream).Codec; }
    AVMediaType OutType(int file, int stream) { return task->OutputFiles[file]->streams[stream]->codecpar->codec_type; }

    fs::path OutDir;
    TLogSink log;
    std::unique_ptr<TCustomFFmpeg> task;
};

// ---------------------------------------------------------------------------
// Inputs

TEST_F(FilesSetupTest, InputsHandTheirStreamFactsToTheOptionState)
{
    struct TCase {
        const char* Clip;
        int Width, Height;
        float Aspect;
        AVRational Rate;
        int SampleRate, Channels;
        int Streams;
        int DurationMs;
    };
    const TCase cases[] = {
        {"avi_mpeg4_mp2.avi", 320, 240, 4.0f / 3, {25, 1}, 44100, 2, 2, 2000},
        {"mp4_h264_aac.mp4", 320, 240, 4.0f / 3, {25, 1}, 44100, 2, 2, 2000},
        {"mkv_subtitle.mkv", 320, 240, 4.0f / 3, {25, 1}, 44100, 2, 3, 2000},
        {"pal_16x15.avi", 720, 576, 16.0f / 15 * 720 / 576, {25, 1}, 44100, 2, 1, 520},
        // 1000/37 fps: the library's estimate of the real rate is 27.
        {"short_0999ms.avi", 320, 240, 4.0f / 3, {27, 1}, 48000, 1, 2, 999},
        // Audio only: the video facts keep their defaults.
        {"wav_pcm.wav", 0, 0, 0, {0, 0}, 44100, 2, 1, 2000},
        {"mp3_tagged.mp3", 0, 0, 0, {0, 0}, 44100, 2, 1, 2000},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Clip);
        NewTask();
        OpenInput(c.Clip);
        EXPECT_EQ(task->InputFileCount, 1);
        EXPECT_EQ(task->FrameWidth, c.Width);
        EXPECT_EQ(task->FrameHeight, c.Height);
        EXPECT_NEAR(task->FrameAspectRatio, c.Aspect, 1e-4);
        EXPECT_EQ(task->FrameRate.num, c.Rate.num);
        EXPECT_EQ(task->FrameRate.den, c.Rate.den);
        EXPECT_EQ(task->AudioSampleRate, c.SampleRate);
        EXPECT_EQ(task->AudioChannels, c.Channels);
        EXPECT_NEAR(task->TotalOutputDuration, c.DurationMs, 80);
        // One decoder context per stream, carrying the stream's parameters.
        ASSERT_EQ(task->InputCodecs[0].size(), unsigned(c.Streams));
        const AVFormatContext* ic = task->InputFiles[0];
        for (int i = 0; i < c.Streams; ++i) {
            ASSERT_NE(task->InputCodecs[0][i], nullptr);
            EXPECT_EQ(task->InputCodecs[0][i]->codec_id, ic->streams[i]->codecpar->codec_id);
        }
        if (c.Width) {
            EXPECT_EQ(task->FramePixFmt, AV_PIX_FMT_YUV420P);
        }
    }
}

TEST_F(FilesSetupTest, InputOpenConsumesCodecNamesAndForcesDecoders)
{
    Set({{"vcodec", "mpeg4"}, {"acodec", "mp2"}, {"ss", "1"}});
    OpenInput("avi_mpeg4_mp2.avi");
    EXPECT_TRUE(task->VideoCodecName.empty());
    EXPECT_TRUE(task->AudioCodecName.empty());
    EXPECT_EQ(task->StartTime, 0);
    EXPECT_EQ(task->InputTimeOffsets[0], -1000000);
    ASSERT_EQ(task->ForcedDecoders.size(), 2u);
    EXPECT_STREQ(task->ForcedDecoders[0]->name, "mpeg4");
    EXPECT_STREQ(task->ForcedDecoders[1]->name, "mp2");

    // A second input with "vn" has its video discarded.
    Set({{"vn", ""}});
    OpenInput("mp4_h264_aac.mp4");
    EXPECT_EQ(task->InputFileCount, 2);
    EXPECT_EQ(task->InputFiles[1]->streams[0]->discard, AVDISCARD_ALL);
    EXPECT_EQ(task->ForcedDecoders[2], nullptr);
}

TEST_F(FilesSetupTest, RefusedInputsLeaveNothingOpenAndSayWhy)
{
    struct TCase {
        const char* Clip;
        std::vector<std::pair<std::string, std::string>> Options;
        std::optional<std::string> Message;   // none: a library open error naming the file
    };
    const TCase cases[] = {
        {"random.bin", {}, std::nullopt},
        {"empty.avi", {}, std::nullopt},
        {"no_such_file.avi", {}, std::nullopt},
        {"avi_mpeg4_mp2.avi", {{"vcodec", "nosuch"}}, "Unknown decoder 'nosuch'"},
        {"avi_mpeg4_mp2.avi", {{"acodec", "mpeg4"}}, "Invalid decoder type 'mpeg4'"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Clip);
        NewTask();
        Set(c.Options);
        EXPECT_FALSE(task->OpenInputFile(MediaDir + c.Clip));
        EXPECT_EQ(task->InputFileCount, 0);
        EXPECT_EQ(task->InputFiles[0], nullptr);
        EXPECT_TRUE(task->ForcedDecoders.empty());
        EXPECT_TRUE(task->VideoCodecName.empty() && task->AudioCodecName.empty());
        if (c.Message) {
            EXPECT_EQ(task->LastErrorMessage, *c.Message);
        } else {
            EXPECT_EQ(task->LastErrorMessage.rfind(MediaDir + c.Clip + ": ", 0), 0u) << task->LastErrorMessage;
        }
    }
    // A truncated file opens or is refused, never crashes.
    for (const char* clip : {"truncated.mp4", "truncated.avi"}) {
        NewTask();
        if (!task->OpenInputFile(MediaDir + clip)) {
            EXPECT_FALSE(task->LastErrorMessage.empty());
        }
    }
}

// ---------------------------------------------------------------------------
// Codec lookup

TEST_F(FilesSetupTest, CodecLookupNamesTheFaultAndTakesSuccessorNames)
{
    auto encoderName = [](const char* preferred, const char* old) {
        const AVCodec* c = av::avcodec_find_encoder_by_name(preferred);
        return std::string(c ? preferred : old);
    };
    struct TCase {
        std::string Name;
        AVMediaType Type;
        bool Encoder;
        std::string Expected;   // codec name found, or the message
        bool Ok;
    };
    const TCase cases[] = {
        {"nosuch", AVMEDIA_TYPE_VIDEO, true, "Unknown encoder 'nosuch'", false},
        {"nosuch", AVMEDIA_TYPE_AUDIO, false, "Unknown decoder 'nosuch'", false},
        {"mp2", AVMEDIA_TYPE_VIDEO, true, "Invalid encoder type 'mp2'", false},
        {"mpeg4", AVMEDIA_TYPE_SUBTITLE, false, "Invalid decoder type 'mpeg4'", false},
        {"mpeg4", AVMEDIA_TYPE_VIDEO, true, "mpeg4", true},
        {"libfaac", AVMEDIA_TYPE_AUDIO, true, "aac", true},
        {"mpeg4aac", AVMEDIA_TYPE_AUDIO, true, "aac", true},
        {"libfaad", AVMEDIA_TYPE_AUDIO, false, "aac", true},
        {"vorbis", AVMEDIA_TYPE_AUDIO, true, encoderName("libvorbis", "vorbis"), true},
        {"libxvid", AVMEDIA_TYPE_VIDEO, true, encoderName("libxvid", "mpeg4"), true},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        task->LastErrorMessage.clear();
        AVCodecID id = AV_CODEC_ID_PROBE;
        const AVCodec* codec = nullptr;
        EXPECT_EQ(task->FindCodecId(c.Name, c.Type, c.Encoder, id, &codec), c.Ok);
        if (c.Ok) {
            ASSERT_NE(codec, nullptr);
            EXPECT_EQ(codec->name, c.Expected);
            EXPECT_EQ(id, codec->id);
        } else {
            EXPECT_EQ(task->LastErrorMessage, c.Expected);
        }
    }
    // libamr_nb: its successor when the library carries it.
    AVCodecID id{};
    if (av::avcodec_find_encoder_by_name("libopencore_amrnb")) {
        EXPECT_TRUE(task->FindCodecId("libamr_nb", AVMEDIA_TYPE_AUDIO, true, id));
        EXPECT_EQ(id, AV_CODEC_ID_AMR_NB);
    }
    EXPECT_TRUE(task->FindCodecId("", AVMEDIA_TYPE_VIDEO, true, id));
    EXPECT_EQ(id, AV_CODEC_ID_NONE);
}

// ---------------------------------------------------------------------------
// Outputs

TEST_F(FilesSetupTest, OutputInheritsTheInputAndAdjustsToTheEncoder)
{
    OpenInput("avi_mpeg4_mp2.avi");
    ASSERT_EQ(task->OpenOutputFile(Out("out.mp4")), 1) << task->LastErrorMessage;
    EXPECT_TRUE(fs::exists(Out("out.mp4")));
    ASSERT_EQ(task->OutputFiles[0]->nb_streams, 2u);
    ASSERT_EQ(OutType(0, 0), AVMEDIA_TYPE_VIDEO);
    ASSERT_EQ(OutType(0, 1), AVMEDIA_TYPE_AUDIO);
    const AVCodecContext* v = OutCodec(0, 0);
    EXPECT_EQ(v->width, 320);
    EXPECT_EQ(v->height, 240);
    EXPECT_EQ(av_cmp_q(v->time_base, AVRational{1, 25}), 0);
    EXPECT_EQ(v->sample_aspect_ratio.num, v->sample_aspect_ratio.den);
    ASSERT_NE(task->OutputStreams[0][0].Encoder, nullptr);
    EXPECT_EQ(v->codec_id, task->OutputStreams[0][0].Encoder->id);
    const AVCodecContext* a = OutCodec(0, 1);
    EXPECT_EQ(a->codec_id, AV_CODEC_ID_AAC);
    EXPECT_EQ(a->sample_rate, 44100);
    EXPECT_EQ(a->ch_layout.nb_channels, 2);
    EXPECT_EQ(a->sample_fmt, AV_SAMPLE_FMT_FLTP) << "the input's s16p is not an aac format";
    EXPECT_EQ(av_cmp_q(a->time_base, AVRational{1, 44100}), 0);
    // Guessed encoders are not forced.
    EXPECT_EQ(task->ForcedEncoders.size(), 2u);
    EXPECT_EQ(task->ForcedEncoders[0], nullptr);
}

TEST_F(FilesSetupTest, OutputStreamsFollowTheContainerTheInputsAndTheOptions)
{
    struct TCase {
        const char* Clip;
        std::vector<std::pair<std::string, std::string>> Options;
        const char* Output;
        std::vector<AVMediaType> Streams;
    };
    const TCase cases[] = {
        // An audio-only container creates no video stream although the input has one.
        {"avi_mpeg4_mp2.avi", {}, "a.mp3", {AVMEDIA_TYPE_AUDIO}},
        {"avi_mpeg4_mp2.avi", {}, "a.wav", {AVMEDIA_TYPE_AUDIO}},
        // ... unless a video codec is named.
        {"avi_mpeg4_mp2.avi", {{"vcodec", "png"}}, "b.mp3", {AVMEDIA_TYPE_VIDEO, AVMEDIA_TYPE_AUDIO}},
        // No input has video.
        {"wav_pcm.wav", {}, "b.avi", {AVMEDIA_TYPE_AUDIO}},
        {"avi_mpeg4_mp2.avi", {{"vn", ""}}, "c.avi", {AVMEDIA_TYPE_AUDIO}},
        {"avi_mpeg4_mp2.avi", {{"an", ""}}, "d.avi", {AVMEDIA_TYPE_VIDEO}},
        {"mkv_subtitle.mkv", {}, "e.mkv", {AVMEDIA_TYPE_VIDEO, AVMEDIA_TYPE_AUDIO, AVMEDIA_TYPE_SUBTITLE}},
        {"mkv_subtitle.mkv", {{"sn", ""}}, "f.mkv", {AVMEDIA_TYPE_VIDEO, AVMEDIA_TYPE_AUDIO}},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Output);
        NewTask();
        OpenInput(c.Clip);
        Set(c.Options);
        ASSERT_EQ(task->OpenOutputFile(Out(c.Output)), 1) << task->LastErrorMessage;
        ASSERT_EQ(task->OutputFiles[0]->nb_streams, c.Streams.size());
        ASSERT_EQ(task->OutputStreams[0].size(), c.Streams.size());
        for (std::size_t i = 0; i < c.Streams.size(); ++i) {
            EXPECT_EQ(OutType(0, i), c.Streams[i]);
            EXPECT_EQ(OutCodec(0, i)->codec_type, c.Streams[i]);
        }
    }
}

TEST_F(FilesSetupTest, NewStreamOptionsAddToTheLastOutput)
{
    EXPECT_THROW(
        {
            try {
                task->SetOption("newaudio", "");
            } catch (const FFmpegException& e) {
                EXPECT_STREQ(e.what(), "At least one output file must be specified");
                throw;
            }
        },
        FFmpegException);

    OpenInput("avi_mpeg4_mp2.avi");
    Set({{"acodec", "mp2"}, {"alang", "eng"}, {"absf", "null"}});
    ASSERT_EQ(task->OpenOutputFile(Out("out.mkv")), 1) << task->LastErrorMessage;
    Set({{"acodec", "libfaac"}, {"alang", "fre"}, {"ab", "96000"}});
    task->SetOption("newaudio", "");
    ASSERT_EQ(task->OutputFiles[0]->nb_streams, 3u);
    EXPECT_EQ(OutCodec(0, 1)->codec_id, AV_CODEC_ID_MP2);
    EXPECT_EQ(OutCodec(0, 2)->codec_id, AV_CODEC_ID_AAC);
    EXPECT_EQ(OutCodec(0, 2)->bit_rate, 96000);
    EXPECT_STREQ(av::av_dict_get(task->OutputFiles[0]->streams[1]->metadata, "language", nullptr, 0)->value, "eng");
    EXPECT_STREQ(av::av_dict_get(task->OutputFiles[0]->streams[2]->metadata, "language", nullptr, 0)->value, "fre");
    EXPECT_EQ(task->BitstreamFilterTable[0][1].size(), 1u);
    EXPECT_TRUE(task->BitstreamFilterTable[0][2].empty());
    EXPECT_TRUE(task->AudioCodecName.empty() && task->AudioLanguage.empty());
    EXPECT_STREQ(task->ForcedEncoders[2]->name, "aac");

    // A refused stream leaves the output as it was.
    Set({{"vcodec", "nosuch"}});
    try {
        task->SetOption("newvideo", "");
        ADD_FAILURE() << "the stream was added";
    } catch (const FFmpegException& e) {
        EXPECT_STREQ(e.what(), "Unknown encoder 'nosuch'");
    }
    EXPECT_EQ(task->OutputFiles[0]->nb_streams, 3u);
    EXPECT_EQ(task->OutputStreams[0].size(), 3u);
}

TEST_F(FilesSetupTest, VideoStreamParametersFromTheOptions)
{
    OpenInput("pal_16x15.avi");
    Set({{"vcodec", "mpeg2video"}, {"r", "27"}, {"qscale", "4"}, {"rc_override", "0,100,2/101,200,-50"},
         {"intra", ""}, {"pass", "1"}, {"padtop", "16"}, {"padbottom", "16"}, {"pix_fmt", "rgb24"}});
    ASSERT_EQ(task->OpenOutputFile(Out("v.mpg")), 1) << task->LastErrorMessage;
    const AVCodecContext* v = OutCodec(0, 0);
    EXPECT_EQ(av_cmp_q(v->time_base, AVRational{1, 25}), 0) << "27 fps is not an MPEG-2 rate; 25 is the nearest";
    EXPECT_EQ(v->width, 720);
    EXPECT_EQ(v->height, 608);
    EXPECT_EQ(v->pix_fmt, AV_PIX_FMT_YUV420P) << "rgb24 is not an MPEG-2 format";
    EXPECT_TRUE(v->flags & AV_CODEC_FLAG_QSCALE);
    EXPECT_EQ(v->global_quality, 4 * FF_QP2LAMBDA);
    EXPECT_TRUE(v->flags & AV_CODEC_FLAG_PASS1);
    EXPECT_EQ(v->gop_size, 0);
    // The bands are added in the source's pixel shape: the picture is not squeezed.
    EXPECT_EQ(av_cmp_q(v->sample_aspect_ratio, AVRational{16, 15}), 0);
    ASSERT_EQ(v->rc_override_count, 2);
    EXPECT_EQ(v->rc_override[0].start_frame, 0);
    EXPECT_EQ(v->rc_override[0].end_frame, 100);
    EXPECT_EQ(v->rc_override[0].qscale, 2);
    EXPECT_FLOAT_EQ(v->rc_override[0].quality_factor, 1.0f);
    EXPECT_EQ(v->rc_override[1].start_frame, 101);
    EXPECT_EQ(v->rc_override[1].end_frame, 200);
    EXPECT_EQ(v->rc_override[1].qscale, 0);
    EXPECT_FLOAT_EQ(v->rc_override[1].quality_factor, 0.5f);

    // Stream copy keeps the picture's 16:15 sample aspect.
    NewTask();
    OpenInput("pal_16x15.avi");
    Set({{"vcodec", "copy"}});
    ASSERT_EQ(task->OpenOutputFile(Out("copy.avi")), 1) << task->LastErrorMessage;
    EXPECT_TRUE(task->OutputStreams[0][0].StreamCopy);
    EXPECT_EQ(av_cmp_q(task->OutputFiles[0]->streams[0]->sample_aspect_ratio, AVRational{16, 15}), 0);
}

TEST_F(FilesSetupTest, RateControlOverrideText)
{
    const std::vector<RcOverride> two = ParseRcOverride("0,100,2/101,200,-50");
    ASSERT_EQ(two.size(), 2u);
    EXPECT_EQ(two[1].qscale, 0);
    EXPECT_FLOAT_EQ(two[1].quality_factor, 0.5f);
    EXPECT_TRUE(ParseRcOverride("").empty());
    for (const char* bad : {"0,100", "x", "0,100,2/", "0;100;2"}) {
        SCOPED_TRACE(bad);
        EXPECT_THROW(ParseRcOverride(bad), FFmpegException);
    }
    // Refused when the stream is made, with the codec name consumed.
    Set({{"vcodec", "mpeg4"}, {"rc_override", "1,2"}});
    EXPECT_EQ(task->OpenOutputFile(Out("rc.avi")), -1);
    EXPECT_EQ(task->LastErrorMessage, "new_video_stream fail: error parsing rc_override");
    EXPECT_TRUE(task->VideoCodecName.empty());
}

TEST_F(FilesSetupTest, AspectFractionStaysWithin255)
{
    struct TCase {
        double Value;
        AVRational Expected;
    };
    for (const TCase& c : {TCase{16.0 / 15, {16, 15}}, TCase{4.0 / 3, {4, 3}}, TCase{1.7777778, {16, 9}},
                           TCase{0, {0, 1}}, TCase{1.0, {1, 1}}}) {
        const AVRational r = AspectFraction(c.Value);
        EXPECT_EQ(av_cmp_q(r, c.Expected), 0) << c.Value << " -> " << r.num << "/" << r.den;
        EXPECT_LE(r.num, 255);
        EXPECT_LE(r.den, 255);
    }
}

TEST_F(FilesSetupTest, RefusedOutputsCreateNothing)
{
    const std::string crop = "Cannot enable crop options and filters at the same time.";
    const std::string pad = "Cannot enable pad options and the filters which resize frame at the same time. "
                            "(crop, rotate, scale, transpose, etc.)";
    struct TCase {
        std::vector<std::pair<std::string, std::string>> Options;
        std::string Output;
        std::string Message;   // empty: success
    };
    const std::vector<TCase> cases = {
        {{}, "x.nosuchext", "Unable to find a suitable output format for '" + Out("x.nosuchext") + "'"},
        {{{"s", "640x480"}, {"croptop", "2"}, {"vfilters", "hue=s=0"}}, "c.avi", crop},
        {{{"padtop", "2"}, {"vfilters", "hue=s=0,Scale=320:240"}}, "p1.avi", pad},
        {{{"padleft", "2"}, {"vfilters", "transpose"}}, "p2.avi", pad},
        {{{"padleft", "2"}, {"vfilters", "hue=s=0"}}, "ok.avi", ""},
        {{{"acodec", "nosuch"}}, "a.avi", "new_audio_stream fail: Unknown encoder 'nosuch'"},
        {{{"vcodec", "mp2"}}, "v.avi", "new_video_stream fail: Invalid encoder type 'mp2'"},
        {{{"scodec", "nosuch"}}, "s.mkv", "new_subtitle_stream fail: Unknown encoder 'nosuch'"},
        {{{"f", "image2"}}, "frames.jpg", ""},   // a file name without a number is accepted by image2 today
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Output);
        NewTask();
        Set(c.Options);
        const int result = task->OpenOutputFile(Out(c.Output));
        if (c.Message.empty()) {
            EXPECT_EQ(result, 1) << task->LastErrorMessage;
            continue;
        }
        EXPECT_EQ(result, -1);
        EXPECT_EQ(task->LastErrorMessage, c.Message);
        EXPECT_EQ(task->OutputFileCount, 0);
        EXPECT_EQ(task->OutputFiles[0], nullptr);
        EXPECT_TRUE(task->OutputStreams[0].empty());
        EXPECT_TRUE(task->ForcedEncoders.empty());
        EXPECT_FALSE(fs::exists(Out(c.Output)));
        EXPECT_EQ(task->OutputFormat, nullptr);
    }
}

// The file tables hold MaxFiles inputs and outputs; one more is refused and leaves
// the task whole (its tables and whatever lies beside them).
TEST_F(FilesSetupTest, AFileBeyondTheTablesIsRefusedWithoutHarm)
{
    NewTask();
    task->CreateOutputFiles = false;
    for (int i = 0; i < MaxFiles; ++i) ASSERT_TRUE(task->OpenInputFile(MediaDir + "avi_mpeg4_mp2.avi")) << i;
    EXPECT_FALSE(task->OpenInputFile(MediaDir + "avi_mpeg4_mp2.avi"));
    EXPECT_EQ(task->LastErrorMessage, "Too many input files");
    EXPECT_EQ(task->InputFileCount, MaxFiles);
    for (int i = 0; i < MaxFiles; ++i) ASSERT_EQ(task->OpenOutputFile(Out(std::to_string(i) + ".avi")), i + 1);
    EXPECT_EQ(task->OpenOutputFile(Out("one-more.avi")), -1);
    EXPECT_EQ(task->LastErrorMessage, "Too many output files");
    EXPECT_EQ(task->OutputFileCount, MaxFiles);
    EXPECT_EQ(task->OutputStreams[MaxFiles - 1].size(), 2u);
    task->CleanupTask();
    EXPECT_EQ(task->OutputFileCount, 0);
}

TEST_F(FilesSetupTest, OutputNeverWritesOverAnInput)
{
    const std::string source = Out("source.avi");
    fs::copy_file(MediaDir + "avi_mpeg4_mp2.avi", source);
    const auto size = fs::file_size(source);
    fs::create_symlink(source, Out("link.avi"));
    ASSERT_TRUE(task->OpenInputFile(source)) << task->LastErrorMessage;
    for (const std::string& name : {source, (OutDir / "." / "source.avi").string(), Out("link.avi")}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(task->OpenOutputFile(name), -1);
        EXPECT_EQ(task->LastErrorMessage, "Output file '" + name + "' is the same as input file");
        EXPECT_EQ(fs::file_size(source), size);
    }
    EXPECT_EQ(task->OutputFileCount, 0);
    EXPECT_EQ(task->OpenOutputFile(Out("other.avi")), 1) << task->LastErrorMessage;
}

TEST_F(FilesSetupTest, NamesWithAColonAreLocalFiles)
{
    const fs::path cwd = fs::current_path();
    fs::current_path(OutDir);
    fs::copy_file(MediaDir + "avi_mpeg4_mp2.avi", "clip:1.avi");
    EXPECT_TRUE(task->OpenInputFile("clip:1.avi")) << task->LastErrorMessage;
    EXPECT_EQ(task->OpenOutputFile("clip:1.avi"), -1) << "the input itself";
    EXPECT_EQ(task->OpenOutputFile("out:1.avi"), 1) << task->LastErrorMessage;
    EXPECT_TRUE(fs::exists("out:1.avi"));
    task.reset();
    fs::current_path(cwd);
}

// ---------------------------------------------------------------------------
// Target presets

TEST_F(FilesSetupTest, TargetPresetsSetTheirGroupOfOptions)
{
    struct TCase {
        const char* Target;
        const char* VideoCodec;
        const char* Container;
        int Width, Height;
        AVRational Rate;
        int SampleRate, Channels;
        std::int64_t BitRate, BufSize, AudioBitRate;
        int Gop;
        float Aspect;
        int PixFmt;
    };
    const TCase cases[] = {
        {"pal-vcd", "mpeg1video", "vcd", 352, 288, {25, 1}, 44100, 2, 1150000, 327680, 224000, 15, 4.0f / 3, -1},
        {"ntsc-svcd", "mpeg2video", "svcd", 480, 480, {30000, 1001}, 44100, 2, 2040000, 1835008, 224000, 18,
         4.0f / 3, -1},
        {"film-dvd", "mpeg2video", "dvd", 720, 480, {24000, 1001}, 48000, 2, 6000000, 1835008, 448000, 18,
         16.0f / 9, -1},
        {"ntsc-dv", "", "dv", 720, 480, {30000, 1001}, 48000, 2, 0, 0, 0, -1, 0, AV_PIX_FMT_YUV411P},
        {"pal-dv", "", "dv", 720, 576, {25, 1}, 48000, 2, 0, 0, 0, -1, 0, AV_PIX_FMT_YUV420P},
        {"pal-dv50", "", "dv", 720, 576, {25, 1}, 48000, 2, 0, 0, 0, -1, 0, AV_PIX_FMT_YUV422P},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Target);
        NewTask();
        task->AudioChannels = 1;
        task->SetOption("target", c.Target);
        EXPECT_EQ(task->VideoCodecName, c.VideoCodec);
        ASSERT_NE(task->OutputFormat, nullptr);
        EXPECT_STREQ(task->OutputFormat->name, c.Container);
        EXPECT_EQ(task->FrameWidth, c.Width);
        EXPECT_EQ(task->FrameHeight, c.Height);
        EXPECT_EQ(av_cmp_q(task->FrameRate, c.Rate), 0);
        EXPECT_EQ(task->AudioSampleRate, c.SampleRate);
        EXPECT_EQ(task->AudioChannels, c.Channels);
        EXPECT_NEAR(task->FrameAspectRatio, c.Aspect, 1e-5);
        EXPECT_EQ(task->FramePixFmt, c.PixFmt);
        const AVCodecContext* video = task->OptionContext->CodecSets[0];
        const AVCodecContext* audio = task->OptionContext->CodecSets[1];
        if (c.BitRate) {
            EXPECT_EQ(video->bit_rate, c.BitRate);
            EXPECT_EQ(video->rc_buffer_size, c.BufSize);
            EXPECT_EQ(audio->bit_rate, c.AudioBitRate);
            EXPECT_EQ(video->gop_size, c.Gop);
        }
    }
    EXPECT_FLOAT_EQ(task->MuxPreload, 0.5f);
    NewTask();
    task->SetOption("target", "pal-vcd");
    EXPECT_FLOAT_EQ(task->MuxPreload, 0.44f);
    EXPECT_TRUE(log.Has("Assuming 4:3 for aspect ratio"));
    EXPECT_EQ(task->OptionContext->CodecSets[0]->rc_min_rate, 1150000);
    // A set aspect stays; SVCD and DVD keep more than one channel.
    NewTask();
    Set({{"aspect", "16:9"}, {"ac", "6"}});
    task->SetOption("target", "pal-dvd");
    EXPECT_NEAR(task->FrameAspectRatio, 16.0f / 9, 1e-5);
    EXPECT_EQ(task->AudioChannels, 6);
}

TEST_F(FilesSetupTest, TargetNormDetection)
{
    struct TCase {
        const char* Clip;   // input opened first, or null
        const char* Rate;   // "r" set after it, or null
        const char* Fallback;
        int Height;         // 288 PAL, 240 NTSC
        const char* Message;
    };
    const TCase cases[] = {
        {nullptr, "25", "ntsc", 288, "Assuming PAL for target."},
        {nullptr, "30000/1001", "pal", 240, "Assuming NTSC for target."},
        {nullptr, "24000/1001", "pal", 240, "Assuming NTSC for target."},
        {nullptr, "10", "ntsc", 240, "Assuming NTSC for target."},
        {nullptr, "10", "pal", 288, "Assuming PAL for target."},
        {nullptr, "10", "film", 240, "Assuming NTSC for target."},
        // The rate says nothing; the input's 25 fps video decides.
        {"avi_mpeg4_mp2.avi", "10", "ntsc", 288, "Assuming PAL for target."},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(std::string(c.Rate) + " " + c.Fallback);
        NewTask();
        if (c.Clip) OpenInput(c.Clip);
        task->SetOption("r", c.Rate);
        task->ApplyTarget("vcd", "auto", c.Fallback);
        EXPECT_EQ(task->FrameHeight, c.Height);
        EXPECT_TRUE(log.Has(c.Message));
    }
    struct TFailure {
        const char* Target;
        const char* Rate;
        const char* Message;
    };
    for (const TFailure& f : {TFailure{"vcd", nullptr, "frame_rate is invalid."},
                              TFailure{"dvd", nullptr, "frame_rate is invalid."},
                              TFailure{"pal-foo", nullptr, "Unknown target type"},
                              TFailure{"foo", "25", "Unknown target type"}}) {
        SCOPED_TRACE(f.Target);
        NewTask();
        if (f.Rate) task->SetOption("r", f.Rate);
        try {
            task->SetOption("target", f.Target);
            ADD_FAILURE() << "accepted";
        } catch (const FFmpegException& e) {
            EXPECT_STREQ(e.what(), f.Message);
        }
    }
}

}  // namespace
