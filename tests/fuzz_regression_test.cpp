// Inputs the fuzz targets (fuzz/) found, each of which once crashed, hung or upset a
// sanitizer, run the way their target runs them. The media inputs are tiny files
// kept in tests/fixtures/fuzz/.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include "engine/FFmpeg.h"
#include "engine/FFmpegRecords.h"
#include "media/AVProbe.h"
#include "tests/support/VideoConvert.h"
#include "workflow/IniOptions.h"

using namespace kv::engine;
using namespace kv::test;

namespace {

std::string Found(const std::string& name)
{
    return std::string(KV_TEST_FIXTURE_DIR) + "/fuzz/" + name;
}

// The small output of the conversion target.
const TOptionList SmallOutput = {{"s", "64x48"}, {"vcodec", "mpeg4"}, {"vb", "64000"}, {"acodec", "mp2"},
                                 {"ar", "22050"}, {"ac", "1"}, {"ab", "32000"}, {"sn", "1"}};

struct TMediaCase {
    const char* File;
    const char* What;      // what went wrong
    bool Finishes;         // false: refused or failed with Message
    const char* Message;
};

class FoundMediaTest : public TOutputFolderTest {};

TEST_F(FoundMediaTest, ConversionsEndWithSuccessOrAReason)
{
    const TMediaCase cases[] = {
        {"unknown_pixel_format.bin", "a video stream whose pixel format the analysis cannot tell: the scaler "
                                     "library aborted the process; nothing of it decodes",
         false, "Nothing to convert: the input has no data from the start time on"},
        {"huge_frame_height.bin", "a picture 64 x 70468681: its area overflowed", false,
         "Unsupported codec (id=0) for input stream #0.0"},
    };
    for (const TMediaCase& c : cases) {
        SCOPED_TRACE(std::string(c.File) + ": " + c.What);
        const std::string output = Out("out.avi");
        const TConvertResult r = Convert(sink, Found(c.File), {}, output, SmallOutput);
        EXPECT_EQ(r.Finished, c.Finishes) << r.Message;
        EXPECT_EQ(r.Message, c.Message);
        if (r.Finished) {
            kv::media::TAVProbe probe;
            EXPECT_TRUE(probe.OpenFile(output)) << probe.LastError();
        }
    }
}

TEST_F(FoundMediaTest, RecordingTimeEndsARunOfCopies)
{
    // The picture after a ten-hour gap was copied up to its time, whatever the
    // recording time: ten hours of output for a cut of five seconds.
    TOptionList options = SmallOutput;
    options.insert(options.end(), {{"r", "25"}, {"t", "5"}});
    const std::string output = Out("cut.avi");
    const TConvertResult r = Convert(sink, "gap_10h.mkv", {}, output, options);
    ASSERT_TRUE(r.Finished) << r.Message;
    const TDecodedVideo video = DecodeVideo(output);
    ASSERT_TRUE(video.Ok && !video.Pts.empty());
    // Pictures still in the decoder when the loop ends follow, as after any cut.
    EXPECT_GE(video.Pts.back(), 4960000);
    EXPECT_LT(video.Pts.back(), 5100000);
}

std::string Get(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class FoundSettingsTest : public TOutputFolderTest {};

TEST_F(FoundSettingsTest, LoadSaveLoadKeepsProfilesAndChoices)
{
    using kv::workflow::TIniOptions;
    const struct {
        const char* What;
        std::string Text;
        int FormatCount;      // as read
        std::string Folder;   // the output folder as read
    } cases[] = {
        {"a carriage return inside a value was dropped on saving", "[Output]\r\nFolder='/a'\rRMAT1]\r\n", 1,
         "'/a'\rRMAT1]"},
        {"a carriage return ending a value was saved as part of the line end", "[Output]\nFolder=/a\r\r\n", 1,
         "/a\r"},
        // Smaller counts, such as 20000, took minutes to save.
        {"a count of two thousand million profiles ran out of memory",
         "[Format]\nCount=2000000000\n[Format1]\nVolume=7\n", kv::workflow::MaxFormatCount, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        const std::string path = Out("kestravo.ini");
        std::ofstream(path, std::ios::binary) << c.Text;
        TIniOptions first;
        first.LoadFromFile(path);
        EXPECT_EQ(first.FormatCount, c.FormatCount);
        EXPECT_EQ(first.OutputFolder, c.Folder);
        first.SaveToFile(path);
        const std::string saved = Get(path);
        TIniOptions second;
        second.LoadFromFile(path);
        EXPECT_EQ(second.FormatCount, first.FormatCount);
        EXPECT_EQ(second.Formats, first.Formats);
        EXPECT_EQ(second.OutputFormat, first.OutputFormat);
        EXPECT_EQ(second.OutputFolder, first.OutputFolder);
        EXPECT_EQ(second.SnapshotFormat, first.SnapshotFormat);
        EXPECT_EQ(second.SnapshotFolder, first.SnapshotFolder);
        EXPECT_EQ(second.SnapshotNaming, first.SnapshotNaming);
        second.SaveToFile(path);
        EXPECT_EQ(Get(path), saved);
    }
}

TEST(FoundTextTest, HookRangesBeyondTheMicrosecondRangeSaturate)
{
    // The milliseconds overflowed on their way to microseconds.
    constexpr std::int64_t max = std::numeric_limits<std::int64_t>::max();
    const struct {
        const char* Text;
        std::vector<std::pair<std::int64_t, std::int64_t>> Ranges;
    } cases[] = {
        {"9223372036854775-9223372036854775807", {{9223372036854775000, max}}},
        {"5-9223372036854775807, 1-2", {{1000, 2000}, {5000, max}}},
        {"9223372036854775807-9223372036854775807", {{max, max}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Text);
        std::vector<std::pair<std::int64_t, std::int64_t>> ranges;
        for (const auto& r : ParseHookRanges(c.Text)) ranges.emplace_back(r.Start, r.End);
        EXPECT_EQ(ranges, c.Ranges);
    }
}

}  // namespace
