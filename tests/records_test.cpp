#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "engine/FFmpegRecords.h"
#include "tests/support/CoreOptions.h"

using namespace kv::engine;
using kv::test::AppliedOptions;
using kv::test::TOptionList;

namespace {

// Position of the n-th (name, value) pair, or -1.
int PositionOf(const TOptionList& list, const std::string& name, const std::string& value)
{
    auto it = std::find(list.begin(), list.end(), std::make_pair(name, value));
    return it == list.end() ? -1 : static_cast<int>(it - list.begin());
}

TOptionList Named(const TOptionList& list, const std::string& name)
{
    TOptionList result;
    for (const auto& item : list)
        if (item.first == name) result.push_back(item);
    return result;
}

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

}  // namespace

TEST(OptionRecords, ResetRecordsApplyOnlyTheAlwaysAssignedFields)
{
    GTEST_SKIP() << "to be rewritten against the option state of the core";
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

    TCustomFFmpeg task;
    ApplyOutputOptions(task, output, nullptr);
    const TOptionList expected{{"an", "0"},    {"alang", ""},  {"async", "0"}, {"vn", "0"},
                               {"padcolor", "0"}, {"vsync", "-1"}, {"sn", "0"},   {"slang", ""}};
    EXPECT_EQ(AppliedOptions(task), expected);
    EXPECT_EQ(task.TimeRangeCount, 0);

    TInputOptions input;
    input.StartTime = 5;
    InitInputOptions(input);
    TCustomFFmpeg inputTask;
    ApplyInputOptions(inputTask, input);
    EXPECT_TRUE(AppliedOptions(inputTask).empty());
}

TEST(OptionRecords, FieldsAreAppliedInTheirFixedOrder)
{
    GTEST_SKIP() << "to be rewritten against the option state of the core";
    TOutputOptions o;
    o.Target = 1;
    o.TargetNorm = 1;
    o.ExtOptions = "g=12";
    o.ForceFormat = "avi";
    o.FrameSize = "640x480";
    o.CropTop = 10;
    o.CropLeft = 0;
    o.PadBottom = 4;
    o.GOPSize = 25;
    o.VideoBitrate = 800000;
    o.MuxDelay = 0.5f;
    o.CopyTimestamps = true;
    o.StartTime = 2000;
    o.StartTimeUS = 3000000;
    o.Duration = 5000;
    o.DurationUS = 4500000;
    TCustomFFmpeg task;
    ApplyOutputOptions(task, o, nullptr);
    TOptionList applied = AppliedOptions(task);

    // The preset first, then the free lines, then the fields in table order.
    EXPECT_EQ(applied.front(), std::make_pair(std::string("target"), std::string("pal-vcd")));
    EXPECT_EQ(applied[1], std::make_pair(std::string("g"), std::string("12")));
    const std::vector<std::pair<std::string, std::string>> order{
        {"f", "avi"},       {"muxdelay", "0.5"}, {"s", "640x480"},     {"croptop", "10"},
        {"cropleft", "0"},  {"padbottom", "4"},  {"padcolor", "0"},     {"g", "25"},
        {"vb", "800000"},   {"copyts", "1"},     {"ss", "2.000000"},    {"ss", "3.000000"},
        {"t", "5.000000"},  {"t", "4.500000"}};
    int last = -1;
    for (const auto& [name, value] : order) {
        int at = PositionOf(applied, name, value);
        ASSERT_GT(at, last) << name << "=" << value;
        last = at;
    }
}

TEST(OptionRecords, MicrosecondFieldsWinAndUnsetTimesStayUntouched)
{
    GTEST_SKIP() << "to be rewritten against the option state of the core";
    struct Case {
        std::int32_t ms;
        std::int64_t us;
        TOptionList expected;
    };
    const Case cases[] = {
        {2000, 3000000, {{"ss", "2.000000"}, {"ss", "3.000000"}}},
        {2000, -1, {{"ss", "2.000000"}}},
        {0, -1, {}},
        {-1, 1500, {{"ss", "0.001500"}}},
    };
    for (const Case& c : cases) {
        TOutputOptions o;
        o.StartTime = c.ms;
        o.StartTimeUS = c.us;
        TCustomFFmpeg outputTask;
        ApplyOutputOptions(outputTask, o, nullptr);
        EXPECT_EQ(Named(AppliedOptions(outputTask), "ss"), c.expected) << c.ms << "/" << c.us;

        TInputOptions i;
        i.StartTime = c.ms;
        i.StartTimeUS = c.us;
        TCustomFFmpeg inputTask;
        ApplyInputOptions(inputTask, i);
        EXPECT_EQ(Named(AppliedOptions(inputTask), "ss"), c.expected) << c.ms << "/" << c.us;
    }
    TOutputOptions o;
    o.Duration = 5000;
    TCustomFFmpeg task;
    ApplyOutputOptions(task, o, nullptr);
    EXPECT_EQ(Named(AppliedOptions(task), "t"), (TOptionList{{"t", "5.000000"}}));
}

TEST(OptionRecords, InputRecordOrderAndSkippedStreamLines)
{
    GTEST_SKIP() << "to be rewritten against the option state of the core";
    TInputOptions i;
    i.ExtOptions = "newaudio\r\nthreads=2\r\n";
    i.ForceFormat = "mpegts";
    i.StartTime = 1000;
    i.ProgramID = 0;
    TCustomFFmpeg task;
    ApplyInputOptions(task, i);
    const TOptionList expected{{"threads", "2"}, {"f", "mpegts"}, {"ss", "1.000000"}, {"programid", "0"}};
    EXPECT_EQ(AppliedOptions(task), expected);
}

