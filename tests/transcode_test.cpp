// End-to-end conversions of generated clips: remuxing between containers, stream
// maps, cutting, frame limits, stopping, time-stamp repair, progress, re-encoding and
// damaged inputs. Every result is checked by opening it again.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>

#include "engine/FFmpeg.h"
#include "media/AVCodecStubs.h"
#include "media/AVFormatStubs.h"
#include "media/AVUtilStubs.h"
#include "media/FFmpegLoader.h"
#include "tests/support/VideoConvert.h"

using namespace kv::engine;
using namespace kv::test;
namespace fs = std::filesystem;

namespace {

using TOptions = TOptionList;
using TOutcome = TConvertResult;

// What a probe of a written file says.
struct TProbe {
    bool Ok = false;
    std::vector<AVCodecID> Codecs;
    std::vector<AVMediaType> Types;
    double Duration = 0;   // seconds, the longest stream
    std::vector<int> Packets;
    std::map<std::string, std::string> Tags;   // the file's or its streams' (Ogg's), keys in lower case
};

TProbe Probe(const std::string& file)
{
    TProbe p;
    AVFormatContext* ic = nullptr;
    if (av::avformat_open_input(&ic, file.c_str(), nullptr, nullptr) < 0) return p;
    if (av::avformat_find_stream_info(ic, nullptr) < 0) {
        av::avformat_close_input(&ic);
        return p;
    }
    p.Ok = true;
    auto readTags = [&p](const AVDictionary* tags) {
        for (const AVDictionaryEntry* t = nullptr; (t = av::av_dict_get(tags, "", t, AV_DICT_IGNORE_SUFFIX));) {
            std::string key = t->key;
            std::transform(key.begin(), key.end(), key.begin(), [](unsigned char c) { return std::tolower(c); });
            p.Tags.emplace(key, t->value);
        }
    };
    readTags(ic->metadata);
    for (unsigned s = 0; s < ic->nb_streams; ++s) readTags(ic->streams[s]->metadata);
    std::vector<std::int64_t> first(ic->nb_streams, AV_NOPTS_VALUE), end(ic->nb_streams, AV_NOPTS_VALUE);
    for (unsigned s = 0; s < ic->nb_streams; ++s) {
        p.Codecs.push_back(ic->streams[s]->codecpar->codec_id);
        p.Types.push_back(ic->streams[s]->codecpar->codec_type);
    }
    p.Packets.assign(ic->nb_streams, 0);
    AVPacket* pkt = av::av_packet_alloc();
    while (av::av_read_frame(ic, pkt) >= 0) {
        const int s = pkt->stream_index;
        p.Packets[s] += 1;
        const std::int64_t t = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts;
        if (t != AV_NOPTS_VALUE) {
            if (first[s] == AV_NOPTS_VALUE || t < first[s]) first[s] = t;
            if (end[s] == AV_NOPTS_VALUE || t + pkt->duration > end[s]) end[s] = t + pkt->duration;
        }
        av::av_packet_unref(pkt);
    }
    av::av_packet_free(&pkt);
    for (unsigned s = 0; s < ic->nb_streams; ++s)
        if (first[s] != AV_NOPTS_VALUE)
            p.Duration = std::max(p.Duration, static_cast<double>(end[s] - first[s]) * av_q2d(ic->streams[s]->time_base));
    av::avformat_close_input(&ic);
    return p;
}

class TranscodeTest : public TOutputFolderTest {
protected:
    // Runs one task the way the engine component does: options, files, transcode,
    // codec close and task cleanup.
    TOutcome Convert(const TInputList& inputs, const std::string& output, const TOptions& outputOptions,
                     const TTaskStep& before = {})
    {
        return kv::test::Convert(sink, inputs, output, outputOptions, 1, before);
    }
    TOutcome Convert(const std::string& input, const TOptions& inputOptions, const std::string& output,
                     const TOptions& outputOptions)
    {
        return Convert({{input, inputOptions}}, output, outputOptions);
    }
};

const TOptions CopyBoth = {{"vcodec", "copy"}, {"acodec", "copy"}};

TEST_F(TranscodeTest, RemuxesBothStreamsBetweenContainers)
{
    struct Case {
        const char* input;
        const char* output;
        AVCodecID video, audio;
    };
    const Case cases[] = {
        {"avi_mpeg4_mp2.avi", "a.mp4", AV_CODEC_ID_MPEG4, AV_CODEC_ID_MP2},
        {"avi_mpeg4_mp2.avi", "a.mkv", AV_CODEC_ID_MPEG4, AV_CODEC_ID_MP2},
        {"avi_mpeg4_mp2.avi", "a.ts", AV_CODEC_ID_MPEG4, AV_CODEC_ID_MP2},
        {"mp4_h264_aac.mp4", "b.mkv", AV_CODEC_ID_H264, AV_CODEC_ID_AAC},
        {"mp4_h264_aac.mp4", "b.ts", AV_CODEC_ID_H264, AV_CODEC_ID_AAC},
        {"mp4_h264_aac.mp4", "b.avi", AV_CODEC_ID_H264, AV_CODEC_ID_AAC},
        {"ts_jump.ts", "c.mp4", AV_CODEC_ID_MPEG2VIDEO, AV_CODEC_ID_MP2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.input) + " -> " + c.output);
        const TOutcome r = Convert(c.input, {}, Out(c.output), CopyBoth);
        ASSERT_TRUE(r.Opened) << r.Message;
        EXPECT_FALSE(r.Failed) << r.Message;
        EXPECT_TRUE(r.Finished);
        const TProbe p = Probe(Out(c.output));
        ASSERT_TRUE(p.Ok);
        ASSERT_EQ(p.Codecs.size(), 2u);
        EXPECT_EQ(p.Codecs[0], c.video);
        // MP4 files MPEG audio of every layer under one type, which reads back as MP3.
        EXPECT_TRUE(p.Codecs[1] == c.audio || (c.audio == AV_CODEC_ID_MP2 && p.Codecs[1] == AV_CODEC_ID_MP3));
        EXPECT_NEAR(p.Duration, 2.0, 0.05);
    }
}

