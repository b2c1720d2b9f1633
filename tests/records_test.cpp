#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <unistd.h>

#include "engine/FFmpeg.h"
#include "engine/FFmpegRecords.h"
#include "media/AVUtilStubs.h"
#include "media/FFmpegLoader.h"

using namespace kv::engine;
namespace fs = std::filesystem;
using TOptionList = std::vector<std::pair<std::string, std::string>>;

namespace {

class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* zone)
    {
        if (const char* old = std::getenv("TZ")) old_ = old, hadOld_ = true;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ScopedTimeZone()
    {
        if (hadOld_)
            setenv("TZ", old_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    std::string old_;
    bool hadOld_ = false;
};

// The records are applied to tasks with a real option state, as the component does.
class OptionRecords : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        ASSERT_TRUE(kv::media::FFLoader.LoadLibs(kv::media::EngineLibraries)) << kv::media::FFLoader.LastErrMsg();
        av::av_log_set_level(AV_LOG_QUIET);
    }
    static std::unique_ptr<TCustomFFmpeg> NewTask(const TOptionList& before = {})
    {
        auto task = std::make_unique<TCustomFFmpeg>();
        task->ResetOptionState();
        task->SetLogLevel(llQuiet);
        for (const auto& [name, value] : before) task->SetOption(name, value);
        return task;
    }
};

}  // namespace

TEST_F(OptionRecords, ResetRecordsApplyOnlyTheAlwaysAssignedFields)
{
    TOutputOptions output;
    output.AudioBitrate = 128000;
    std::strcpy(output.Title, "x");
    output.HookRanges = "1-2";
    output.TargetDefaultNorm = 2;
    InitOutputOptions(output);
    EXPECT_EQ(output.AudioBitrate, -1);
    EXPECT_EQ(output.Title[0], 0);
    EXPECT_EQ(output.TargetDefaultNorm, 1);
    EXPECT_EQ(output.VideoSyncMethod, -1);
    EXPECT_EQ(output.TimeStamp, -1.0);

    // The always-assigned fields overwrite what was set before; the others leave it.
    auto task = NewTask({{"an", "1"}, {"vn", "1"}, {"sn", "1"}, {"alang", "eng"}, {"slang", "fre"}, {"async", "1"},
                         {"vsync", "2"}, {"padcolor", "16777215"}, {"s", "320x240"}, {"t", "3"}, {"ss", "1"}});
    ApplyOutputOptions(*task, output, nullptr);
    EXPECT_FALSE(task->AudioDisable);
    EXPECT_FALSE(task->VideoDisable);
    EXPECT_FALSE(task->SubtitleDisable);
    EXPECT_EQ(task->AudioLanguage, "");
    EXPECT_EQ(task->SubtitleLanguage, "");
    EXPECT_EQ(task->AudioSyncMethod, 0);
    EXPECT_EQ(task->VideoSyncMethod, -1);
    auto black = NewTask();
    black->SetPadColor(0);
    EXPECT_EQ(std::make_tuple(task->PadColorY, task->PadColorU, task->PadColorV),
              std::make_tuple(black->PadColorY, black->PadColorU, black->PadColorV));
    EXPECT_EQ(task->FrameWidth, 320);
    EXPECT_EQ(task->RecordingTime, 3000000);
    EXPECT_EQ(task->StartTime, 1000000);
    EXPECT_EQ(task->OutputFormat, nullptr);
    EXPECT_TRUE(task->Metadata.empty());
    EXPECT_TRUE(task->TimeRanges.empty());

    TInputOptions input;
    input.StartTime = 5;
    InitInputOptions(input);
    auto inputTask = NewTask({{"ss", "4"}, {"programid", "3"}});
    ApplyInputOptions(*inputTask, input);
    EXPECT_EQ(inputTask->StartTime, 4000000);
    EXPECT_EQ(inputTask->ProgramID, 3);
    EXPECT_EQ(inputTask->InputFormat, nullptr);
}

