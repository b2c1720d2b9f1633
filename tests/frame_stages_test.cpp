// Conversions whose decoded frames are filtered and encoded on stage threads beside the
// packet loop: the same bytes as on one thread, and stop, pause and failures in the
// middle of a stage end or hold the whole task.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

#include "engine/FFmpeg.h"
#include "engine/FFmpegStreams.h"
#include "engine/FrameStages.h"
#include "media/AVCodecStubs.h"
#include "media/AVFormatStubs.h"
#include "tests/support/VideoConvert.h"

using namespace kv::engine;
using namespace kv::test;
namespace fs = std::filesystem;

namespace {

std::string Bytes(const std::string& file)
{
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Every packet of the file in file order: stream, times, flags and data. Matroska
// files carry a random segment id, so their bytes differ from run to run.
std::string Packets(const std::string& file)
{
    std::string all;
    AVFormatContext* ic = nullptr;
    if (av::avformat_open_input(&ic, file.c_str(), nullptr, nullptr) < 0) return all;
    AVPacket* pkt = av::av_packet_alloc();
    while (av::av_read_frame(ic, pkt) >= 0) {
        const std::int64_t head[] = {pkt->stream_index, pkt->pts, pkt->dts, pkt->duration, pkt->flags, pkt->size};
        all.append(reinterpret_cast<const char*>(head), sizeof(head));
        all.append(reinterpret_cast<const char*>(pkt->data), static_cast<std::size_t>(pkt->size));
        av::av_packet_unref(pkt);
    }
    av::av_packet_free(&pkt);
    av::avformat_close_input(&ic);
    return all;
}

// The same file for the user: the same bytes, or for Matroska the same packets.
bool SameOutput(const std::string& a, const std::string& b)
{
    if (fs::path(a).extension() != ".mkv") return Bytes(a) == Bytes(b);
    const std::string pa = Packets(a);
    return !pa.empty() && pa == Packets(b);
}

class FrameStagesTest : public TOutputFolderTest {
protected:
    // One conversion with the stages on or off; `staged` tells whether they ran.
    TConvertResult Run(const std::string& input, const TOptionList& inputOptions, const std::string& output,
                       const TOptionList& options, int stages, bool* staged = nullptr,
                       const TTaskStep& before = {})
    {
        std::atomic<bool> seen{false};
        sink.OnProgress = [&](TCustomFFmpeg* task) {
            if (task->RunTables && task->RunTables->Stages) seen = true;
        };
        const TConvertResult r = Convert(sink, input, inputOptions, output, options, [&](TCustomFFmpeg& task) {
            task.FrameStages = stages;
            if (before) before(task);
        });
        sink.OnProgress = nullptr;
        if (staged) *staged = seen;
        return r;
    }
};

// Each codec on one thread: the stages change where the work runs, not what it makes.
TEST_F(FrameStagesTest, OutputBytesAreTheSameWithAndWithoutStages)
{
    struct TCase {
        const char* Name;
        const char* Input;
        TOptionList InputOptions;
        const char* Output;
        TOptionList Options;
    };
    const TCase cases[] = {
        {"h264 and aac", "mp4_h264_aac.mp4", {}, "a.mp4",
         {{"vcodec", "libx264"}, {"s", "160x120"}, {"acodec", "aac"}, {"ab", "96k"}}},
        {"mpeg4 and mp3, resampled and louder", "avi_mpeg4_mp2.avi", {}, "b.avi",
         {{"vcodec", "mpeg4"}, {"acodec", "libmp3lame"}, {"ar", "22050"}, {"vol", "512"}}},
        {"a filter graph, sound copied", "mp4_h264_aac.mp4", {}, "c.mkv",
         {{"vcodec", "mpeg4"}, {"vfilters", "hflip,scale=96:64"}, {"acodec", "copy"}}},
        {"a start and a length", "avi_mpeg4_mp2.avi", {{"ss", "0.5"}}, "d.mkv",
         {{"vcodec", "mpeg4"}, {"acodec", "mp2"}, {"t", "1"}}},
        {"a new frame rate, padded", "mp4_h264_aac.mp4", {}, "e.mkv",
         {{"vcodec", "mpeg4"}, {"r", "15"}, {"padtop", "8"}, {"padbottom", "8"}, {"an", ""}}},
        {"sound alone", "wav_pcm.wav", {}, "f.mp4", {{"acodec", "aac"}}},
        {"subtitles beside re-encoded pictures", "mkv_subtitle.mkv", {}, "g.mkv",
         {{"vcodec", "mpeg4"}, {"acodec", "mp2"}, {"scodec", "copy"}}},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        const std::string one = Out(std::string("one_") + c.Output), staged = Out(std::string("st_") + c.Output);
        bool ranStaged = true;
        TConvertResult r = Run(c.Input, c.InputOptions, one, c.Options, 0, &ranStaged);
        ASSERT_TRUE(r.Finished) << r.Message;
        EXPECT_FALSE(ranStaged);
        r = Run(c.Input, c.InputOptions, staged, c.Options, 1, &ranStaged);
        ASSERT_TRUE(r.Finished) << r.Message;
        EXPECT_TRUE(ranStaged);
        EXPECT_GT(fs::file_size(one), 1000u);
        EXPECT_TRUE(SameOutput(one, staged));
    }
}

// Lines logged on a stage reach the log handler on the task's thread, in order.
TEST_F(FrameStagesTest, StageLinesAreDeliveredOnTheTasksThread)
{
    struct TThreadSink : TRecordingSink {
        std::thread::id Expected;
        std::atomic<int> Foreign{0};
        void DoLog(TCustomFFmpeg* task, TLogLevel level, const std::string& message) override
        {
            if (std::this_thread::get_id() != Expected) Foreign += 1;
            TRecordingSink::DoLog(task, level, message);
        }
    } threadSink;
    threadSink.Expected = std::this_thread::get_id();
    // Verbose 3 makes the picture path log every dropped picture ("*** drop!").
    const auto r = Convert(threadSink, {{"mp4_h264_aac.mp4", {}}}, Out("r.mkv"),
                           {{"vcodec", "mpeg4"}, {"r", "10"}, {"an", ""}}, 3,
                           [](TCustomFFmpeg& task) { task.FrameStages = 1; });
    ASSERT_TRUE(r.Finished) << r.Message;
    EXPECT_GT(threadSink.Count("*** drop!"), 10);
    EXPECT_EQ(threadSink.Foreign, 0);
}

// A stop asked in the middle, on the picture stage (its preview) or on the packet loop
// (a progress report while the sound stage has frames queued), ends the task promptly
// with a readable, shorter file.
TEST_F(FrameStagesTest, StopInTheMiddleOfAStageEndsTheTask)
{
    struct TCase {
        const char* Name;
        const char* Input;
        TOptionList Options;
        bool FromPreview;
    };
    const TCase cases[] = {
        {"picture stage", "long_320x240.avi", {{"vcodec", "mpeg4"}, {"acodec", "mp2"}}, true},
        {"sound stage", "long_320x240.avi", {{"vn", ""}, {"acodec", "mp2"}}, false},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        int previews = 0;
        sink.PreviewBitmap = [&](kv::media::TBitmap&, int, std::int64_t) { previews += 1; };
        const std::string out = Out(std::string(c.Name) + ".mkv");
        const TConvertResult r = Convert(sink, c.Input, {}, out, c.Options, [&](TCustomFFmpeg& task) {
            task.FrameStages = 1;
            task.PreviewFlags = 2;
            task.PreviewBitmapHandler = &sink;
            task.PreviewIntervalUS = -1;
            TCustomFFmpeg* t = &task;
            if (c.FromPreview)
                sink.PreviewBitmap = [&previews, t](kv::media::TBitmap&, int, std::int64_t) {
                    if (++previews == 20) t->StopRequested = true;
                };
            else
                sink.OnProgress = [](TCustomFFmpeg* task) {
                    if (task->AudioBytes > 4000) task->StopRequested = true;
                };
        });
        sink.OnProgress = nullptr;
        ASSERT_TRUE(r.Opened) << r.Message;
        EXPECT_FALSE(r.Failed) << r.Message;
        EXPECT_FALSE(r.Finished);
        const TDecodedVideo v = DecodeVideo(out);
        if (c.FromPreview) {
            ASSERT_TRUE(v.Ok);
            EXPECT_GE(v.Frames, 20);
            EXPECT_LT(v.Frames, 200) << "of 1000 pictures";
        }
        EXPECT_GT(fs::file_size(out), 1000u);
    }
}

// A pause asked on the picture stage holds every stage and the loop; after the resume
// the file is the one an uninterrupted run makes.
TEST_F(FrameStagesTest, PauseHoldsEveryStage)
{
    const TOptionList options = {{"vcodec", "mpeg4"}, {"acodec", "mp2"}};
    ASSERT_TRUE(Run("avi_mpeg4_mp2.avi", {}, Out("plain.mkv"), options, 1).Finished);
    std::atomic<int> previews{0};
    std::thread resumer;
    std::atomic<int> heldPreviews{-1};
    std::atomic<std::int64_t> bytesBefore{-1}, bytesAfter{-1};
    const std::string paused = Out("paused.mkv");
    const auto r = Convert(sink, "avi_mpeg4_mp2.avi", {}, paused, options, [&](TCustomFFmpeg& task) {
        task.FrameStages = 1;
        task.PreviewFlags = 2;
        task.PreviewBitmapHandler = &sink;
        task.PreviewIntervalUS = -1;
        TCustomFFmpeg* t = &task;
        sink.PreviewBitmap = [&, t](kv::media::TBitmap&, int, std::int64_t) {
            if (++previews != 10) return;
            t->SetPaused(true);
            resumer = std::thread([&, t] {
                std::this_thread::sleep_for(std::chrono::milliseconds(150));
                const int held = previews;
                bytesBefore = static_cast<std::int64_t>(fs::file_size(paused));
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
                bytesAfter = static_cast<std::int64_t>(fs::file_size(paused));
                heldPreviews = previews == held ? held : -1;
                t->SetPaused(false);
            });
        };
    }, [&](TCustomFFmpeg&) {
        // The resume is over before the task goes.
        if (resumer.joinable()) resumer.join();
    });
    ASSERT_TRUE(r.Finished) << r.Message;
    EXPECT_EQ(heldPreviews, 10) << "no picture was encoded while paused";
    EXPECT_EQ(bytesBefore, bytesAfter) << "nothing was written while paused";
    EXPECT_TRUE(SameOutput(Out("plain.mkv"), paused));
}

// Ten seconds of 32-bit float stereo sound at 8 kHz whose samples are not numbers from
// the fifth second on, as a damaged recording has them: the AAC encoder refuses them.
void WriteSoundThatBreaksAtFiveSeconds(const std::string& file)
{
    constexpr std::uint32_t rate = 8000, channels = 2, frames = 10 * rate;
    constexpr std::uint32_t dataBytes = frames * channels * 4;
    std::ofstream out(file, std::ios::binary);
    auto u32 = [&](std::uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [&](std::uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
    out.write("RIFF", 4);
    u32(36 + dataBytes);
    out.write("WAVEfmt ", 8);
    u32(16);
    u16(3);   // IEEE float
    u16(channels);
    u32(rate);
    u32(rate * channels * 4);
    u16(channels * 4);
    u16(32);
    out.write("data", 4);
    u32(dataBytes);
    for (std::uint32_t i = 0; i < frames; ++i) {
        const float v = i < 5 * rate ? 0.25f * static_cast<float>(std::sin(i * 0.05)) : std::nanf("");
        for (std::uint32_t c = 0; c < channels; ++c) out.write(reinterpret_cast<const char*>(&v), 4);
    }
}

// An error on a stage (here the preview's receiver failing on the picture stage) ends
// the task with its message, as it does without stages; an error of the writer on the
// packet loop ends the stages that are still working.
TEST_F(FrameStagesTest, AnErrorOfAStageOrOfTheWriterEndsTheTask)
{
    for (int stages : {0, 1}) {
        SCOPED_TRACE(stages ? "stages" : "one thread");
        int previews = 0;
        const auto r = Convert(sink, "long_320x240.avi", {}, Out("fail.mkv"), {{"vcodec", "mpeg4"}, {"acodec", "mp2"}},
                               [&](TCustomFFmpeg& task) {
                                   task.FrameStages = stages;
                                   task.PreviewFlags = 2;
                                   task.PreviewBitmapHandler = &sink;
                                   task.PreviewIntervalUS = -1;
                                   sink.PreviewBitmap = [&](kv::media::TBitmap&, int, std::int64_t) {
                                       if (++previews == 30) throw FFmpegException("preview refused");
                                   };
                               });
        EXPECT_TRUE(r.Failed);
        EXPECT_EQ(r.Message, "preview refused");
        EXPECT_EQ(previews, 30) << "no picture is encoded after the failure";
    }
    // The sound stage: the encoder refuses the samples half way through.
    sink.PreviewBitmap = nullptr;
    const std::string broken = Out("broken.wav");
    WriteSoundThatBreaksAtFiveSeconds(broken);
    for (int stages : {0, 1}) {
        SCOPED_TRACE(stages ? "sound stage" : "sound on one thread");
        bool ranStaged = false;
        const auto r = Run(broken, {}, Out("broken.m4a"), {{"acodec", "aac"}, {"ab", "64k"}}, stages, &ranStaged);
        EXPECT_EQ(ranStaged, stages == 1);
        EXPECT_TRUE(r.Failed);
        EXPECT_EQ(r.Message, "Audio encoding failed");
    }
    if (!fs::exists("/dev/full")) return;
    fs::create_symlink("/dev/full", Out("full.mkv"));
    const auto r = Run("long_320x240.avi", {}, Out("full.mkv"), {{"vcodec", "mpeg4"}, {"acodec", "mp2"}}, 1);
    EXPECT_TRUE(r.Failed);
    EXPECT_NE(r.Message.find("No space left on device"), std::string::npos) << r.Message;
}

// The stages are for runs whose result cannot depend on how far they are behind the
// packet loop.
TEST_F(FrameStagesTest, RunsThatDependOnTheEncodersProgressStayOnOneThread)
{
    struct TCase {
        const char* Name;
        TOptionList Options;
        bool Staged;
    };
    const TCase cases[] = {
        {"plain", {{"vcodec", "mpeg4"}, {"acodec", "mp2"}}, true},
        {"frame limit", {{"vcodec", "mpeg4"}, {"acodec", "mp2"}, {"vframes", "10"}}, false},
        {"size limit", {{"vcodec", "mpeg4"}, {"acodec", "mp2"}, {"fs", "100000"}}, false},
        {"statistics file", {{"vcodec", "mpeg4"}, {"acodec", "mp2"}, {"vstats_file", Out("vstats.txt")}}, false},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        bool staged = !c.Staged;
        const auto r = Run("avi_mpeg4_mp2.avi", {}, Out(std::string(c.Name) + ".mkv"), c.Options, 1, &staged);
        ASSERT_TRUE(r.Finished) << r.Message;
        EXPECT_EQ(staged, c.Staged);
    }
}

}  // namespace
