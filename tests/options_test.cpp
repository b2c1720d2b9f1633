// The option language: every validation message, the values each option leaves in
// the option state, the generic option holder and the table limits.
#include <gtest/gtest.h>

#include <cstdarg>
#include <functional>
#include <mutex>
#include <thread>

#include "engine/FFmpeg.h"
#include "media/AVCodecStubs.h"
#include "media/AVUtilStubs.h"
#include "media/FFmpegLoader.h"
#include "tests/support/VideoConvert.h"

using namespace kv::engine;

namespace {

using TOptions = std::vector<std::pair<std::string, std::string>>;

using TLogSink = kv::test::TRecordingSink;

// Library log lines, for the generic holder's "invalid value" report.
std::mutex LibraryLogMutex;
std::vector<std::string> LibraryLog;
void CaptureLibraryLog(void*, int level, const char* format, va_list args)
{
    if (level > AV_LOG_ERROR) return;
    char line[512];
    std::vsnprintf(line, sizeof line, format, args);
    std::lock_guard lock(LibraryLogMutex);
    LibraryLog.emplace_back(line);
}

class OptionTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        ASSERT_TRUE(kv::media::FFLoader.LoadLibs(kv::media::EngineLibraries)) << kv::media::FFLoader.LastErrMsg();
    }
    void SetUp() override
    {
        task = std::make_unique<TCustomFFmpeg>();
        log.Lines.clear();
        task->LogHandler = &log;
        ASSERT_NE(task->OptionContext, nullptr);
    }
    void Apply(const TOptions& options)
    {
        for (const auto& [name, value] : options) task->SetOption(name, value);
    }
    // The message of the error raised by the last option, or "" when none was raised.
    std::string ErrorOf(const TOptions& options)
    {
        try {
            Apply(options);
        } catch (const FFmpegException& e) {
            return e.what();
        }
        return "";
    }

    TLogSink log;
    std::unique_ptr<TCustomFFmpeg> task;
};

struct TErrorCase {
    TOptions Options;   // the last one must fail
    std::string Message;
};