TEST_F(OptionRecords, FieldsAreAppliedInTheirFixedOrder)
{
    TOutputOptions o;
    o.Target = 1;
    o.TargetNorm = 1;
    o.ExtOptions = "r=30\nvcodec=mpeg4";
    o.ForceFormat = "avi";
    o.FrameSize = "320x240";
    o.CropTop = 10;
    o.CropLeft = 0;
    o.MuxDelay = 0.5f;
    o.CopyTimestamps = true;
    o.StartTime = 2000;
    o.StartTimeUS = 3000000;
    o.Duration = 5000;
    o.DurationUS = 4500000;
    auto task = NewTask();
    ApplyOutputOptions(*task, o, nullptr);

    // The preset first (its audio codec stays), then the free lines over it, then
    // the fields over both, in table order.
    EXPECT_EQ(task->AudioCodecName, "mp2");
    EXPECT_EQ(av_cmp_q(task->FrameRate, AVRational{30, 1}), 0);
    EXPECT_EQ(task->VideoCodecName, "mpeg4");
    ASSERT_NE(task->OutputFormat, nullptr);
    EXPECT_STREQ(task->OutputFormat->name, "avi");
    // A crop cuts the frame size set before it.
    EXPECT_EQ(task->FrameWidth, 320);
    EXPECT_EQ(task->FrameHeight, 230);
    EXPECT_EQ(task->CropTop, 10);
    EXPECT_EQ(task->CropLeft, 0);
    EXPECT_FLOAT_EQ(task->MuxMaxDelay, 0.5f);
    EXPECT_TRUE(task->CopyTs);
    EXPECT_EQ(task->StartTime, 3000000);
    EXPECT_EQ(task->RecordingTime, 4500000);

    // A crop given without a frame size before it is outside the image.
    TOutputOptions cropOnly;
    cropOnly.CropTop = 10;
    auto refused = NewTask();
    EXPECT_THROW(ApplyOutputOptions(*refused, cropOnly, nullptr), FFmpegException);
}

TEST_F(OptionRecords, MicrosecondFieldsWinAndUnsetTimesStayUntouched)
{
    struct Case {
        std::int32_t ms;
        std::int64_t us;
        std::int64_t expected;
    };
    const Case cases[] = {
        {2000, 3000000, 3000000},
        {2000, -1, 2000000},
        {0, -1, 7000000},  // what was set before stays
        {-1, 1500, 1500},
    };
    for (const Case& c : cases) {
        TOutputOptions o;
        o.StartTime = c.ms;
        o.StartTimeUS = c.us;
        auto outputTask = NewTask({{"ss", "7"}});
        ApplyOutputOptions(*outputTask, o, nullptr);
        EXPECT_EQ(outputTask->StartTime, c.expected) << c.ms << "/" << c.us;

        TInputOptions i;
        i.StartTime = c.ms;
        i.StartTimeUS = c.us;
        auto inputTask = NewTask({{"ss", "7"}});
        ApplyInputOptions(*inputTask, i);
        EXPECT_EQ(inputTask->StartTime, c.expected) << c.ms << "/" << c.us;
    }
    TOutputOptions o;
    o.Duration = 5000;
    auto task = NewTask();
    ApplyOutputOptions(*task, o, nullptr);
    EXPECT_EQ(task->RecordingTime, 5000000);
}

TEST_F(OptionRecords, InputRecordOrderAndSkippedStreamLines)
{
    TInputOptions i;
    // A stream line would need an output; for an input it is skipped.
    i.ExtOptions = "newaudio\r\nre=1\r\nf=avi\r\n";
    i.ForceFormat = "mpegts";
    i.StartTime = 1000;
    i.ProgramID = 0;
    auto task = NewTask({{"programid", "5"}});
    ApplyInputOptions(*task, i);
    EXPECT_TRUE(task->RateEmu);
    ASSERT_NE(task->InputFormat, nullptr);
    EXPECT_STREQ(task->InputFormat->name, "mpegts");
    EXPECT_EQ(task->StartTime, 1000000);
    EXPECT_EQ(task->ProgramID, 0);

    // The record's format is the input's only, whatever the output's.
    TInputOptions onlyFormat;
    onlyFormat.ForceFormat = "avi";
    auto other = NewTask();
    ApplyInputOptions(*other, onlyFormat);
    ASSERT_NE(other->InputFormat, nullptr);
    EXPECT_EQ(other->OutputFormat, nullptr);
    onlyFormat.ForceFormat = "no-such-format";
    EXPECT_THROW(ApplyInputOptions(*other, onlyFormat), FFmpegException);
}