TEST_F(TranscodeTest, MpegTsAacAndH264GoBackIntoMp4)
{
    // In MPEG-TS the AAC has ADTS headers and the H.264 start codes, which MP4 stores otherwise.
    ASSERT_TRUE(Convert("mp4_h264_aac.mp4", {}, Out("b.ts"), CopyBoth).Finished);
    const TOutcome r = Convert(Out("b.ts"), {}, Out("back.mp4"), CopyBoth);
    ASSERT_TRUE(r.Finished) << r.Message;
    const TProbe p = Probe(Out("back.mp4"));
    ASSERT_TRUE(p.Ok);
    ASSERT_EQ(p.Codecs.size(), 2u);
    EXPECT_EQ(p.Codecs[0], AV_CODEC_ID_H264);
    EXPECT_EQ(p.Codecs[1], AV_CODEC_ID_AAC);
    EXPECT_NEAR(p.Duration, 2.0, 0.1);
}

TEST_F(TranscodeTest, MapsChooseAndReorderStreams)
{
    TOutcome r = Convert("avi_mpeg4_mp2.avi", {}, Out("m.mkv"), {{"vcodec", "copy"}, {"acodec", "copy"},
                                                                 {"map", "0:1"}, {"map", "0:0"}});
    // Maps pair with output streams in order: video first, so audio -> video is refused.
    EXPECT_EQ(r.Message, "Codec type mismatch for mapping #0.1 -> #0.0");

    sink.Lines.clear();
    r = Convert("avi_mpeg4_mp2.avi", {}, Out("m.mkv"), {{"vcodec", "copy"}, {"acodec", "copy"}});
    ASSERT_TRUE(r.Finished) << r.Message;
    EXPECT_TRUE(sink.Has("Stream mapping:"));
    EXPECT_TRUE(sink.Has("  Stream #0.0 -> #0.0"));
    EXPECT_TRUE(sink.Has("  Stream #0.1 -> #0.1"));

    // Two inputs: the audio of the second file by map, with a sync stream.
    sink.Lines.clear();
    r = Convert({{"avi_mpeg4_mp2.avi", {}}, {"wav_pcm.wav", {}}}, Out("two.mkv"),
                {{"vcodec", "copy"}, {"acodec", "copy"}, {"map", "0:0"}, {"map", "1:0:0:1"}});
    ASSERT_TRUE(r.Finished) << r.Message;
    EXPECT_TRUE(sink.Has("  Stream #1.0 -> #0.1"));
    EXPECT_TRUE(sink.Has(" [sync #0.1]"));
    const TProbe p = Probe(Out("two.mkv"));
    ASSERT_EQ(p.Codecs.size(), 2u);
    EXPECT_EQ(p.Codecs[1], AV_CODEC_ID_PCM_S16LE);

    struct Bad {
        TOptions maps;
        const char* message;
    };
    const Bad bad[] = {
        {{{"map", "0:0"}}, "Number of stream maps must match number of output streams"},
        {{{"map", "0:0"}, {"map", "0:5"}}, "Could not find input stream #0.5"},
        {{{"map", "3:0"}, {"map", "0:1"}}, "Could not find input stream #3.0"},
        {{{"map", "0:0:0:7"}, {"map", "0:1"}}, "Could not find sync stream #0.7"},
    };
    for (const Bad& b : bad) {
        TOptions options = CopyBoth;
        options.insert(options.end(), b.maps.begin(), b.maps.end());
        r = Convert("avi_mpeg4_mp2.avi", {}, Out("bad.mkv"), options);
        EXPECT_TRUE(r.Failed);
        EXPECT_EQ(r.Message, b.message);
        EXPECT_FALSE(fs::exists(Out("bad.mkv"))) << "an output left empty is deleted";
    }
}