TEST_F(OptionTest, EveryValidationMessage)
{
    const std::vector<TErrorCase> cases = {
        {{{"f", "nosuchformat"}}, "Unknown input or output format: nosuchformat"},
        {{{"t", "abc"}}, "Invalid duration specification for t: abc"},
        {{{"ss", "1:xx"}}, "Invalid duration specification for ss: 1:xx"},
        {{{"itsoffset", "?"}}, "Invalid duration specification for itsoffset: ?"},
        {{{"timestamp", "not a date"}}, "Invalid date specification for timestamp: not a date"},
        {{{"r", "fast"}}, "Incorrect frame rate"},
        {{{"s", "big"}}, "Incorrect frame size"},
        {{{"s", "641x480"}}, "Frame size must be a multiple of 2"},
        {{{"s", "640x481"}}, "Frame size must be a multiple of 2"},
        {{{"aspect", "4:0"}}, "Incorrect aspect ratio specification."},
        {{{"aspect", "wide"}}, "Incorrect aspect ratio specification."},
        {{{"aspect", "x:9"}}, "Incorrect aspect ratio specification."},
        {{{"s", "640x480"}, {"croptop", "3"}}, "Top crop size must be a multiple of 2"},
        {{{"s", "640x480"}, {"cropbottom", "5"}}, "Bottom crop size must be a multiple of 2"},
        {{{"s", "640x480"}, {"cropleft", "7"}}, "Left crop size must be a multiple of 2"},
        {{{"s", "640x480"}, {"cropright", "9"}}, "Right crop size must be a multiple of 2"},
        {{{"padtop", "1"}}, "Top pad size must be a multiple of 2"},
        {{{"padbottom", "3"}}, "Bottom pad size must be a multiple of 2"},
        {{{"padleft", "5"}}, "Left pad size must be a multiple of 2"},
        {{{"padright", "7"}}, "Right pad size must be a multiple of 2"},
        {{{"s", "640x480"}, {"croptop", "10"}, {"croptop", "480"}},
         "Vertical crop dimensions are outside the range of the original image.\n"
         "Remember to crop first and scale second."},
        {{{"s", "640x480"}, {"cropright", "640"}},
         "Horizontal crop dimensions are outside the range of the original image.\n"
         "Remember to crop first and scale second."},
        // Crops cut from the size known so far: before any size there is nothing to cut.
        {{{"cropbottom", "2"}},
         "Vertical crop dimensions are outside the range of the original image.\n"
         "Remember to crop first and scale second."},
        {{{"qscale", "0"}}, "qscale must be > 0.0 and <= 255"},
        {{{"qscale", "256"}}, "qscale must be > 0.0 and <= 255"},
        {{{"qscale", "-1"}}, "qscale must be > 0.0 and <= 255"},
        {{{"pass", "3"}}, "pass number can be only 1 or 2"},
        {{{"pass", "0"}}, "pass number can be only 1 or 2"},
        {{{"metadata", "title"}}, "Missing ="},
        {{{"itsscale", "25:1.0"}}, "stream index over MAX_STREAMS(20)"},
        {{{"itsscale", "-1:1.0"}}, "stream index over MAX_STREAMS(20)"},
        {{{"intra_matrix", "1,2,3"}}, "Syntax error in matrix \"1,2,3\" at coeff 2"},
        {{{"inter_matrix", "8"}}, "Syntax error in matrix \"8\" at coeff 0"},
        {{{"vtag", "XVI"}}, "video tag parameter must be 4 chars"},
        {{{"vtag", ""}}, "video tag parameter must be 4 chars"},
        {{{"atag", "mp4a "}}, "audio tag parameter must be 4 chars"},
        {{{"absf", "no_such_filter"}}, "Unknown bitstream filter no_such_filter"},
        {{{"vbsf", " no_such_filter=a=1 "}}, "Unknown bitstream filter no_such_filter=a=1"},
        {{{"vhook", "/nonexistent/hook.so -x"}}, "Failed to add video hook function: /nonexistent/hook.so -x"},
        {{{"newvideo", ""}}, "At least one output file must be specified"},
        {{{"newaudio", ""}}, "At least one output file must be specified"},
        {{{"newsubtitle", ""}}, "At least one output file must be specified"},
        {{{"threads", "2"}}, "TODO: option - threads"},
        // A bad number names the text that failed to convert.
        {{{"vol", "12a"}}, "'12a' is not a valid integer value"},
        {{{"fs", "1e6"}}, "'1e6' is not a valid integer value"},
        {{{"croptop", ""}}, "'' is not a valid integer value"},
        {{{"ar", "99999999999"}}, "'99999999999' is not a valid integer value"},
        {{{"muxdelay", "0,7"}}, "'0,7' is not a valid floating point value"},
        {{{"qscale", "nan"}}, "'nan' is not a valid floating point value"},
        {{{"intra_matrix", "1,2,x,4"}}, "'x' is not a valid integer value"},
        {{{"padcolor", "GG0000"}}, "'GG0000' is not a valid integer value"},
        {{{"padcolor", "FF00FF00"}}, "'FF00FF00' is not a valid integer value"},
    };
    for (const TErrorCase& c : cases) {
        SetUp();
        SCOPED_TRACE(c.Options.back().first + "=" + c.Options.back().second);
        EXPECT_EQ(ErrorOf(c.Options), c.Message);
    }
}

TEST_F(OptionTest, InputAndOutputOnlyFormats)
{
    EXPECT_NO_THROW(task->SetInputFormat(""));
    EXPECT_EQ(task->InputFormat, nullptr);
    try {
        task->SetInputFormat("nosuch");
        ADD_FAILURE();
    } catch (const FFmpegException& e) {
        EXPECT_STREQ(e.what(), "Unknown input format: nosuch");
    }
    try {
        task->SetOutputFormat("nosuch");
        ADD_FAILURE();
    } catch (const FFmpegException& e) {
        EXPECT_STREQ(e.what(), "Unknown output format: nosuch");
    }
    task->SetOutputFormat("matroska");
    ASSERT_NE(task->OutputFormat, nullptr);
    EXPECT_STREQ(task->OutputFormat->name, "matroska");
    EXPECT_EQ(task->InputFormat, nullptr);

    task->SetInputFormat("pgmyuv");
    ASSERT_NE(task->InputFormat, nullptr);
    EXPECT_STREQ(task->InputFormat->name, "image2");
    EXPECT_TRUE(task->PgmyuvCompatibilityHack);
    EXPECT_TRUE(log.Has("pgmyuv format is deprecated, use image2"));
}

struct TValueCase {
    std::string Label;
    TOptions Options;
    std::function<void(const TCustomFFmpeg&)> Check;
};

