// Picture and sound of converted files stay together and keep their length: the
// flash-and-beep clips (white flashes and beeps at 1.0 s and 3.0 s of a 4 s clip)
// through starts, lengths, stream copy, frame-rate changes and codec thread counts,
// every stream of every result read back.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <sstream>

#include "engine/FFmpeg.h"
#include "tests/support/FlashBeep.h"
#include "tests/support/VideoConvert.h"

using namespace kv::engine;
using namespace kv::test;
namespace fs = std::filesystem;

namespace {

constexpr double ClipLength = 4.0;
constexpr double ClipRate = 30;
constexpr double FlashBeepAt[] = {1.0, 3.0};
// Time stamps of containers are rounded to milliseconds.
constexpr double Rounding = 0.002;

const char* const Clips[] = {"flash_beep.mp4", "flash_beep.mkv", "flash_beep.avi"};

struct TTimingCase {
    const char* Name;
    TOptionList Input, Output;
    const char* Ext = nullptr;   // output container by extension; null: the clip's own
    double Start = 0;            // seconds of the clip cut away at the start
    double Length = -1;          // asked length; < 0: to the end
    double Rate = ClipRate;      // output pictures per second
    bool AutomaticThreads = false;
    const char* SameAs = nullptr;   // a case whose result this one must equal
    // A copied picture stream is cut before the first picture that would show at the
    // end in decoding order: up to a run of B-frames early.
    double CopySlack = 0;
};

std::string Describe(const TFlashBeepReading& r)
{
    std::ostringstream s;
    for (const TStreamTiming& t : r.Streams) {
        s << (t.Type == AVMEDIA_TYPE_VIDEO ? "video" : t.Type == AVMEDIA_TYPE_AUDIO ? "audio" : "other")
          << (t.Decoded ? "" : " (not decoded)") << ": " << t.Start << " .. " << t.End << ", " << t.Frames
          << " frames, events";
        for (double e : t.Events) s << ' ' << e;
        s << '\n';
    }
    return s.str();
}

// Every stream of the result starts at the file's start and has the flash or the beep
// where the clip has it, within one output frame; it ends within one of its frames.
// Sound encoders pad their last block, and some overlap blocks: the sound may run
// over by two decoded blocks.
void ExpectTogether(const TFlashBeepReading& r, const TTimingCase& c)
{
    const double length = c.Length >= 0 ? std::min(c.Length, ClipLength - c.Start) : ClipLength - c.Start;
    const double frame = 1 / c.Rate + Rounding;
    std::vector<double> expected;
    for (double at : FlashBeepAt)
        if (at - c.Start >= 0 && at - c.Start < length) expected.push_back(at - c.Start);
    ASSERT_TRUE(r.Ok);
    const std::string all = Describe(r);
    int videos = 0, sounds = 0;
    std::vector<double> flashes, beeps;
    for (const TStreamTiming& t : r.Streams) {
        const bool video = t.Type == AVMEDIA_TYPE_VIDEO;
        videos += video;
        sounds += t.Type == AVMEDIA_TYPE_AUDIO;
        ASSERT_TRUE(t.Decoded) << all;
        EXPECT_NEAR(t.Start, 0, frame) << all;
        const double ownFrame = std::max(frame, t.FrameLength + Rounding);
        EXPECT_LE(t.End, length + (video ? frame : std::max(frame, 2 * t.FrameLength + Rounding))) << all;
        EXPECT_GE(t.End, length - ownFrame - c.CopySlack) << all;
        if (video) {
            EXPECT_NEAR(t.Frames, length * c.Rate, 1 + c.CopySlack * c.Rate) << all;
            // A copy cut at a start keeps the source's pictures as they fall.
            if (c.CopySlack == 0) {
                EXPECT_LE(t.LongestGap, frame) << "a hole in the picture\n" << all;
            }
        }
        ASSERT_EQ(t.Events.size(), expected.size()) << all;
        for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_NEAR(t.Events[i], expected[i], frame) << all;
        (video ? flashes : beeps) = t.Events;
    }
    EXPECT_EQ(videos, 1) << all;
    EXPECT_EQ(sounds, 1) << all;
    for (std::size_t i = 0; i < flashes.size() && i < beeps.size(); ++i)
        EXPECT_NEAR(flashes[i], beeps[i], frame) << "flash and beep " << i << "\n" << all;
}

void ExpectSame(const TFlashBeepReading& a, const TFlashBeepReading& b)
{
    ASSERT_EQ(a.Streams.size(), b.Streams.size());
    for (std::size_t s = 0; s < a.Streams.size(); ++s) {
        const TStreamTiming &x = a.Streams[s], &y = b.Streams[s];
        EXPECT_EQ(x.Frames, y.Frames) << "stream " << s;
        EXPECT_NEAR(x.Start, y.Start, 1e-6) << "stream " << s;
        EXPECT_NEAR(x.End, y.End, 1e-6) << "stream " << s;
        ASSERT_EQ(x.Events.size(), y.Events.size()) << "stream " << s;
        for (std::size_t i = 0; i < x.Events.size(); ++i) EXPECT_NEAR(x.Events[i], y.Events[i], 1e-6);
    }
}

using TimingTest = TOutputFolderTest;

TEST_F(TimingTest, PictureAndSoundStayTogether)
{
    const TTimingCase cases[] = {
        {.Name = "plain"},
        {.Name = "plain, automatic threads", .AutomaticThreads = true, .SameAs = "plain"},
        {.Name = "input start", .Input = {{"ss", "2"}}, .Start = 2},
        {.Name = "input start, automatic threads", .Input = {{"ss", "2"}}, .Start = 2, .AutomaticThreads = true,
         .SameAs = "input start"},
        {.Name = "input start and length", .Input = {{"ss", "0.5"}}, .Output = {{"t", "2"}}, .Start = 0.5,
         .Length = 2},
        {.Name = "length", .Output = {{"t", "2"}}, .Length = 2},
        {.Name = "output start", .Output = {{"ss", "0.5"}}, .Start = 0.5},
        {.Name = "copy with start and length", .Input = {{"ss", "2"}},
         .Output = {{"vcodec", "copy"}, {"acodec", "copy"}, {"t", "1.5"}}, .Start = 2, .Length = 1.5,
         .CopySlack = 3 / ClipRate},
        {.Name = "r=10 into MP4", .Output = {{"r", "10"}}, .Ext = ".mp4", .Rate = 10},
        {.Name = "r=10 into Matroska", .Output = {{"r", "10"}}, .Ext = ".mkv", .Rate = 10},
        {.Name = "r=10 into AVI", .Output = {{"r", "10"}}, .Ext = ".avi", .Rate = 10},
        {.Name = "r=15 into MP4", .Output = {{"r", "15"}}, .Ext = ".mp4", .Rate = 15},
        {.Name = "r=15 into Matroska", .Output = {{"r", "15"}}, .Ext = ".mkv", .Rate = 15},
        {.Name = "r=15 into AVI", .Output = {{"r", "15"}}, .Ext = ".avi", .Rate = 15},
        {.Name = "r=60 into MP4", .Output = {{"r", "60"}}, .Ext = ".mp4", .Rate = 60},
        {.Name = "r=60 into Matroska", .Output = {{"r", "60"}}, .Ext = ".mkv", .Rate = 60},
        {.Name = "r=60 into AVI", .Output = {{"r", "60"}}, .Ext = ".avi", .Rate = 60},
    };
    for (const char* clip : Clips) {
        std::map<std::string, TFlashBeepReading> readings;
        for (const TTimingCase& c : cases) {
            SCOPED_TRACE(std::string(clip) + ": " + c.Name);
            const std::string out = Out(std::string("out") + (c.Ext ? c.Ext : fs::path(clip).extension().string()));
            fs::remove(out);
            const bool automatic = c.AutomaticThreads;
            const auto r = Convert(sink, clip, c.Input, out, c.Output, [automatic](TCustomFFmpeg& task) {
                task.TaskThreadCount = automatic ? TCustomFFmpeg::AutomaticThreads : 1;
            });
            ASSERT_TRUE(r.Finished) << r.Message;
            const TFlashBeepReading& reading = readings[c.Name] = ReadFlashBeep(out);
            ExpectTogether(reading, c);
            if (c.SameAs) ExpectSame(reading, readings.at(c.SameAs));
        }
    }
}

// Sources as phones, the web and archives make them: a variable picture rate, Opus
// with its pre-skip, a DVD program stream, AVI with B-frames and no presentation times.
TEST_F(TimingTest, SourcesOfPhonesWebAndArchivesStayTogether)
{
    const struct {
        const char* Clip;
        TTimingCase Case;
    } cases[] = {
        {"flash_beep_vfr.mp4", {.Name = "variable rate into AVI", .Ext = ".avi"}},
        {"flash_beep_vfr.mp4", {.Name = "variable rate into MP4 at 30", .Output = {{"r", "30"}}, .Ext = ".mp4"}},
        {"flash_beep_vfr.mp4", {.Name = "variable rate into Matroska at 25", .Output = {{"r", "25"}}, .Ext = ".mkv",
                                .Rate = 25}},
        {"flash_beep.webm", {.Name = "VP9 and Opus into MP4", .Ext = ".mp4"}},
        {"flash_beep.webm", {.Name = "VP9 and Opus trimmed into Matroska", .Input = {{"ss", "0.5"}},
                             .Output = {{"t", "3"}}, .Ext = ".mkv", .Start = 0.5, .Length = 3}},
        {"flash_beep.vob", {.Name = "DVD trimmed into MP4", .Input = {{"ss", "0.5"}}, .Output = {{"t", "3"}},
                            .Ext = ".mp4", .Start = 0.5, .Length = 3, .Rate = 25}},
        {"flash_beep.vob", {.Name = "DVD trimmed into MPEG", .Input = {{"ss", "0.5"}}, .Output = {{"t", "3"}},
                            .Ext = ".mpg", .Start = 0.5, .Length = 3, .Rate = 25}},
        {"flash_beep_bframes.avi", {.Name = "Xvid AVI into Matroska", .Ext = ".mkv"}},
        {"flash_beep_bframes.avi", {.Name = "Xvid AVI copied into Matroska", .Output = {{"vcodec", "copy"}},
                                    .Ext = ".mkv"}},
        {"flash_beep_h264.avi", {.Name = "H.264 AVI copied into Matroska", .Output = {{"vcodec", "copy"}, {"acodec", "copy"}},
                                 .Ext = ".mkv"}},
    };
    for (const auto& [clip, c] : cases) {
        SCOPED_TRACE(std::string(clip) + ": " + c.Name);
        const std::string out = Out(std::string("source") + c.Ext);
        fs::remove(out);
        const auto r = Convert(sink, clip, c.Input, out, c.Output);
        ASSERT_TRUE(r.Finished) << r.Message;
        ExpectTogether(ReadFlashBeep(out), c);
    }
}

// Opus keeps its encoder's delay at the start and tells the decoder to skip it: the
// sound is where it was to the sample, not that delay late.
TEST_F(TimingTest, OpusSoundStartsToTheSample)
{
    const struct {
        const char* Clip;
        const char* Ext;
    } cases[] = {{"flash_beep.opus", ".wav"}, {"flash_beep.webm", ".wav"}, {"flash_beep.opus", ".flac"}};
    for (const auto& [clip, ext] : cases) {
        SCOPED_TRACE(std::string(clip) + " into " + ext);
        const std::string out = Out(std::string("sound") + ext);
        fs::remove(out);
        const auto r = Convert(sink, clip, {}, out, {});
        ASSERT_TRUE(r.Finished) << r.Message;
        const TFlashBeepReading reading = ReadFlashBeep(out);
        ASSERT_TRUE(reading.Ok);
        ASSERT_EQ(reading.Streams.size(), 1u) << Describe(reading);
        const TStreamTiming& sound = reading.Streams[0];
        EXPECT_NEAR(sound.Start, 0, 1e-4) << Describe(reading);
        EXPECT_NEAR(sound.End, ClipLength, 0.002) << Describe(reading);
        ASSERT_EQ(sound.Events.size(), 2u) << Describe(reading);
        for (int i = 0; i < 2; ++i) EXPECT_NEAR(sound.Events[i], FlashBeepAt[i], 0.002) << Describe(reading);
    }
}

TEST_F(TimingTest, StartPastTheEndFailsAndLeavesNoFile)
{
    const struct {
        const char* Name;
        TOptionList Input, Output;
    } cases[] = {
        {"input start", {{"ss", "10"}}, {}},
        {"output start", {}, {{"ss", "10"}}},
        {"output start after an input start", {{"ss", "2"}}, {{"ss", "2"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const auto r = Convert(sink, "flash_beep.mkv", c.Input, Out("past.mkv"), c.Output);
        EXPECT_FALSE(r.Finished);
        EXPECT_NE(r.Message.find("is past the end of"), std::string::npos) << r.Message;
        EXPECT_FALSE(fs::exists(Out("past.mkv")));
    }
}

}  // namespace
