// The video path end to end: re-encoding at a new size and rate, frame-rate
// synchronisation, crop, pad and scale (checked with a box a plug-in paints),
// filter chains, two-pass statistics, subtitles and every video encoder on offer;
// and the crop and pad views on their own.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

extern "C" {
#include <libavutil/pixfmt.h>
}

#include "engine/FFmpegStreams.h"
#include "engine/PictureViews.h"
#include "media/AVCodecStubs.h"
#include "media/AVUtilStubs.h"
#include "media/FFmpegLoader.h"
#include "tests/support/VideoConvert.h"
#include "workflow/EntryForms.h"
#include "workflow/IniOptions.h"
#include "workflow/JobBuilder.h"

using namespace kv::engine;
using namespace kv::test;
namespace fs = std::filesystem;

namespace {

const std::string BoxHook = std::string(KV_TEST_FIXTURE_DIR) + "/hooks/kvtest_box_hook.so";

using VideoPathTest = TOutputFolderTest;

// ---------------------------------------------------------------------------
// Views

TEST_F(VideoPathTest, CropViewMovesEveryPlaneByItsSubsampling)
{
    std::uint8_t y[64 * 16], u[32 * 8], v[32 * 8], uv[64 * 8];
    std::uint8_t* planar[4] = {y, u, v, nullptr};
    const int planarLines[4] = {64, 32, 32, 0};
    TPictureView view;
    ASSERT_EQ(CropView(view, planar, planarLines, AV_PIX_FMT_YUV420P, 4, 6), 0);
    EXPECT_EQ(view.Data[0], y + 4 * 64 + 6);
    EXPECT_EQ(view.Data[1], u + 2 * 32 + 3);
    EXPECT_EQ(view.Data[2], v + 2 * 32 + 3);
    EXPECT_EQ(view.Linesize[1], 32);

    std::uint8_t* semi[4] = {y, uv, nullptr, nullptr};
    const int semiLines[4] = {64, 64, 0, 0};
    ASSERT_EQ(CropView(view, semi, semiLines, AV_PIX_FMT_NV12, 4, 6), 0);
    EXPECT_EQ(view.Data[1], uv + 2 * 64 + 6) << "interleaved chroma: two bytes per sample";

    std::uint8_t* packed[4] = {y, nullptr, nullptr, nullptr};
    const int packedLines[4] = {64, 0, 0, 0};
    ASSERT_EQ(CropView(view, packed, packedLines, AV_PIX_FMT_BGR24, 1, 2), 0);
    EXPECT_EQ(view.Data[0], y + 64 + 6);

    EXPECT_LT(CropView(view, planar, planarLines, AV_PIX_FMT_YUV420P, 3, 6), 0) << "odd band splits chroma rows";
    EXPECT_LT(CropView(view, planar, planarLines, AV_PIX_FMT_YUV420P, 4, 5), 0);
    EXPECT_LT(CropView(view, packed, packedLines, AV_PIX_FMT_PAL8, 0, 0), 0);
}

TEST_F(VideoPathTest, PadFillsTheBandsWithThePadColourAndCopiesTheSource)
{
    // 8 x 6 picture, bands: top 2, bottom 0, left 2, right 2; source 4 x 4.
    std::vector<std::uint8_t> y(8 * 6, 0xEE), u(4 * 3, 0xEE), v(4 * 3, 0xEE);
    std::uint8_t* dst[4] = {y.data(), u.data(), v.data(), nullptr};
    const int dstLines[4] = {8, 4, 4, 0};
    std::vector<std::uint8_t> sy(4 * 4, 50), su(2 * 2, 60), sv(2 * 2, 70);
    const std::uint8_t* src[4] = {sy.data(), su.data(), sv.data(), nullptr};
    const int srcLines[4] = {4, 2, 2, 0};
    ASSERT_EQ(PadPicture(dst, dstLines, src, srcLines, 6, 8, AV_PIX_FMT_YUV420P, 2, 0, 2, 2, 16, 128, 130), 0);
    for (int r = 0; r < 6; ++r)
        for (int c = 0; c < 8; ++c) {
            const bool inner = r >= 2 && c >= 2 && c < 6;
            EXPECT_EQ(y[r * 8 + c], inner ? 50 : 16) << r << "," << c;
        }
    EXPECT_EQ(u[0], 128);
    EXPECT_EQ(v[3], 130);
    EXPECT_EQ(u[1 * 4 + 1], 60);
    EXPECT_EQ(v[2 * 4 + 2], 70);
    EXPECT_EQ(u[2 * 4 + 3], 128);

    // Without a source the middle is kept.
    std::fill(y.begin(), y.end(), 99);
    ASSERT_EQ(PadPicture(dst, dstLines, nullptr, nullptr, 6, 8, AV_PIX_FMT_YUV420P, 2, 0, 2, 2, 16, 128, 128), 0);
    EXPECT_EQ(y[3 * 8 + 3], 99);
    EXPECT_EQ(y[3 * 8 + 1], 16);

    // Packed 4:2:2 takes the colour as Y U Y V.
    std::vector<std::uint8_t> yuyv(8 * 2 * 2, 0);
    std::uint8_t* packed[4] = {yuyv.data(), nullptr, nullptr, nullptr};
    const int packedLines[4] = {16, 0, 0, 0};
    ASSERT_EQ(PadPicture(packed, packedLines, nullptr, nullptr, 2, 8, AV_PIX_FMT_YUYV422, 2, 0, 0, 0, 16, 100, 200), 0);
    EXPECT_EQ(yuyv[0], 16);
    EXPECT_EQ(yuyv[1], 100);
    EXPECT_EQ(yuyv[2], 16);
    EXPECT_EQ(yuyv[3], 200);
    EXPECT_LT(PadPicture(dst, dstLines, src, srcLines, 6, 8, AV_PIX_FMT_YUV420P, 1, 0, 2, 2, 16, 128, 128), 0);
}

// ---------------------------------------------------------------------------
// Re-encoding, rate and synchronisation

TEST_F(VideoPathTest, Mpeg4ToH264AtANewSize)
{
    const auto r = Convert(sink, "avi_mpeg4_mp2.avi", {}, Out("a.mp4"),
                           {{"vcodec", "libx264"}, {"s", "176x144"}, {"an", ""}});
    ASSERT_TRUE(r.Finished) << r.Message;
    const TDecodedVideo v = DecodeVideo(Out("a.mp4"));
    ASSERT_TRUE(v.Ok);
    EXPECT_EQ(v.Codec, AV_CODEC_ID_H264);
    EXPECT_EQ(v.Width, 176);
    EXPECT_EQ(v.Height, 144);
    EXPECT_EQ(v.Frames, 50) << "the encoder's held-back pictures come out at the end";
}

struct TSyncCase {
    const char* Input;
    const char* Output;
    const char* Rate;      // empty: the input's
    const char* Method;
    int Frames, Dups, Drops;
    double LastPts;        // seconds; < 0: not checked
};

TEST_F(VideoPathTest, FrameRateSynchronisationDuplicatesAndDrops)
{
    const TSyncCase cases[] = {
        // 25 -> 15 fps: 2 s give 30 pictures, the rest dropped.
        {"avi_mpeg4_mp2.avi", "r.avi", "15", "1", 30, 0, 20, -1},
        {"avi_mpeg4_mp2.avi", "r.avi", "15", "-1", 30, 0, 20, -1},
        // Three pictures missing after the 25th: three duplicates of it fill the gap.
        {"gap_160x120.mkv", "g.avi", "", "1", 53, 3, 0, -1},
        // No synchronisation: each picture once, at its own time.
        {"gap_160x120.mkv", "g.mkv", "", "0", 50, 0, 0, 2.08},
        // Method 2: no duplicates, the output clock jumps over the gap.
        {"gap_160x120.mkv", "g.mkv", "", "2", 50, 0, 0, 2.08},
        {"avi_mpeg4_mp2.avi", "r.mkv", "15", "2", 30, 0, 20, -1},
    };
    for (const TSyncCase& c : cases) {
        SCOPED_TRACE(std::string(c.Input) + " -> " + c.Output + " r=" + c.Rate + " vsync=" + c.Method);
        TOptionList options = {{"vcodec", "mpeg4"}, {"an", ""}, {"vsync", c.Method}, {"v", "3"}};
        if (*c.Rate) options.emplace_back("r", c.Rate);
        int dups = -1, drops = -1;
        sink.Lines.clear();
        const auto r = Convert(sink, c.Input, {}, Out(c.Output), options, {}, [&](TCustomFFmpeg& task) {
            dups = task.DupFrameCount;
            drops = task.DropFrameCount;
        });
        ASSERT_TRUE(r.Finished) << r.Message;
        const TDecodedVideo v = DecodeVideo(Out(c.Output));
        EXPECT_EQ(v.Frames, c.Frames);
        EXPECT_EQ(dups, c.Dups);
        EXPECT_EQ(drops, c.Drops);
        if (c.Dups > 0) {
            EXPECT_TRUE(sink.Has("*** " + std::to_string(c.Dups) + " dup!"));
        }
        if (c.Drops > 0) {
            EXPECT_EQ(sink.Count("*** drop!"), c.Drops);
        }
        if (c.LastPts >= 0) {
            ASSERT_FALSE(v.Pts.empty());
            EXPECT_NEAR(static_cast<double>(v.Pts.back()) / 1e6, c.LastPts, 0.002);
        }
        fs::remove(Out(c.Output));
    }
}

// ---------------------------------------------------------------------------
// Crop, pad and scale, located by the box the plug-in paints at (100, 60), 40 x 40,
// into the decoded 320 x 240 picture before any of them.

struct TGeometryCase {
    const char* Name;
    TOptionList Options;
    int Width, Height;
    int BoxX, BoxY;        // where the box's centre lands
    int PadX, PadY;        // a point in a pad band; -1: none
};

TEST_F(VideoPathTest, CropPadAndScalePutTheBoxWhereItBelongs)
{
    const TGeometryCase cases[] = {
        {"crop", {{"croptop", "20"}, {"cropleft", "40"}}, 280, 220, 80, 60, -1, -1},
        {"crop and pad",
         {{"croptop", "20"}, {"cropleft", "40"}, {"padtop", "16"}, {"padleft", "8"}, {"padright", "8"},
          {"padbottom", "4"}},
         296, 240, 88, 76, 3, 100},
        {"crop, scale and pad",
         {{"croptop", "20"}, {"cropleft", "40"}, {"s", "140x110"}, {"padtop", "16"}, {"padleft", "10"},
          {"padright", "10"}, {"padbottom", "4"}},
         160, 130, 10 + 40, 16 + 30, 80, 6},
        {"scale", {{"s", "160x120"}}, 160, 120, 60, 40, -1, -1},
    };
    for (const TGeometryCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TOptionList options = {{"vcodec", "mpeg4"}, {"qscale", "2"}, {"an", ""},
                               {"vhook", BoxHook + " -x 100 -y 60 -w 40 -h 40 -l 250"}};
        options.insert(options.end(), c.Options.begin(), c.Options.end());
        const auto r = Convert(sink, "avi_mpeg4_mp2.avi", {}, Out("g.avi"), options);
        ASSERT_TRUE(r.Finished) << r.Message;
        const TDecodedVideo v = DecodeVideo(Out("g.avi"), true);
        ASSERT_TRUE(v.Ok);
        EXPECT_EQ(v.Width, c.Width);
        EXPECT_EQ(v.Height, c.Height);
        ASSERT_EQ(v.Frames, 50);
        for (int f : {0, 25, 49}) {
            EXPECT_GT(LumaAround(v, f, c.BoxX, c.BoxY), 235) << "frame " << f;
            if (c.PadX >= 0) {
                EXPECT_NEAR(LumaAround(v, f, c.PadX, c.PadY, 2), 16, 4) << "frame " << f;
            }
        }
        fs::remove(Out("g.avi"));
    }
}

TEST_F(VideoPathTest, FilterChainAndItsConflictsWithCropAndPad)
{
    auto r = Convert(sink, "avi_mpeg4_mp2.avi", {}, Out("f.avi"),
                     {{"vcodec", "mpeg4"}, {"an", ""}, {"vfilters", "scale=96:64,hflip"}});
    ASSERT_TRUE(r.Finished) << r.Message;
    TDecodedVideo v = DecodeVideo(Out("f.avi"));
    EXPECT_EQ(v.Width, 96);
    EXPECT_EQ(v.Height, 64);
    EXPECT_EQ(v.Frames, 50);

    r = Convert(sink, "avi_mpeg4_mp2.avi", {}, Out("p.avi"),
                {{"vcodec", "mpeg4"}, {"an", ""}, {"vfilters", "hflip"}, {"padtop", "16"}, {"padbottom", "16"}});
    ASSERT_TRUE(r.Finished) << r.Message;
    v = DecodeVideo(Out("p.avi"), true);
    EXPECT_EQ(v.Height, 272) << "a chain that keeps the size may be padded";
    EXPECT_NEAR(LumaAround(v, 0, 160, 4, 2), 16, 4);

    r = Convert(sink, "avi_mpeg4_mp2.avi", {}, Out("c.avi"),
                {{"vcodec", "mpeg4"}, {"an", ""}, {"croptop", "16"}, {"vfilters", "hflip"}});
    EXPECT_FALSE(r.Finished);
    EXPECT_NE(r.Message.find("Cannot enable crop options and filters at the same time."), std::string::npos)
        << r.Message;
    r = Convert(sink, "avi_mpeg4_mp2.avi", {}, Out("c.avi"),
                {{"vcodec", "mpeg4"}, {"an", ""}, {"padtop", "16"}, {"vfilters", "Scale=100:80"}});
    EXPECT_FALSE(r.Finished);
    EXPECT_NE(r.Message.find("Cannot enable pad options and the filters which resize frame at the same time. "
                             "(crop, rotate, scale, transpose, etc.)"),
              std::string::npos)
        << r.Message;
    EXPECT_FALSE(fs::exists(Out("c.avi")) && fs::file_size(Out("c.avi")) > 0);
}

TEST_F(VideoPathTest, TwoPassWritesAndReadsTheNamedStatistics)
{
    // libx264 keeps its own statistics files; they take the same name all the same.
    const struct {
        const char* Codec;
        const char* Extension;
    } cases[] = {{"mpeg4", ".avi"}, {"libx264", ".mp4"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Codec);
        const std::string prefix = Out(std::string("stats_") + c.Codec);
        const TOptionList common = {{"vcodec", c.Codec}, {"an", ""}, {"b", "200k"}, {"passlogfile", prefix}};
        TOptionList first = common;
        first.emplace_back("pass", "1");
        auto r = Convert(sink, "avi_mpeg4_mp2.avi", {}, Out(std::string("p1") + c.Extension), first);
        ASSERT_TRUE(r.Finished) << r.Message;
        const std::string log = prefix + "-0.log";
        ASSERT_TRUE(fs::exists(log));
        std::ifstream in(log);
        const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_GE(std::count(text.begin(), text.end(), '\n'), 50) << "one line per picture";
        if (std::string(c.Codec) == "libx264") {
            EXPECT_TRUE(fs::exists(log + ".mbtree"));
        }

        TOptionList second = common;
        second.emplace_back("pass", "2");
        r = Convert(sink, "avi_mpeg4_mp2.avi", {}, Out(std::string("p2") + c.Extension), second);
        ASSERT_TRUE(r.Finished) << r.Message;
        EXPECT_EQ(DecodeVideo(Out(std::string("p2") + c.Extension)).Frames, 50);

        fs::remove(log);
        r = Convert(sink, "avi_mpeg4_mp2.avi", {}, Out(std::string("p3") + c.Extension), second);
        EXPECT_FALSE(r.Finished);
        EXPECT_EQ(r.Message, "Cannot read log file " + log + " for pass-2 encoding");
    }
}

TEST_F(VideoPathTest, TextSubtitlesAreReencoded)
{
    const auto r = Convert(sink, "mkv_subtitle.mkv", {}, Out("s.mkv"),
                           {{"vcodec", "copy"}, {"acodec", "copy"}, {"scodec", "srt"}});
    ASSERT_TRUE(r.Finished) << r.Message;
    const TDecodedVideo v = DecodeVideo(Out("s.mkv"));
    ASSERT_EQ(v.StreamCodecs.size(), 3u);
    EXPECT_EQ(v.StreamCodecs[2], AV_CODEC_ID_SUBRIP);
    EXPECT_EQ(v.OtherStreamPackets, DecodeVideo(MediaFile("mkv_subtitle.mkv")).OtherStreamPackets)
        << "both cues and every audio packet";
    EXPECT_EQ(v.Frames, 50);
}

// Every video encoder the libraries offer, from clips of several sizes and rates,
// at the options' size, rate and bit rate.
TEST_F(VideoPathTest, EveryVideoEncoderAtTheOptionsSizeRateAndBitRate)
{
    struct TEncoder {
        const char* Name;
        const char* Extension;
        AVCodecID Id;
    };
    const TEncoder encoders[] = {
        {"libx264", "mp4", AV_CODEC_ID_H264},    {"mpeg4", "avi", AV_CODEC_ID_MPEG4},
        {"libxvid", "avi", AV_CODEC_ID_MPEG4},   {"h263", "3gp", AV_CODEC_ID_H263},
        {"flv", "flv", AV_CODEC_ID_FLV1},        {"mpeg1video", "mpg", AV_CODEC_ID_MPEG1VIDEO},
        {"mpeg2video", "mpg", AV_CODEC_ID_MPEG2VIDEO},
    };
    for (const char* clip : {"avi_mpeg4_mp2.avi", "mp4_h264_aac.mp4", "pal_16x15.avi", "short_0999ms.avi"}) {
        for (const TEncoder& e : encoders) {
            SCOPED_TRACE(std::string(clip) + " -> " + e.Name);
            if (!av::avcodec_find_encoder_by_name(e.Name)) continue;
            const std::string out = Out(std::string("e.") + e.Extension);
            const auto r = Convert(sink, clip, {}, out,
                                   {{"vcodec", e.Name}, {"s", "176x144"}, {"r", "25"}, {"b", "300k"}, {"an", ""}});
            ASSERT_TRUE(r.Finished) << r.Message;
            const TDecodedVideo v = DecodeVideo(out);
            ASSERT_TRUE(v.Ok);
            EXPECT_EQ(v.Codec, e.Id);
            EXPECT_EQ(v.Width, 176);
            EXPECT_EQ(v.Height, 144);
            EXPECT_NEAR(av_q2d(v.FrameRate), 25.0, 0.01);
            ASSERT_GT(v.Frames, 0);
            const double seconds = v.Frames / 25.0;
            EXPECT_LT(v.PacketBytes * 8 / seconds, 3 * 300000.0) << "bit rate far above the option's";
            fs::remove(out);
        }
    }
}

// ---------------------------------------------------------------------------
// Pixel formats and the shape of the pixels

// The source's 4:4:4 or 4:2:2 is no format for devices: every video encoder of the
// shipped catalogue gets 8-bit 4:2:0 unless "pix_fmt" says otherwise.
TEST_F(VideoPathTest, CatalogueEncodersGetFourTwoZeroFromAnySource)
{
    kv::workflow::TIniOptions catalogue;
    catalogue.LoadFromFile(std::string(KV_STAGE_DIR) + "/kestravo.ini");
    std::vector<std::pair<std::string, std::string>> encoders;   // encoder, extension
    for (const kv::workflow::TFormatRec& f : catalogue.Formats) {
        if (f.Category != 1) continue;
        std::vector<std::string> entries;
        kv::workflow::TIniOptions::SplitList(f.VideoEncoder, entries);
        for (const std::string& entry : entries) {
            // Today's entries ("H.264 High", "H.265/HEVC 10-bit", "Copy") get their depth from
            // the job builder; the catalogue's conversion tests read those back.
            if (kv::workflow::ReadEncoderEntry(entry)) continue;
            const std::pair<std::string, std::string> e{kv::workflow::VideoCodecName(entry), f.Ext};
            if (std::none_of(encoders.begin(), encoders.end(), [&](const auto& x) { return x.first == e.first; }))
                encoders.push_back(e);
        }
    }
    ASSERT_GE(encoders.size(), 6u);
    for (const char* clip : {"h264_444p10.mkv", "mjpeg_422.avi"}) {
        for (const auto& [encoder, ext] : encoders) {
            SCOPED_TRACE(std::string(clip) + " -> " + encoder + ext);
            const std::string out = Out("f" + ext);
            const auto r = Convert(sink, clip, {}, out, {{"vcodec", encoder}, {"an", ""}});
            ASSERT_TRUE(r.Finished) << r.Message;
            const TDecodedVideo v = DecodeVideo(out);
            ASSERT_TRUE(v.Ok);
            EXPECT_EQ(v.Frames, 10);
            EXPECT_EQ(v.PixelFormat, AV_PIX_FMT_YUV420P) << av::av_get_pix_fmt_name(AVPixelFormat(v.PixelFormat));
            fs::remove(out);
        }
    }
}

TEST_F(VideoPathTest, AnExplicitPixelFormatWinsWhereTheEncoderTakesIt)
{
    const struct {
        const char* Clip;
        TOptionList Options;
        const char* Output;
        AVPixelFormat Expected;
        const char* Warning;   // empty: none
    } cases[] = {
        {"mjpeg_444.avi", {{"vcodec", "libx264"}, {"pix_fmt", "yuv444p"}}, "a.mkv", AV_PIX_FMT_YUV444P, ""},
        {"mjpeg_444.avi", {{"vcodec", "libx264"}}, "b.mkv", AV_PIX_FMT_YUV420P, ""},
        {"mp4_h264_aac.mp4", {{"vcodec", "mpeg4"}, {"pix_fmt", "yuv444p"}}, "c.avi", AV_PIX_FMT_YUV420P,
         "WARNING: mpeg4 does not take the pixel format yuv444p; yuv420p is used instead"},
        // An encoder that lists the full-range form first gets that one.
        {"h264_444p10.mkv", {{"vcodec", "mjpeg"}}, "d.avi", AV_PIX_FMT_YUVJ420P, ""},
        // Without any 4:2:0 form: the encoder's first listed format.
        {"mjpeg_422.avi", {{"vcodec", "png"}}, "e.mkv", AV_PIX_FMT_RGB24, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Output);
        sink.Lines.clear();
        TOptionList options = c.Options;
        options.emplace_back("an", "");
        const auto r = Convert(sink, c.Clip, {}, Out(c.Output), options);
        ASSERT_TRUE(r.Finished) << r.Message;
        const TDecodedVideo v = DecodeVideo(Out(c.Output));
        ASSERT_TRUE(v.Ok);
        EXPECT_EQ(v.PixelFormat, c.Expected) << av::av_get_pix_fmt_name(AVPixelFormat(v.PixelFormat));
        if (*c.Warning) {
            EXPECT_TRUE(sink.Has(c.Warning));
        } else {
            EXPECT_EQ(sink.CountPrefix("WARNING:"), 0);
        }
    }
}

// Crop and pad cut and add pixels of the source's shape; only an explicit aspect
// reshapes them.
TEST_F(VideoPathTest, CropAndPadKeepTheSourcesPixelShape)
{
    const struct {
        const char* Clip;
        TOptionList Options;
        int Width, Height;
        AVRational PixelShape;
    } cases[] = {
        {"avi_mpeg4_mp2.avi", {{"cropleft", "80"}, {"cropright", "80"}}, 160, 240, {1, 1}},
        {"avi_mpeg4_mp2.avi", {{"padtop", "40"}, {"padbottom", "40"}}, 320, 320, {1, 1}},
        {"avi_mpeg4_mp2.avi", {{"croptop", "40"}, {"padleft", "20"}, {"padright", "20"}}, 360, 200, {1, 1}},
        // The 160 x 240 that are left, shown at 320 x 240: each pixel half as wide.
        {"avi_mpeg4_mp2.avi", {{"cropleft", "80"}, {"cropright", "80"}, {"s", "320x240"}}, 320, 240, {1, 2}},
        {"pal_16x15.avi", {{"cropleft", "180"}, {"cropright", "180"}, {"padtop", "32"}}, 360, 608, {16, 15}},
        // An explicit aspect is the whole picture's.
        {"avi_mpeg4_mp2.avi", {{"cropleft", "80"}, {"cropright", "80"}, {"aspect", "16:9"}}, 160, 240, {8, 3}},
        {"avi_mpeg4_mp2.avi", {{"padtop", "40"}, {"padbottom", "40"}, {"aspect", "4:3"}}, 320, 320, {4, 3}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.Options));
        TOptionList options = {{"vcodec", "libx264"}, {"an", ""}};
        options.insert(options.end(), c.Options.begin(), c.Options.end());
        const auto r = Convert(sink, c.Clip, {}, Out("s.mp4"), options);
        ASSERT_TRUE(r.Finished) << r.Message;
        const TDecodedVideo v = DecodeVideo(Out("s.mp4"));
        ASSERT_TRUE(v.Ok);
        EXPECT_EQ(v.Width, c.Width);
        EXPECT_EQ(v.Height, c.Height);
        EXPECT_EQ(av_cmp_q(v.SampleAspect, c.PixelShape), 0) << v.SampleAspect.num << ":" << v.SampleAspect.den;
        fs::remove(Out("s.mp4"));
    }
}