TEST_F(OptionTest, ValuesReachTheOptionState)
{
    const std::vector<TValueCase> cases = {
        {"flag 0 clears", {{"vn", "0"}}, [](auto& t) { EXPECT_FALSE(t.VideoDisable); }},
        {"empty flag sets", {{"vn", ""}}, [](auto& t) { EXPECT_TRUE(t.VideoDisable); }},
        {"any other flag sets", {{"an", "no"}, {"sn", "1"}, {"psnr", "yes"}},
         [](auto& t) {
             EXPECT_TRUE(t.AudioDisable);
             EXPECT_TRUE(t.SubtitleDisable);
             EXPECT_TRUE(t.DoPSNR);
         }},
        {"flag set then cleared", {{"shortest", ""}, {"shortest", "0"}}, [](auto& t) { EXPECT_FALSE(t.Shortest); }},
        {"copyts and xerror ignore the value", {{"copyts", "0"}, {"xerror", "0"}},
         [](auto& t) {
             EXPECT_TRUE(t.CopyTs);
             EXPECT_TRUE(t.ExitOnError);
         }},
        {"crop follows the size", {{"s", "640x480"}, {"croptop", "10"}, {"croptop", "-2"}, {"cropleft", "20"}},
         [](auto& t) {
             EXPECT_EQ(t.FrameHeight, 470);
             EXPECT_EQ(t.CropTop, 10);
             EXPECT_EQ(t.FrameWidth, 620);
             EXPECT_EQ(t.CropLeft, 20);
         }},
        {"a repeated crop replaces the band but cuts again", {{"s", "640x480"}, {"cropbottom", "10"}, {"cropbottom", "20"}},
         [](auto& t) {
             EXPECT_EQ(t.CropBottom, 20);
             EXPECT_EQ(t.FrameHeight, 450);
         }},
        {"a size after a crop overwrites the cut size", {{"s", "640x480"}, {"croptop", "10"}, {"s", "320x240"}},
         [](auto& t) {
             EXPECT_EQ(t.FrameHeight, 240);
             EXPECT_EQ(t.CropTop, 10);
         }},
        {"pads are stored, negatives ignored",
         {{"padtop", "4"}, {"padbottom", "6"}, {"padleft", "8"}, {"padright", "-2"}},
         [](auto& t) {
             EXPECT_EQ(t.PadTop, 4);
             EXPECT_EQ(t.PadBottom, 6);
             EXPECT_EQ(t.PadLeft, 8);
             EXPECT_EQ(t.PadRight, 0);
         }},
        {"pad colour black", {{"padcolor", "0"}},
         [](auto& t) {
             EXPECT_EQ(t.PadColorY, 0);
             EXPECT_EQ(t.PadColorU, 128);
             EXPECT_EQ(t.PadColorV, 128);
         }},
        {"pad colour white", {{"padcolor", "16777215"}},
         [](auto& t) {
             EXPECT_EQ(t.PadColorY, 255);
             EXPECT_EQ(t.PadColorU, 128);
             EXPECT_EQ(t.PadColorV, 128);
         }},
        {"pad colour red (low byte)", {{"padcolor", "0xFF"}},
         [](auto& t) {
             EXPECT_EQ(t.PadColorY, 76);
             EXPECT_EQ(t.PadColorU, 85);
             EXPECT_EQ(t.PadColorV, 255);
         }},
        {"pad colour blue (high byte) in hexadecimal digits alone", {{"padcolor", "ff0000"}},
         [](auto& t) {
             EXPECT_EQ(t.PadColorY, 29);
             EXPECT_EQ(t.PadColorU, 255);
             EXPECT_EQ(t.PadColorV, 107);
         }},
        {"map without sync", {{"map", "0.1"}},
         [](auto& t) {
             ASSERT_EQ(t.StreamMapCount, 1);
             const TStreamMap& m = t.StreamMaps[0];
             EXPECT_EQ(std::tie(m.FileIndex, m.StreamIndex, m.SyncFileIndex, m.SyncStreamIndex),
                       std::make_tuple(0, 1, 0, 1));
         }},
        {"map with sync, hexadecimal and octal", {{"map", "0.1:1.0"}, {"map", "0x1:010"}},
         [](auto& t) {
             ASSERT_EQ(t.StreamMapCount, 2);
             const TStreamMap& a = t.StreamMaps[0];
             EXPECT_EQ(std::tie(a.FileIndex, a.StreamIndex, a.SyncFileIndex, a.SyncStreamIndex),
                       std::make_tuple(0, 1, 1, 0));
             const TStreamMap& b = t.StreamMaps[1];
             EXPECT_EQ(std::tie(b.FileIndex, b.StreamIndex), std::make_tuple(1, 8));
         }},
        {"map_meta_data", {{"map_meta_data", "1:0"}},
         [](auto& t) {
             ASSERT_EQ(t.MetaDataMapCount, 1);
             EXPECT_EQ(t.MetaDataMaps[0].OutFile, 1);
             EXPECT_EQ(t.MetaDataMaps[0].InFile, 0);
         }},
        {"itsscale for the next input", {{"itsscale", "1:2.5"}, {"itsscale", "2:x"}, {"itsscale", "3:0.5e1"}},
         [](auto& t) {
             EXPECT_DOUBLE_EQ(t.InputFilesTsScale[0][1], 2.5);
             EXPECT_DOUBLE_EQ(t.InputFilesTsScale[0][0], 0.0);
             EXPECT_DOUBLE_EQ(t.InputFilesTsScale[0][2], 0.0);
             EXPECT_DOUBLE_EQ(t.InputFilesTsScale[0][3], 5.0);
         }},
        {"metadata splits at the first =", {{"metadata", "title=a=b"}, {"metadata", "genre="}},
         [](auto& t) {
             ASSERT_EQ(t.Metadata.size(), 2u);
             EXPECT_EQ(t.Metadata[0], std::make_pair(std::string("title"), std::string("a=b")));
             EXPECT_EQ(t.Metadata[1], std::make_pair(std::string("genre"), std::string()));
         }},
        {"times", {{"t", "5"}, {"ss", "1:00"}, {"itsoffset", "-0.5"}, {"timestamp", "1970-01-02T00:00:01.6Z"}},
         [](auto& t) {
             EXPECT_EQ(t.RecordingTime, 5000000);
             EXPECT_EQ(t.TotalOutputDuration, 5000);
             EXPECT_EQ(t.StartTime, 60000000);
             EXPECT_EQ(t.InputTsOffset, -500000);
             EXPECT_EQ(t.RecTimestamp, 86402);
         }},
        {"a zero recording time is ignored", {{"t", "0"}},
         [](auto& t) {
             EXPECT_EQ(t.RecordingTime, INT64_MAX);
             EXPECT_EQ(t.TotalOutputDuration, -1);
         }},
        {"matrix of 64 numbers", {{"intra_matrix", [] {
                                      std::string s;
                                      for (int i = 1; i <= 64; ++i) s += std::to_string(i) + (i < 64 ? "," : "");
                                      return s;
                                  }()}},
         [](auto& t) {
             ASSERT_EQ(t.IntraMatrix.size(), 64u);
             EXPECT_EQ(t.IntraMatrix[0], 1);
             EXPECT_EQ(t.IntraMatrix[63], 64);
             EXPECT_TRUE(t.InterMatrix.empty());
         }},
        {"codec tags, first character in the low byte", {{"vtag", "XVID"}, {"atag", "mp4a"}},
         [](auto& t) {
             EXPECT_EQ(t.VideoCodecTag, 0x44495658u);
             EXPECT_EQ(t.AudioCodecTag, 0x6134706Du);
         }},
        {"aspect", {{"aspect", "16:9"}}, [](auto& t) { EXPECT_FLOAT_EQ(t.FrameAspectRatio, 1.7777778f); }},
        {"aspect as a number", {{"aspect", "1.5"}}, [](auto& t) { EXPECT_FLOAT_EQ(t.FrameAspectRatio, 1.5f); }},
        {"frame rate", {{"r", "ntsc"}},
         [](auto& t) {
             EXPECT_EQ(t.FrameRate.num, 30000);
             EXPECT_EQ(t.FrameRate.den, 1001);
         }},
        {"qscale bounds", {{"qscale", "255"}}, [](auto& t) { EXPECT_FLOAT_EQ(t.VideoQScale, 255.0f); }},
        {"codec names and copy",
         {{"vcodec", "mpeg4"}, {"vcodec", ""}, {"acodec", "copy"}, {"scodec", "mov_text"}},
         [](auto& t) {
             EXPECT_EQ(t.VideoCodecName, "mpeg4");
             EXPECT_FALSE(t.VideoStreamCopy);
             EXPECT_TRUE(t.AudioStreamCopy);
             EXPECT_TRUE(t.AudioCodecName.empty());
             EXPECT_EQ(t.SubtitleCodecName, "mov_text");
         }},
        {"copy releases an earlier name", {{"vcodec", "mpeg4"}, {"vcodec", "copy"}},
         [](auto& t) {
             EXPECT_TRUE(t.VideoCodecName.empty());
             EXPECT_TRUE(t.VideoStreamCopy);
         }},
        {"sample rate and channels only when positive", {{"ar", "0"}, {"ac", "-1"}},
         [](auto& t) {
             EXPECT_EQ(t.AudioSampleRate, 44100);
             EXPECT_EQ(t.AudioChannels, 2);
         }},
        {"sample rate and channels", {{"ar", "22050"}, {"ac", "1"}},
         [](auto& t) {
             EXPECT_EQ(t.AudioSampleRate, 22050);
             EXPECT_EQ(t.AudioChannels, 1);
         }},
        {"formats by name", {{"pix_fmt", "yuv420p"}, {"sample_fmt", "s16"}},
         [](auto& t) {
             EXPECT_EQ(t.FramePixFmt, AV_PIX_FMT_YUV420P);
             EXPECT_EQ(t.AudioSampleFmt, AV_SAMPLE_FMT_S16);
         }},
        {"both formats from f", {{"f", "mp4"}},
         [](auto& t) {
             ASSERT_NE(t.InputFormat, nullptr);
             ASSERT_NE(t.OutputFormat, nullptr);
             EXPECT_STREQ(t.OutputFormat->name, "mp4");
         }},
        {"bit-stream filters wait per kind",
         {{"vbsf", "h264_mp4toannexb"}, {"vbsf", "h264_metadata=aud=insert"}, {"absf", "aac_adtstoasc"},
          {"sbsf", "null"}, {"absf", ""}, {"absf", "=null"}},
         [](auto& t) {
             ASSERT_EQ(t.VideoBitstreamFilters.size(), 2u);
             EXPECT_EQ(t.VideoBitstreamFilters[0].Name, "h264_mp4toannexb");
             EXPECT_EQ(t.VideoBitstreamFilters[1].Name, "h264_metadata");
             EXPECT_EQ(t.VideoBitstreamFilters[1].Arguments, "aud=insert");
             ASSERT_EQ(t.AudioBitstreamFilters.size(), 1u);
             EXPECT_EQ(t.AudioBitstreamFilters[0].Name, "aac_adtstoasc");
             ASSERT_EQ(t.SubtitleBitstreamFilters.size(), 1u);
         }},
        {"plain fields",
         {{"vsync", "2"}, {"async", "1"}, {"adrift_threshold", "0.25"}, {"vglobal", "1"},
          {"dts_delta_threshold", "5"}, {"programid", "3"}, {"copyinkf", "1"}, {"vframes", "10"},
          {"aframes", "20"}, {"dframes", "30"}, {"loop_output", "0"}, {"vol", "512"}, {"aq", "4"},
          {"me_threshold", "7"}, {"top", "1"}, {"dc", "10"}, {"vc", "2"}, {"vdt", "1"}, {"fs", "10000000000"},
          {"muxdelay", "1.5"}, {"muxpreload", "0.25"}, {"pass", "2"}, {"passlogfile", "stats"},
          {"alang", "eng"}, {"slang", "ger"}, {"tvstd", "PAL"}, {"rc_override", "0,10,2"},
          {"vfilters", "scale=320:240"}, {"vfilters", ""}, {"vstats_file", "/tmp/v.log"}},
         [](auto& t) {
             EXPECT_EQ(t.VideoSyncMethod, 2);
             EXPECT_EQ(t.AudioSyncMethod, 1);
             EXPECT_FLOAT_EQ(t.AudioDriftThreshold, 0.25f);
             EXPECT_EQ(t.VideoGlobalHeader, 1);
             EXPECT_FLOAT_EQ(t.DtsDeltaThreshold, 5.0f);
             EXPECT_EQ(t.ProgramID, 3);
             EXPECT_EQ(t.CopyInitialNonKeyframes, 1);
             EXPECT_EQ(t.MaxFrames, (std::array<int, 4>{10, 20, 30, 2147483647}));
             EXPECT_EQ(t.LoopOutput, 0);
             EXPECT_EQ(t.AudioVolume, 512);
             EXPECT_FLOAT_EQ(t.AudioQScale, 4.0f);
             EXPECT_EQ(t.MeThreshold, 7);
             EXPECT_EQ(t.TopFieldFirst, 1);
             EXPECT_EQ(t.IntraDCPrecision, 10);
             EXPECT_EQ(t.VideoChannel, 2);
             EXPECT_EQ(t.VideoDiscard, 1);
             EXPECT_EQ(t.LimitFileSize, 10000000000LL);
             EXPECT_FLOAT_EQ(t.MuxMaxDelay, 1.5f);
             EXPECT_FLOAT_EQ(t.MuxPreload, 0.25f);
             EXPECT_EQ(t.DoPass, 2);
             EXPECT_EQ(t.PassLogFileName, "stats");
             EXPECT_EQ(t.AudioLanguage, "eng");
             EXPECT_EQ(t.SubtitleLanguage, "ger");
             EXPECT_EQ(t.VideoStandard, "PAL");
             EXPECT_EQ(t.VideoRcOverride, "0,10,2");
             EXPECT_EQ(t.VideoFilters, "scale=320:240");
             EXPECT_EQ(t.VStatsFileName, "/tmp/v.log");
         }},
        {"automatic statistics file name", {{"vstats", ""}},
         [](auto& t) {
             const std::string& n = t.VStatsFileName;
             ASSERT_EQ(n.size() > 17, true) << n;
             EXPECT_EQ(n.substr(n.size() - 17, 7), "vstats_");
             EXPECT_EQ(n.substr(n.size() - 4), ".log");
             EXPECT_EQ(n[0], '/');
         }},
    };
    for (const TValueCase& c : cases) {
        SetUp();
        SCOPED_TRACE(c.Label);
        ASSERT_EQ(ErrorOf(c.Options), "");
        c.Check(*task);
    }
}