TEST_F(OptionRecords, ExtOptionsLines)
{
    struct Case {
        const char* text;
        TOptionList expected;
    };
    const Case cases[] = {
        {"vn=1\r\n", {{"vn", "1"}}},
        {"  \r\n\t", {}},
        {"a=1\rb\n\nc=x=y", {{"a", "1"}, {"b", ""}, {"", ""}, {"c", "x=y"}}},
        {"a=1\r\n b = 2 ", {{"a", "1"}, {" b ", " 2"}}},
    };
    for (const Case& c : cases) EXPECT_EQ(SplitExtOptions(c.text), c.expected) << c.text;

    // Stream lines wait for the opened output; the other lines set the first stream.
    const fs::path dir = fs::temp_directory_path() / ("kv_records_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    {
        auto task = NewTask();
        ASSERT_TRUE(task->OpenInputFile(std::string(KV_TEST_MEDIA_DIR) + "/avi_mpeg4_mp2.avi")) << task->LastErrorMessage;
        TOutputOptions o;
        o.ExtOptions = "newaudio\nvtag=XVID\nacodec=mp2";
        ApplyOutputOptions(*task, o, nullptr);
        EXPECT_EQ(task->VideoCodecTag, MKTAG('X', 'V', 'I', 'D'));
        ASSERT_GE(task->OpenOutputFile((dir / "out.mkv").string()), 0) << task->LastErrorMessage;
        ASSERT_EQ(task->OutputFiles[0]->nb_streams, 2u);
        ApplyNewStreamOptions(*task, o);
        EXPECT_EQ(task->OutputFiles[0]->nb_streams, 3u);
        task->CleanupTask();
    }
    fs::remove_all(dir);
}

// A front end's lines for the always-applied fields go into those fields, so that
// the fields applied after the lines repeat the lines' values instead of undoing them.
TEST_F(OptionRecords, LinesForAlwaysAppliedFieldsWin)
{
    TOutputOptions o;
    o.ExtOptions = "an=1\nvn\nsn=0\ncopyts=0\nalang=fra\nslang=deu\nasync=1\nvsync=0x2\npadcolor=FF0000";
    CarryExtOptionsIntoFields(o);
    EXPECT_TRUE(o.DisableAudio);
    EXPECT_TRUE(o.DisableVideo);
    EXPECT_FALSE(o.DisableSubtitle);
    EXPECT_TRUE(o.CopyTimestamps);
    EXPECT_EQ(o.AudioLanguage, "fra");
    EXPECT_EQ(o.SubtitleLanguage, "deu");
    EXPECT_EQ(o.AudioSyncMethod, 1);
    EXPECT_EQ(o.VideoSyncMethod, 2);
    EXPECT_EQ(o.PadColor, 0xFF0000);

    auto task = NewTask();
    ApplyOutputOptions(*task, o, nullptr);
    EXPECT_TRUE(task->AudioDisable);
    EXPECT_TRUE(task->VideoDisable);
    EXPECT_EQ(task->AudioLanguage, "fra");
    EXPECT_EQ(task->AudioSyncMethod, 1);
    EXPECT_EQ(task->VideoSyncMethod, 2);
    EXPECT_EQ(task->PadColorY, 29);

    // A value the option refuses is left to the line, which reports it.
    TOutputOptions bad;
    bad.ExtOptions = "padcolor=GG0000\nasync=x";
    CarryExtOptionsIntoFields(bad);
    EXPECT_EQ(bad.PadColor, 0);
    EXPECT_EQ(bad.AudioSyncMethod, 0);
    EXPECT_THROW(ApplyOutputOptions(*NewTask(), bad, nullptr), FFmpegException);
}

TEST_F(OptionRecords, AnInvalidValueStopsTheApplication)
{
    TOutputOptions o;
    o.ExtOptions = "pass=3";
    o.VideoCodec = "mpeg4";
    auto task = NewTask();
    try {
        ApplyOutputOptions(*task, o, nullptr);
        FAIL() << "no error";
    } catch (const FFmpegException& e) {
        EXPECT_STREQ(e.what(), "pass number can be only 1 or 2");
    }
    EXPECT_EQ(task->VideoCodecName, "");
}