TEST(OptionRecords, ExtOptionsLines)
{
    GTEST_SKIP() << "to be rewritten against the option state of the core";
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

    // Stream lines wait for the opened output, in their own order.
    TOutputOptions o;
    o.ExtOptions = "newsubtitle\nvtag=XVID\nnewaudio\nnewvideo=";
    TCustomFFmpeg task;
    ApplyOutputOptions(task, o, nullptr);
    EXPECT_EQ(PositionOf(AppliedOptions(task), "newaudio", ""), -1);
    EXPECT_EQ(AppliedOptions(task)[0], std::make_pair(std::string("vtag"), std::string("XVID")));
    TCustomFFmpeg streams;
    ApplyNewStreamOptions(streams, o);
    EXPECT_EQ(AppliedOptions(streams), (TOptionList{{"newsubtitle", ""}, {"newaudio", ""}, {"newvideo", ""}}));
}

TEST(OptionRecords, AnInvalidValueStopsTheApplication)
{
    TOutputOptions o;
    o.ExtOptions = "pass=3";
    o.VideoCodec = "mpeg4";
    TCustomFFmpeg task;
    try {
        ApplyOutputOptions(task, o, nullptr);
        FAIL() << "no error";
    } catch (const FFmpegException& e) {
        EXPECT_STREQ(e.what(), "pass number can be only 1 or 2");
    }
    EXPECT_EQ(PositionOf(AppliedOptions(task), "vcodec", "mpeg4"), -1);
}

TEST(OptionRecords, HookRanges)
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
        void DoLog(TCustomFFmpeg*, int, const std::string&) override {}
        void DoPreviewBitmap(TCustomFFmpeg*, kv::media::TBitmap&, int, std::int64_t) override {}
        void DoProgress(TCustomFFmpeg*, int, int, int, float, float, std::int64_t, int) override {}
        void DoTerminate(TCustomFFmpeg*) override {}
    } sink;
    TOutputOptions o;
    o.HookRanges = "10-20,5-8";
    TCustomFFmpeg ranged;
    ranged.TimeRangeIndex = 3;
    ApplyOutputOptions(ranged, o, &sink);
    EXPECT_EQ(ranged.TimeRangeCount, 2);
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
    EXPECT_EQ(custom.TimeRangeCount, 0);
    o.CustomHook = false;
    TCustomFFmpeg before;
    ApplyOutputOptions(before, o, &sink);
    EXPECT_EQ(before.BeforeHookHandler, &sink);
    EXPECT_EQ(before.TimeRangeCount, 0);
}

TEST(OptionRecords, MetadataFieldsInTheirOrder)
{
    GTEST_SKIP() << "to be rewritten against the option state of the core";
    TOutputOptions o;
    o.Year = 2009;
    o.Track = 0;  // not set
    std::strcpy(o.Title, "Title");
    o.Author[5] = 'x';  // first byte 0: not set
    std::strcpy(o.Album, "Album");
    std::strcpy(o.Genre, "Rock");
    std::memset(o.Comment, 'c', sizeof o.Comment);  // no terminator: the field's size bounds it
    TCustomFFmpeg task;
    ApplyOutputOptions(task, o, nullptr);
    const TOptionList expected{{"metadata", "year=2009"},
                               {"metadata", "title=Title"},
                               {"metadata", "comment=" + std::string(512, 'c')},
                               {"metadata", "album=Album"},
                               {"metadata", "genre=Rock"}};
    EXPECT_EQ(Named(AppliedOptions(task), "metadata"), expected);
}

TEST(OptionRecords, TimeStampIsLocalTimeTurnedIntoUtc)
{
    GTEST_SKIP() << "to be rewritten against the option state of the core";
    {
        ScopedTimeZone zone("UTC0");
        EXPECT_EQ(TimeStampText(25569.5), "1970-01-01T12:00:00Z");
    }
    {
        ScopedTimeZone zone("XXX-2");  // two hours east of UTC
        EXPECT_EQ(TimeStampText(25569.5), "1970-01-01T10:00:00Z");
        TOutputOptions o;
        o.TimeStamp = 40000.25;  // 2009-07-06 06:00 local
        TCustomFFmpeg task;
        ApplyOutputOptions(task, o, nullptr);
        EXPECT_EQ(Named(AppliedOptions(task), "timestamp"), (TOptionList{{"timestamp", "2009-07-06T04:00:00Z"}}));
    }
}

TEST(OptionRecords, TargetPresetsCarryTheirNorm)
{
    GTEST_SKIP() << "to be rewritten against the option state of the core";
    struct Case {
        int target, norm;
        const char* expected;
    };
    const Case cases[] = {{1, 0, "vcd"}, {2, 1, "pal-svcd"}, {3, 2, "ntsc-dvd"}, {3, 7, "dvd"}};
    for (const Case& c : cases) {
        TOutputOptions o;
        o.Target = c.target;
        o.TargetNorm = c.norm;
        TCustomFFmpeg task;
        ApplyOutputOptions(task, o, nullptr);
        EXPECT_EQ(AppliedOptions(task).front(), std::make_pair(std::string("target"), std::string(c.expected)));
    }
    TOutputOptions none;
    none.Target = 4;
    TCustomFFmpeg task;
    ApplyOutputOptions(task, none, nullptr);
    EXPECT_EQ(Named(AppliedOptions(task), "target").size(), 0u);
}