TEST_F(OptionTest, LoggingOptions)
{
    for (const char* name : {"L", "h", "version", "formats", "i", "y", "benchmark", "apre", "vpre", "spre"}) {
        EXPECT_EQ(ErrorOf({{name, "x"}}), "") << name;
        EXPECT_TRUE(log.Has(std::string("Do nothing: option - ") + name)) << name;
    }
    const std::string warning =
        "WARNING: The bitrate parameter is set too low. It takes bits/s as argument, not kbits/s";
    for (const auto& [name, value, warns] : std::vector<std::tuple<std::string, std::string, bool>>{
             {"b", "300", true}, {"b", "300000", false}, {"vb", "999", true}, {"ab", "64", true},
             {"ab", "128000", false}}) {
        SetUp();
        ASSERT_EQ(ErrorOf({{name, value}}), "");
        EXPECT_EQ(log.Has(warning), warns) << name << "=" << value;
    }
    SetUp();
    task->SetOption("pix_fmt", "list");
    ASSERT_GT(log.Lines.size(), 50u);
    EXPECT_NE(log.Lines[1].second.find("yuv420p"), std::string::npos);
    EXPECT_EQ(task->FramePixFmt, -1);
    SetUp();
    task->SetOption("sample_fmt", "list");
    ASSERT_GT(log.Lines.size(), 5u);
    EXPECT_NE(log.Lines[1].second.find("u8"), std::string::npos);
    EXPECT_EQ(task->AudioSampleFmt, -1);
}