TEST_F(TranscodeTest, StreamlessOutputIsRefused)
{
    const TOutcome r = Convert("avi_mpeg4_mp2.avi", {}, Out("none.mkv"), {{"vn", ""}, {"an", ""}});
    ASSERT_TRUE(r.Opened) << r.Message;
    EXPECT_TRUE(r.Failed);
    EXPECT_EQ(r.Message, "Output file #0 does not contain any stream");
    EXPECT_FALSE(fs::exists(Out("none.mkv")));
}

TEST_F(TranscodeTest, RecordingTimeAndStartTimeCutACopy)
{
    TOutcome r = Convert("avi_mpeg4_mp2.avi", {}, Out("t.mkv"), {{"vcodec", "copy"}, {"acodec", "copy"}, {"t", "1"}});
    ASSERT_TRUE(r.Finished) << r.Message;
    EXPECT_NEAR(Probe(Out("t.mkv")).Duration, 1.0, 0.1);

    // The copy starts at the key frame before the start (every 12th picture here).
    r = Convert("avi_mpeg4_mp2.avi", {{"ss", "1"}}, Out("ss.mkv"), CopyBoth);
    ASSERT_TRUE(r.Finished) << r.Message;
    const TProbe p = Probe(Out("ss.mkv"));
    EXPECT_GT(p.Duration, 0.95);
    EXPECT_LT(p.Duration, 1.2);
}

TEST_F(TranscodeTest, FrameLimitAndShortestEndTheLoop)
{
    TOutcome r = Convert("avi_mpeg4_mp2.avi", {}, Out("v.mkv"), {{"vcodec", "copy"}, {"acodec", "copy"}, {"vframes", "10"}});
    ASSERT_TRUE(r.Finished) << r.Message;
    TProbe p = Probe(Out("v.mkv"));
    ASSERT_EQ(p.Packets.size(), 2u);
    EXPECT_EQ(p.Packets[0], 10);
    EXPECT_LT(p.Duration, 0.6);

    // A 1 s video with 2 s of sound from a second file: the loop ends at the first end of file.
    r = Convert({{"short_0999ms.avi", {}}, {"wav_pcm.wav", {}}}, Out("s.mkv"),
                {{"vcodec", "copy"}, {"acodec", "copy"}, {"map", "0:0"}, {"map", "1:0"}, {"shortest", ""}});
    ASSERT_TRUE(r.Finished) << r.Message;
    p = Probe(Out("s.mkv"));
    EXPECT_LT(p.Duration, 1.5);
}

TEST_F(TranscodeTest, StopRequestLeavesAReadableFile)
{
    sink.OnProgress = [](TCustomFFmpeg* task) {
        if (task->VideoBytes > 0 && task->RunTables) task->StopRequested = true;
    };
    const TOutcome r = Convert("avi_mpeg4_mp2.avi", {}, Out("stop.mkv"), CopyBoth);
    ASSERT_TRUE(r.Opened) << r.Message;
    EXPECT_FALSE(r.Failed) << r.Message;
    EXPECT_FALSE(r.Finished);
    const TProbe p = Probe(Out("stop.mkv"));
    ASSERT_TRUE(p.Ok);
    EXPECT_LT(p.Duration, 1.0);
    EXPECT_TRUE(sink.HasPrefix("video:")) << "the final summary is logged after a stop too";
}

TEST_F(TranscodeTest, TimestampJumpIsClosed)
{
    TOutcome r = Convert("ts_jump.ts", {}, Out("j.mkv"), CopyBoth);
    ASSERT_TRUE(r.Finished) << r.Message;
    EXPECT_NEAR(Probe(Out("j.mkv")).Duration, 2.0, 0.1);

    // With the input's time stamps kept the jump stays.
    r = Convert("ts_jump.ts", {}, Out("k.mkv"), {{"vcodec", "copy"}, {"acodec", "copy"}, {"copyts", ""}});
    ASSERT_TRUE(r.Finished) << r.Message;
    EXPECT_GT(Probe(Out("k.mkv")).Duration, 15.0);
}