// The bands take the pad colour (0x00BBGGRR, also written as hexadecimal digits alone).
TEST_F(VideoPathTest, PadBandsTakeThePadColour)
{
    const struct {
        const char* Color;
        int Luma;
    } cases[] = {{"0x0000FF", 76}, {"FF0000", 29}, {"16777215", 255}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Color);
        const auto r = Convert(sink, "avi_mpeg4_mp2.avi", {}, Out("p.avi"),
                               {{"vcodec", "mpeg4"}, {"qscale", "2"}, {"an", ""}, {"padtop", "32"},
                                {"padcolor", c.Color}});
        ASSERT_TRUE(r.Finished) << r.Message;
        const TDecodedVideo v = DecodeVideo(Out("p.avi"), true);
        ASSERT_TRUE(v.Ok);
        ASSERT_EQ(v.Height, 272);
        for (int f : {0, 49}) EXPECT_NEAR(LumaAround(v, f, 160, 12), c.Luma, 3) << "frame " << f;
    }
}

// An option of one encoder or container reaches it when it opens; one that nothing
// of the conversion takes is named in a warning.
TEST_F(VideoPathTest, LibrariesOwnOptionsReachTheirCodecAndContainer)
{
    std::int64_t bytes[2] = {};
    for (int i = 0; i < 2; ++i) {
        const auto r = Convert(sink, "avi_mpeg4_mp2.avi", {}, Out("x.mp4"),
                               {{"vcodec", "libx264"}, {"an", ""}, {"crf", i == 0 ? "10" : "45"},
                                {"movflags", "+faststart"}});
        ASSERT_TRUE(r.Finished) << r.Message;
        bytes[i] = DecodeVideo(Out("x.mp4")).PacketBytes;
    }
    EXPECT_GT(bytes[0], 4 * bytes[1]);
    std::ifstream in(Out("x.mp4"), std::ios::binary);
    const std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_LT(file.find("moov"), file.find("mdat")) << "the index in front";
    EXPECT_EQ(sink.CountPrefix("WARNING:"), 0);

    const auto r = Convert(sink, "avi_mpeg4_mp2.avi", {}, Out("x.avi"), {{"vcodec", "mpeg4"}, {"crf", "10"}});
    ASSERT_TRUE(r.Finished) << r.Message;
    EXPECT_TRUE(sink.Has("WARNING: no codec or container of this conversion takes the option 'crf'"));
}

}  // namespace