TEST_F(OptionTest, UnknownNamesGoToTheGenericHolder)
{
    TOptionContext& ctx = *task->OptionContext;
    task->SetOption("g", "25");
    EXPECT_EQ(ctx.CodecSets[AVMEDIA_TYPE_VIDEO]->gop_size, 25);
    EXPECT_NE(ctx.CodecSets[AVMEDIA_TYPE_AUDIO]->gop_size, 25);
    // "vb" sets the codec option "b" of the video set; "ab" is an audio option of its own.
    task->SetOption("vb", "800000");
    task->SetOption("ab", "96000");
    EXPECT_EQ(ctx.CodecSets[AVMEDIA_TYPE_VIDEO]->bit_rate, 800000);
    EXPECT_EQ(ctx.CodecSets[AVMEDIA_TYPE_AUDIO]->bit_rate, 96000);
    task->SetOption("packetsize", "2048");   // the container set
    EXPECT_EQ(ctx.FormatSet->packet_size, 2048u);
    task->SetOption("sws_flags", "bicubic");   // the scaler set
    std::int64_t flags = 0;
    ASSERT_GE(av::av_opt_get_int(ctx.ScalerSet, "sws_flags", 0, &flags), 0);
    EXPECT_EQ(flags, SWS_BICUBIC);
    const std::vector<std::string> expected{"g", "b", "ab", "packetsize", "sws_flags"};
    EXPECT_EQ(ctx.SetNames, expected);

    // Names nobody knows, empty names and empty values are ignored.
    EXPECT_NO_THROW(task->SetOption("no_such_option", "1"));
    EXPECT_NO_THROW(task->SetOption("vno_such_option", "1"));
    EXPECT_NO_THROW(task->SetOption("", ""));
    EXPECT_FALSE(task->SetDefaultOption("g", "  "));
    EXPECT_EQ(ctx.SetNames, expected);

    // A known name with a bad value is reported through the library log, not raised.
    av::av_log_set_callback(CaptureLibraryLog);
    EXPECT_NO_THROW(task->SetOption("g", "many"));
    av::av_log_set_callback(av::av_log_default_callback);
    EXPECT_EQ(ctx.SetNames, expected);
    std::lock_guard lock(LibraryLogMutex);
    EXPECT_NE(std::find(LibraryLog.begin(), LibraryLog.end(), "Invalid value \"many\" for option \"g\"\n"),
              LibraryLog.end());
}