TEST_F(TranscodeTest, ProgressGrowsAndEndsWithTheSummary)
{
    const TOutcome r = Convert("avi_mpeg4_mp2.avi", {}, Out("p.mkv"), CopyBoth);
    ASSERT_TRUE(r.Finished) << r.Message;
    ASSERT_GE(sink.Progress.size(), 3u);
    // The duration is the least advanced stream's, so it may step back while a second
    // stream starts; frames and size only grow.
    for (std::size_t i = 1; i < sink.Progress.size(); ++i) {
        EXPECT_GE(sink.Progress[i].FrameNumber, sink.Progress[i - 1].FrameNumber);
        EXPECT_GE(sink.Progress[i].CurrentSize, sink.Progress[i - 1].CurrentSize);
    }
    EXPECT_LT(sink.Progress.front().CurrentDuration, sink.Progress.back().CurrentDuration);
    const TProgress& last = sink.Progress.back();
    EXPECT_EQ(last.FrameNumber, 50);
    EXPECT_NEAR(last.CurrentDuration, 2000, 50);
    EXPECT_EQ(last.Quality, -1) << "a copied stream has no quality";
    EXPECT_EQ(last.CurrentSize, static_cast<std::int64_t>(fs::file_size(Out("p.mkv"))));
    EXPECT_TRUE(sink.HasPrefix("video:"));
    EXPECT_FALSE(sink.HasPrefix("frame=")) << "with a progress handler the report line is not logged";
}

TEST_F(TranscodeTest, ReencodesToH264AndAac)
{
    const TOutcome r = Convert("avi_mpeg4_mp2.avi", {}, Out("enc.mp4"),
                               {{"vcodec", "libx264"}, {"acodec", "aac"}, {"s", "160x120"}, {"ar", "48000"}});
    ASSERT_TRUE(r.Finished) << r.Message;
    const TProbe p = Probe(Out("enc.mp4"));
    ASSERT_TRUE(p.Ok);
    ASSERT_EQ(p.Codecs.size(), 2u);
    EXPECT_EQ(p.Codecs[0], AV_CODEC_ID_H264);
    EXPECT_EQ(p.Codecs[1], AV_CODEC_ID_AAC);
    EXPECT_EQ(p.Packets[0], 50);
    EXPECT_NEAR(p.Duration, 2.0, 0.1);
    ASSERT_FALSE(sink.Progress.empty());
    EXPECT_GT(sink.Progress.back().Quality, 0) << "quality comes from the encoder";
}

TEST_F(TranscodeTest, DamagedInputsEndCleanly)
{
    // Cut AVI: converts what is there.
    TOutcome r = Convert("truncated.avi", {}, Out("tr.mkv"), CopyBoth);
    ASSERT_TRUE(r.Opened) << r.Message;
    EXPECT_FALSE(r.Failed) << r.Message;
    EXPECT_TRUE(r.Finished);
    const TProbe p = Probe(Out("tr.mkv"));
    ASSERT_TRUE(p.Ok);
    EXPECT_GT(p.Duration, 0.2);

    // Decoding the cut AVI too.
    r = Convert("truncated.avi", {}, Out("tr2.mkv"), {{"vcodec", "mpeg4"}, {"acodec", "mp2"}});
    ASSERT_TRUE(r.Opened) << r.Message;
    EXPECT_FALSE(r.Failed) << r.Message;
    EXPECT_TRUE(Probe(Out("tr2.mkv")).Ok);

    // Cut MP4 (its index is at the end): either refused at opening or converted; never a crash.
    r = Convert("truncated.mp4", {}, Out("tr.mkv"), CopyBoth);
    if (!r.Opened) EXPECT_FALSE(r.Message.empty());
    else EXPECT_TRUE(r.Finished || r.Failed);
}

// The source's tags describe the output too, unless an option gives one of them.
TEST_F(TranscodeTest, SourceTagsAreKept)
{
    const std::map<std::string, std::string> source = {
        {"title", "Kestravo Tone"}, {"artist", "Larkspire"}, {"album", "Test Album"}, {"date", "2009"},
        {"track", "7"}, {"genre", "Ambient"}, {"comment", "made for the tests"}};
    for (const char* output : {"t.m4a", "t.mp3", "t.ogg", "t.mkv"}) {
        SCOPED_TRACE(output);
        ASSERT_TRUE(Convert("mp3_all_tags.mp3", {}, Out(output), {}).Finished);
        const TProbe p = Probe(Out(output));
        ASSERT_TRUE(p.Ok);
        for (const auto& [key, value] : source) {
            const auto tag = p.Tags.find(key);
            EXPECT_TRUE(tag != p.Tags.end() && tag->second.rfind(value, 0) == 0) << key;   // "7" may read "7/0"
        }
    }
    // What the options give stays; the older "author" stands for the artist.
    ASSERT_TRUE(Convert("mp3_all_tags.mp3", {}, Out("o.mkv"),
                        {{"metadata", "title=Another Title"}, {"metadata", "author=Someone"}})
                    .Finished);
    TProbe p = Probe(Out("o.mkv"));
    EXPECT_EQ(p.Tags["title"], "Another Title");
    EXPECT_EQ(p.Tags["author"], "Someone");
    EXPECT_EQ(p.Tags.count("artist"), 0u);
    EXPECT_EQ(p.Tags["album"], "Test Album");
}

}  // namespace