TEST_F(OptionRecords, HookRanges)
{
    using R = TCustomFFmpeg::TTimeRange;
    auto same = [](const std::vector<R>& a, const std::vector<R>& b) {
        return a.size() == b.size() &&
               std::equal(a.begin(), a.end(), b.begin(), [](R x, R y) { return x.Start == y.Start && x.End == y.End; });
    };
    EXPECT_TRUE(same(ParseHookRanges("10-20, 5-8 ,30-25"), {{5000, 8000}, {10000, 20000}}));
    EXPECT_TRUE(same(ParseHookRanges("x-5,7,3-3"), {{3000, 3000}, {-1000, 5000}}));
    EXPECT_TRUE(ParseHookRanges("").empty());

    struct Sink : TTaskEventSink {
        void DoBeforeHook(TCustomFFmpeg*, std::int64_t, THookAction&) override {}
        void DoCustomHook(TCustomFFmpeg*, kv::media::TBitmap&, int, std::int64_t, bool&, bool&) override {}
        void DoLog(TCustomFFmpeg*, TLogLevel, const std::string&) override {}
        void DoPreviewBitmap(TCustomFFmpeg*, kv::media::TBitmap&, int, std::int64_t) override {}
        void DoProgress(TCustomFFmpeg*, int, int, int, float, float, std::int64_t, int) override {}
        void DoTerminate(TCustomFFmpeg*) override {}
    } sink;
    TOutputOptions o;
    o.HookRanges = "10-20,5-8";
    TCustomFFmpeg ranged;
    ranged.TimeRangeIndex = 3;
    ApplyOutputOptions(ranged, o, &sink);
    EXPECT_EQ(ranged.TimeRanges.size(), 2u);
    EXPECT_EQ(ranged.TimeRangeIndex, 0);
    EXPECT_EQ(ranged.TimeRanges[0].End, 8000);
    EXPECT_EQ(ranged.CustomHookHandler, nullptr);

    // The hook flags take precedence over the ranges, the custom hook over the other.
    o.CustomHook = true;
    o.BeforeHook = true;
    TCustomFFmpeg custom;
    ApplyOutputOptions(custom, o, &sink);
    EXPECT_EQ(custom.CustomHookHandler, &sink);
    EXPECT_EQ(custom.BeforeHookHandler, nullptr);
    EXPECT_TRUE(custom.TimeRanges.empty());
    o.CustomHook = false;
    TCustomFFmpeg before;
    ApplyOutputOptions(before, o, &sink);
    EXPECT_EQ(before.BeforeHookHandler, &sink);
    EXPECT_TRUE(before.TimeRanges.empty());
}

TEST_F(OptionRecords, MetadataFieldsInTheirOrder)
{
    TOutputOptions o;
    o.Year = 2009;
    o.Track = 0;  // not set
    std::strcpy(o.Title, "Title");
    o.Author[5] = 'x';  // first byte 0: not set
    std::strcpy(o.Album, "Album");
    std::strcpy(o.Genre, "Rock");
    std::memset(o.Comment, 'c', sizeof o.Comment);  // no terminator: the field's size bounds it
    auto task = NewTask();
    ApplyOutputOptions(*task, o, nullptr);
    const TOptionList expected{{"year", "2009"},
                               {"title", "Title"},
                               {"comment", std::string(512, 'c')},
                               {"album", "Album"},
                               {"genre", "Rock"}};
    EXPECT_EQ(task->Metadata, expected);
    EXPECT_EQ(task->Metadata.size(), 5u);
}

TEST_F(OptionRecords, TimeStampIsLocalTimeTurnedIntoUtc)
{
    {
        ScopedTimeZone zone("UTC0");
        EXPECT_EQ(TimeStampText(25569.5), "1970-01-01T12:00:00Z");
    }
    {
        ScopedTimeZone zone("XXX-2");  // two hours east of UTC
        EXPECT_EQ(TimeStampText(25569.5), "1970-01-01T10:00:00Z");
        TOutputOptions o;
        o.TimeStamp = 40000.25;  // 2009-07-06 06:00 local
        auto task = NewTask();
        ApplyOutputOptions(*task, o, nullptr);
        EXPECT_EQ(task->RecTimestamp, 1246852800);  // 2009-07-06 04:00 UTC
    }
}

TEST_F(OptionRecords, TargetPresetsCarryTheirNorm)
{
    struct Case {
        int target, norm, defaultNorm;
        const char* frameRate;  // set before, as an input record's free line would
        const char* videoCodec;
        int width, height;
    };
    const Case cases[] = {
        {1, 1, 2, nullptr, "mpeg1video", 352, 288},
        {2, 2, 1, nullptr, "mpeg2video", 480, 480},
        {3, 7, 1, "15", "mpeg2video", 720, 576},  // automatic, undecided: the default norm
        {3, 0, 2, "15", "mpeg2video", 720, 480},
        {1, 0, 2, "25", "mpeg1video", 352, 288},  // automatic, decided by the rate
    };
    for (const Case& c : cases) {
        TOutputOptions o;
        o.Target = c.target;
        o.TargetNorm = c.norm;
        o.TargetDefaultNorm = c.defaultNorm;
        auto task = c.frameRate ? NewTask({{"r", c.frameRate}}) : NewTask();
        ApplyOutputOptions(*task, o, nullptr);
        EXPECT_EQ(task->VideoCodecName, c.videoCodec) << c.target << "/" << c.norm;
        EXPECT_EQ(task->FrameWidth, c.width) << c.target << "/" << c.norm;
        EXPECT_EQ(task->FrameHeight, c.height) << c.target << "/" << c.norm;
    }
    TOutputOptions none;
    none.Target = 4;
    auto task = NewTask();
    ApplyOutputOptions(*task, none, nullptr);
    EXPECT_EQ(task->VideoCodecName, "");
    EXPECT_EQ(task->OutputFormat, nullptr);
}