// "b" and "vb" are the video bit rate, "ab" the sound one: today's libraries flag the
// common "b" for both, and a video rate must not reach a sound encoder.
TEST_F(OptionTest, BitRatesReachOnlyTheirOwnMediaType)
{
    TOptionContext& ctx = *task->OptionContext;
    const std::int64_t audioDefault = ctx.CodecSets[AVMEDIA_TYPE_AUDIO]->bit_rate;
    task->SetOption("b", "600000");
    EXPECT_EQ(ctx.CodecSets[AVMEDIA_TYPE_VIDEO]->bit_rate, 600000);
    EXPECT_EQ(ctx.CodecSets[AVMEDIA_TYPE_AUDIO]->bit_rate, audioDefault);

    // Replayed onto encoders: each gets its own rate, and an encoder's own default
    // stays where no rate was given for its type.
    AVCodecContext* audio = av::avcodec_alloc_context3(nullptr);
    audio->bit_rate = 0;
    task->ApplyContextOptions(audio, ctx.CodecSets[AVMEDIA_TYPE_AUDIO], OptFlagAudio | OptFlagEncoding);
    EXPECT_EQ(audio->bit_rate, 0);
    task->SetOption("ab", "96000");
    task->ApplyContextOptions(audio, ctx.CodecSets[AVMEDIA_TYPE_AUDIO], OptFlagAudio | OptFlagEncoding);
    EXPECT_EQ(audio->bit_rate, 96000);
    AVCodecContext* video = av::avcodec_alloc_context3(nullptr);
    video->bit_rate = 0;
    task->ApplyContextOptions(video, ctx.CodecSets[AVMEDIA_TYPE_VIDEO], OptFlagVideo | OptFlagEncoding);
    EXPECT_EQ(video->bit_rate, 600000);
    av::avcodec_free_context(&audio);
    av::avcodec_free_context(&video);

    // The low-rate warning reads back the rate of the option's own type.
    const char* warning = "WARNING: The bitrate parameter is set too low. It takes bits/s as argument, not kbits/s";
    log.Lines.clear();
    task->SetOption("ab", "64");
    task->SetOption("vb", "700000");
    EXPECT_EQ(log.Count(warning), 1);
}

// The front end refuses the names that neither the option language nor the libraries
// know; the libraries' options of one codec or container are known too.
TEST_F(OptionTest, KnownOptionNames)
{
    for (const char* name : {"vcodec", "padcolor", "g", "vb", "ab", "packetsize", "sws_flags", "preset", "crf",
                             "movflags"})
        EXPECT_TRUE(TCustomFFmpeg::IsKnownOption(name)) << name;
    for (const char* name : {"vcodc", "foo", "", "vno_such_option", "Vcodec"})
        EXPECT_FALSE(TCustomFFmpeg::IsKnownOption(name)) << name;
}

TEST_F(OptionTest, DebugOptionRaisesTheLogLevel)
{
    const int before = av::av_log_get_level();
    task->SetOption("debug", "pict");
    EXPECT_EQ(task->Verbose, llDebug);
    EXPECT_EQ(av::av_log_get_level(), AV_LOG_DEBUG);
    task->SetOption("v", "0");
    EXPECT_EQ(task->Verbose, llError);
    EXPECT_EQ(av::av_log_get_level(), AV_LOG_ERROR);
    av::av_log_set_level(before);
}

TEST_F(OptionTest, RememberedOptionsAreReplayedByFlags)
{
    task->SetOption("g", "30");
    task->SetOption("ab", "128000");
    task->SetOption("vb", "640000");

    AVCodecContext* video = av::avcodec_alloc_context3(nullptr);
    AVCodecContext* audio = av::avcodec_alloc_context3(nullptr);
    TOptionContext& ctx = *task->OptionContext;
    task->ApplyContextOptions(video, ctx.CodecSets[AVMEDIA_TYPE_VIDEO], OptFlagVideo | OptFlagEncoding);
    task->ApplyContextOptions(audio, ctx.CodecSets[AVMEDIA_TYPE_AUDIO], OptFlagAudio | OptFlagEncoding);
    EXPECT_EQ(video->gop_size, 30);
    EXPECT_EQ(video->bit_rate, 640000);
    EXPECT_NE(audio->gop_size, 30);   // a video-only option does not reach an audio stream
    EXPECT_EQ(audio->bit_rate, 128000);
    av::avcodec_free_context(&video);
    av::avcodec_free_context(&audio);
}

TEST_F(OptionTest, TablesAreNeverOverrun)
{
    for (int i = 0; i < MaxStreamMaps; ++i) ASSERT_EQ(ErrorOf({{"map", "0.0"}}), "") << i;
    EXPECT_EQ(ErrorOf({{"map", "0.0"}}), "Too many stream maps: at most 400 are allowed");
    EXPECT_EQ(task->StreamMapCount, MaxStreamMaps);
    for (int i = 0; i < MaxMetaDataMaps; ++i) ASSERT_EQ(ErrorOf({{"map_meta_data", "0:0"}}), "") << i;
    EXPECT_EQ(ErrorOf({{"map_meta_data", "0:0"}}), "Too many metadata maps: at most 20 are allowed");
    EXPECT_EQ(task->MetaDataMapCount, MaxMetaDataMaps);
    // A map cut short reads what is there and never past the end.
    SetUp();
    EXPECT_EQ(ErrorOf({{"map", "1"}}), "");
    EXPECT_EQ(task->StreamMaps[0].FileIndex, 1);
    EXPECT_EQ(task->StreamMaps[0].StreamIndex, 0);
}

std::string ZeroMatrix()
{
    std::string s = "0";
    for (int i = 1; i < 64; ++i) s += ",0";
    return s;
}

TEST_F(OptionTest, ResetRestoresTheDefaults)
{
    TOptionContext* first = task->OptionContext.get();
    Apply({{"s", "640x480"}, {"vn", ""}, {"map", "0.1"}, {"metadata", "a=b"}, {"vcodec", "mpeg4"},
           {"intra_matrix", ZeroMatrix()}, {"g", "12"}, {"vbsf", "null"}});
    task->StopRequested = true;
    task->Running = true;
    task->TotalOutputDuration = 5;
    task->ResetOptionState();
    EXPECT_EQ(task->FrameWidth, 0);
    EXPECT_FALSE(task->VideoDisable);
    EXPECT_EQ(task->StreamMapCount, 0);
    EXPECT_TRUE(task->Metadata.empty());
    EXPECT_TRUE(task->Metadata.empty());
    EXPECT_TRUE(task->VideoCodecName.empty());
    EXPECT_TRUE(task->IntraMatrix.empty());
    EXPECT_TRUE(task->VideoBitstreamFilters.empty());
    EXPECT_EQ(task->AudioQScale, -99999.0f);
    EXPECT_EQ(task->RecordingTime, INT64_MAX);
    EXPECT_EQ(task->ScaleFlags, 4);
    EXPECT_FALSE(task->StopRequested);
    EXPECT_FALSE(task->Running);
    EXPECT_EQ(task->TotalOutputDuration, -1);
    ASSERT_NE(task->OptionContext, nullptr);
    EXPECT_NE(task->OptionContext.get(), first);
    EXPECT_TRUE(task->OptionContext->SetNames.empty());
    std::int64_t flags = 0;
    ASSERT_GE(av::av_opt_get_int(task->OptionContext->ScalerSet, "sws_flags", 0, &flags), 0);
    EXPECT_EQ(flags, 4);
}

TEST_F(OptionTest, PauseGateHoldsTheWorkerUntilOpened)
{
    task->WaitWhilePaused();   // open: returns at once
    task->SetPaused(true);
    EXPECT_TRUE(task->IsPaused());
    std::atomic<bool> passed{false};
    std::thread worker([&] {
        task->WaitWhilePaused();
        passed = true;
    });
    EXPECT_FALSE(passed);   // still held (or not yet started); it cannot pass while closed
    task->SetPaused(false);
    worker.join();
    EXPECT_TRUE(passed);
}

}  // namespace
