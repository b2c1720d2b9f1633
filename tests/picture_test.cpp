// Pictures of phones, cameras and archives as a player shows the converted file:
// turned upright, colours decoded with the matrix the output says (or the one its
// size implies), interlaced sources deinterlaced.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>

extern "C" {
#include <libavutil/pixdesc.h>
}

#include "engine/PictureCorrection.h"
#include "media/AVCodecStubs.h"
#include "media/AVFormatStubs.h"
#include "media/AVProbe.h"
#include "media/AVUtilStubs.h"
#include "media/AvHandles.h"
#include "media/PictureOrientation.h"
#include "tests/support/FlashBeep.h"
#include "tests/support/TurnedClips.h"
#include "tests/support/VideoConvert.h"

using namespace kv::engine;
using namespace kv::test;

namespace {

// One decoded picture of a file with what its stream says about it.
struct TShownPicture {
    bool Ok = false;
    int Width = 0, Height = 0;
    AVColorSpace Matrix = AVCOL_SPC_UNSPECIFIED;
    AVColorPrimaries Primaries = AVCOL_PRI_UNSPECIFIED;
    AVColorTransferCharacteristic Transfer = AVCOL_TRC_UNSPECIFIED;
    AVColorRange Range = AVCOL_RANGE_UNSPECIFIED;
    bool DisplayMatrix = false;
    double Sar = 0;   // the pixels' shape the picture says; 0 when it says none
    std::vector<std::uint8_t> Y, U, V;   // 8-bit 4:2:0 planes
    int Luma(int x, int y) const { return Y[static_cast<std::size_t>(y) * Width + x]; }
    // Red, green and blue 0..255 at (x, y), decoded as a player does: with the tagged
    // matrix, or BT.601 below 720 lines and BT.709 from there up.
    std::array<int, 3> Rgb(int x, int y) const
    {
        AVColorSpace m = Matrix;
        if (m == AVCOL_SPC_UNSPECIFIED) m = Height >= 720 ? AVCOL_SPC_BT709 : AVCOL_SPC_SMPTE170M;
        const double kr = m == AVCOL_SPC_BT709 ? 0.2126 : 0.299, kb = m == AVCOL_SPC_BT709 ? 0.0722 : 0.114;
        const double yy = (Luma(x, y) - 16) / 219.0;
        const std::size_t c = static_cast<std::size_t>(y / 2) * (Width / 2) + x / 2;
        const double cb = (U[c] - 128) / 224.0, cr = (V[c] - 128) / 224.0;
        const double r = yy + 2 * (1 - kr) * cr, b = yy + 2 * (1 - kb) * cb;
        const double g = (yy - kr * r - kb * b) / (1 - kr - kb);
        auto level = [](double v) { return static_cast<int>(std::lround(std::clamp(v, 0.0, 1.0) * 255)); };
        return {level(r), level(g), level(b)};
    }
};

// Picture `index` of the first video stream, converted to 8-bit 4:2:0 if need be.
TShownPicture ShowPicture(const std::string& file, int index = 0)
{
    TShownPicture p;
    AVFormatContext* raw = nullptr;
    if (av::avformat_open_input(&raw, file.c_str(), nullptr, nullptr) < 0) return p;
    kv::media::InputFormatHandle ic(raw);
    if (av::avformat_find_stream_info(ic.get(), nullptr) < 0) return p;
    const int s = av::av_find_best_stream(ic.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (s < 0) return p;
    const AVStream* st = ic->streams[s];
    for (int i = 0; i < st->nb_side_data; ++i) p.DisplayMatrix |= st->side_data[i].type == AV_PKT_DATA_DISPLAYMATRIX;
    const AVCodec* codec = av::avcodec_find_decoder(st->codecpar->codec_id);
    kv::media::CodecContextHandle dec(av::avcodec_alloc_context3(codec));
    if (!dec || av::avcodec_parameters_to_context(dec.get(), st->codecpar) < 0 ||
        av::avcodec_open2(dec.get(), codec, nullptr) < 0)
        return p;
    kv::media::PacketHandle pkt(av::av_packet_alloc());
    kv::media::FrameHandle frame(av::av_frame_alloc());
    int seen = 0;
    auto take = [&] {
        while (av::avcodec_receive_frame(dec.get(), frame.get()) >= 0) {
            if (seen++ != index || p.Ok) {
                av::av_frame_unref(frame.get());
                continue;
            }
            const AVFrame* f = frame.get();
            p.Ok = true;
            p.Width = f->width;
            p.Height = f->height;
            if (f->sample_aspect_ratio.num > 0) p.Sar = av_q2d(f->sample_aspect_ratio);
            p.Matrix = f->colorspace;
            p.Primaries = f->color_primaries;
            p.Transfer = f->color_trc;
            p.Range = f->color_range;
            p.Y.resize(static_cast<std::size_t>(p.Width) * p.Height);
            p.U.resize(static_cast<std::size_t>(p.Width / 2) * (p.Height / 2));
            p.V.resize(p.U.size());
            kv::media::ScalerHandle sws(av::sws_getContext(f->width, f->height, static_cast<AVPixelFormat>(f->format),
                                                           f->width, f->height, AV_PIX_FMT_YUV420P, SWS_POINT,
                                                           nullptr, nullptr, nullptr));
            std::uint8_t* planes[4] = {p.Y.data(), p.U.data(), p.V.data(), nullptr};
            const int lines[4] = {p.Width, p.Width / 2, p.Width / 2, 0};
            if (sws) av::sws_scale(sws.get(), f->data, f->linesize, 0, f->height, planes, lines);
            av::av_frame_unref(frame.get());
        }
    };
    while (!p.Ok && av::av_read_frame(ic.get(), pkt.get()) >= 0) {
        if (pkt->stream_index == s && av::avcodec_send_packet(dec.get(), pkt.get()) >= 0) take();
        av::av_packet_unref(pkt.get());
    }
    if (!p.Ok) {
        av::avcodec_send_packet(dec.get(), nullptr);
        take();
    }
    return p;
}

using PictureTest = TOutputFolderTest;

// Converts `input` into `output` with `options` and shows the output's picture `frame`,
// which must be `width` x `height`.
void ConvertAndShow(TRecordingSink& sink, const std::string& input, const std::string& output,
                    const TOptionList& options, int frame, int width, int height, TShownPicture& shown)
{
    const auto r = Convert(sink, input, {}, output, options);
    ASSERT_TRUE(r.Finished) << output << ": " << r.Message;
    shown = ShowPicture(output, frame);
    ASSERT_TRUE(shown.Ok) << output;
    EXPECT_EQ(shown.Width, width) << output;
    EXPECT_EQ(shown.Height, height) << output;
}

// ---------------------------------------------------------------------------
// Turned and mirrored sources

TEST_F(PictureTest, DisplayMatricesSnapToTheTurnAndMirrorTheyShow)
{
    constexpr std::int32_t one = 1 << 16;
    struct {
        std::int32_t a, b, c, d;
        int clockwise;
        bool mirror;
    } cases[] = {
        {one, 0, 0, one, 0, false},       {0, one, -one, 0, 90, false},    {-one, 0, 0, -one, 180, false},
        {0, -one, one, 0, 270, false},    {-one, 0, 0, one, 0, true},      {one, 0, 0, -one, 180, true},
        {0, -one, -one, 0, 90, true},     {0, one, one, 0, 270, true},
        // Two degrees off a quarter turn, as a phone's sensor may record it.
        {2287, 65496, -65496, 2287, 90, false},
        {0, 0, 0, 0, 0, false},   // degenerate: left as stored
    };
    for (const auto& c : cases) {
        const std::int32_t m[9] = {c.a, c.b, 0, c.c, c.d, 0, 0, 0, 1 << 30};
        const kv::media::TOrientation o = kv::media::OrientationFromMatrix(m);
        EXPECT_EQ(o.Clockwise, c.clockwise) << c.a << " " << c.b << " " << c.c << " " << c.d;
        EXPECT_EQ(o.Mirror, c.mirror) << c.a << " " << c.b << " " << c.c << " " << c.d;
    }
}

using kv::test::TTurnedClip;
using kv::test::TurnedClips;

void ExpectCorners(const TShownPicture& p, const int (&corners)[4], const std::string& what)
{
    const int w = p.Width, h = p.Height;
    const int at[4][2] = {{w / 10, h / 10}, {w - w / 10, h / 10}, {w / 10, h - h / 10}, {w - w / 10, h - h / 10}};
    for (int i = 0; i < 4; ++i)
        EXPECT_NEAR(p.Luma(at[i][0], at[i][1]), corners[i], 12) << what << ", corner " << i;
}

TEST_F(PictureTest, TurnedSourcesComeOutUprightWithoutATurnOfTheirOwn)
{
    // At its own size, and made smaller (which happens before the turn).
    for (const TTurnedClip& c : TurnedClips)
        for (const int divisor : {1, 2}) {
            const std::string out = Out(std::to_string(divisor) + "_up_" + c.Name);
            const int w = c.Width / divisor, h = c.Height / divisor;
            TShownPicture p;
            ASSERT_NO_FATAL_FAILURE(ConvertAndShow(
                sink, c.Name, out, {{"vcodec", "libx264"}, {"s", std::to_string(w) + "x" + std::to_string(h)}, {"an", ""}},
                3, w, h, p));
            EXPECT_FALSE(p.DisplayMatrix) << out << ": the picture is already turned";
            ExpectCorners(p, c.Corners, out);
        }
}

TEST_F(PictureTest, TurnComesBeforeScalingAndTheProbeReportsTheUprightSize)
{
    // A size given for the output is the upright picture's.
    TShownPicture p;
    ASSERT_NO_FATAL_FAILURE(ConvertAndShow(sink, "turn_90.mp4", Out("small.mp4"),
                                           {{"vcodec", "libx264"}, {"s", "88x160"}, {"an", ""}}, 3, 88, 160, p));
    ExpectCorners(p, TurnedClips[0].Corners, "scaled");

    // Crops are measured on the upright picture too (on the stored one this would be 160x312).
    TShownPicture c;
    ASSERT_NO_FATAL_FAILURE(ConvertAndShow(sink, "turn_90.mp4", Out("cropped.mp4"),
                                           {{"vcodec", "libx264"}, {"croptop", "16"}, {"cropleft", "8"}, {"an", ""}},
                                           3, 168, 304, c));
    ExpectCorners(c, TurnedClips[0].Corners, "cropped");

    kv::media::TAVProbe probe;
    ASSERT_TRUE(probe.OpenFile(MediaFile("turn_90.mp4")));
    int w = 0, h = 0;
    ASSERT_TRUE(probe.GetVideoFrameSize(w, h));
    EXPECT_EQ(w, 176);
    EXPECT_EQ(h, 320);
}

TEST_F(PictureTest, AStreamCopyKeepsTheTurnTheSourceAsksFor)
{
    const auto r = Convert(sink, "turn_90.mp4", {}, Out("copy.mp4"), {{"vcodec", "copy"}, {"an", ""}});
    ASSERT_TRUE(r.Finished) << r.Message;
    const TShownPicture p = ShowPicture(Out("copy.mp4"));
    ASSERT_TRUE(p.Ok);
    EXPECT_TRUE(p.DisplayMatrix);
    EXPECT_EQ(p.Width, 320) << "the stored picture is untouched";
    kv::media::TAVProbe probe;
    ASSERT_TRUE(probe.OpenFile(Out("copy.mp4")));
    int w = 0, h = 0;
    ASSERT_TRUE(probe.GetVideoFrameSize(w, h));
    EXPECT_EQ(w, 176);
    EXPECT_EQ(h, 320);
}

// ---------------------------------------------------------------------------
// Colour

struct TColourCase {
    const char* Input;
    const char* Output;
    const char* Size;
    const char* Codec;
};

TEST_F(PictureTest, ColoursSurviveAChangeOfSizeClassAndEveryOutputIsTagged)
{
    const TColourCase cases[] = {
        {"bars_hd_709.mp4", "hd_to_sd.mp4", "640x360", "libx264"},
        {"bars_hd_709.mp4", "hd_to_sd.avi", "640x360", "mpeg4"},     // no tags in the stream
        {"bars_sd_601.avi", "sd_to_hd.mp4", "1280x720", "libx264"},
        {"bars_sd_601.avi", "sd_to_hd.mkv", "1280x720", "mpeg4"},
        {"bars_hd_709.mp4", "hd_to_hd.mkv", "1280x720", "libx264"},
        // IVF holds no colour tags: what is read back was written in the stream.
        {"bars_hd_709.mp4", "hd_to_sd_av1.ivf", "640x360", "libsvtav1"},
    };
    const int expected[4][3] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 255}};
    for (const TColourCase& c : cases) {
        const auto r = Convert(sink, c.Input, {}, Out(c.Output), {{"vcodec", c.Codec}, {"s", c.Size}, {"b", "4000k"}});
        ASSERT_TRUE(r.Finished) << c.Output << ": " << r.Message;
        const TShownPicture p = ShowPicture(Out(c.Output), 2);
        ASSERT_TRUE(p.Ok) << c.Output;
        for (int bar = 0; bar < 4; ++bar) {
            const auto rgb = p.Rgb(p.Width * (2 * bar + 1) / 8, p.Height / 2);
            for (int k = 0; k < 3; ++k)
                EXPECT_NEAR(rgb[k], expected[bar][k], 8) << c.Output << ", bar " << bar << ", component " << k;
        }
        // H.264 and AV1 say their colours in the stream: the source's matrix is kept and
        // named there; other codecs get the matrix their size class implies.
        const bool saysColour = std::string(c.Codec) == "libx264" || std::string(c.Codec) == "libsvtav1";
        if (saysColour || std::string(c.Output).ends_with(".mkv")) {
            const bool hd = saysColour ? std::string(c.Input).find("_hd_") != std::string::npos : p.Height >= 720;
            EXPECT_EQ(p.Matrix, hd ? AVCOL_SPC_BT709 : AVCOL_SPC_SMPTE170M) << c.Output;
            EXPECT_EQ(p.Primaries, hd ? AVCOL_PRI_BT709 : AVCOL_PRI_SMPTE170M) << c.Output;
            EXPECT_NE(p.Transfer, AVCOL_TRC_UNSPECIFIED) << c.Output;
            EXPECT_EQ(p.Range, AVCOL_RANGE_MPEG) << c.Output;
        }
    }
}

// The bars of the HDR clips as an SDR picture shows them, tagged as SDR with the matrix
// of the picture's size class.
void ExpectSdrBars(const TShownPicture& p, const std::string& what, AVColorSpace matrix = AVCOL_SPC_BT709)
{
    // Red, green and blue at 60 % of the signal, grey at 50 %.
    const int expected[4][3] = {{153, 0, 0}, {0, 153, 0}, {0, 0, 153}, {128, 128, 128}};
    for (int bar = 0; bar < 4; ++bar) {
        const auto rgb = p.Rgb(p.Width * (2 * bar + 1) / 8, p.Height / 2);
        // The curve is steep near black: 30 levels there are less than 1 % of the light.
        for (int k = 0; k < 3; ++k)
            EXPECT_NEAR(rgb[k], expected[bar][k], expected[bar][k] ? 10 : 30)
                << what << ", bar " << bar << ", component " << k;
    }
    EXPECT_EQ(p.Matrix, matrix) << what;
    EXPECT_EQ(p.Primaries, AVCOL_PRI_BT709) << what;
    EXPECT_EQ(p.Transfer, AVCOL_TRC_BT709) << what;
}

TEST_F(PictureTest, HdrSourcesAreToneMappedIntoSdrOutputs)
{
    for (const char* input : {"bars_pq.mkv", "bars_hlg.mkv"}) {
        const std::string out = Out(std::string("sdr_") + input + ".mp4");
        const auto r = Convert(sink, input, {}, out, {{"vcodec", "libx264"}, {"b", "4000k"}});
        ASSERT_TRUE(r.Finished) << input << ": " << r.Message;
        const TShownPicture p = ShowPicture(out, 2);
        ASSERT_TRUE(p.Ok) << input;
        ExpectSdrBars(p, input);
    }
}

TEST_F(PictureTest, APhonesTurnedHdrClipComesOutUprightToneMappedAndSmaller)
{
    // Made smaller, turned and tone-mapped in one go: each step must leave the others right.
    TShownPicture p;
    ASSERT_NO_FATAL_FAILURE(ConvertAndShow(sink, "phone_hlg_turned.mp4", Out("phone.mp4"),
                                           {{"vcodec", "libx264"}, {"s", "360x640"}, {"b", "4000k"}}, 2, 360, 640, p));
    EXPECT_FALSE(p.DisplayMatrix);
    ExpectSdrBars(p, "phone", AVCOL_SPC_SMPTE170M);   // 640 lines: standard definition
}

TEST_F(PictureTest, ATenBitOutputKeepsHdrWithItsTags)
{
    const auto r = Convert(sink, "bars_pq.mkv", {}, Out("hdr.mkv"),
                           {{"vcodec", "libx264"}, {"pix_fmt", "yuv420p10le"}, {"b", "4000k"}});
    ASSERT_TRUE(r.Finished) << r.Message;
    const TShownPicture out = ShowPicture(Out("hdr.mkv"), 2), source = ShowPicture(MediaFile("bars_pq.mkv"), 2);
    ASSERT_TRUE(out.Ok);
    ASSERT_TRUE(source.Ok);
    EXPECT_EQ(out.Transfer, AVCOL_TRC_SMPTE2084);
    EXPECT_EQ(out.Primaries, AVCOL_PRI_BT2020);
    EXPECT_EQ(out.Matrix, AVCOL_SPC_BT2020_NCL);
    for (int bar = 0; bar < 4; ++bar) {
        const int x = out.Width * (2 * bar + 1) / 8, y = out.Height / 2;
        EXPECT_NEAR(out.Luma(x, y), source.Luma(x, y), 3) << "bar " << bar << ": not tone-mapped";
    }
}

// ---------------------------------------------------------------------------
// Shape

TEST_F(PictureTest, WhereTheOutputCannotSayThePixelShapeThePictureGetsBlackBands)
{
    struct {
        const char* Input;
        const char* Size;
        int Top, Left;   // bands
        const char* Codec = "flv";
        const char* Output = "box.flv";
        double Aspect = 0;   // the content's display aspect, where the pixels are not square
        std::pair<std::string, std::string> Extra{"an", ""};
    } cases[] = {
        {"bars_hd_709.mp4", "480x360", 46, 0},   // 16:9 in 4:3: 480 x 268 content
        {"turn_90.mp4", "480x360", 0, 138},      // portrait 176 x 320 in 4:3: about 200 x 360
        // MPEG-1 names no pixel shape near 16:9 in 352 x 288 (16:11); its nearest one
        // (1 / 0.6735) would show 1.815, so the content is 344 wide beside two bands.
        {"bars_hd_709.mp4", "352x288", 0, 4, "mpeg1video", "box.mpg", 16.0 / 9},
        // A 4:3 frame asked for a 16:9 picture: the frame is 4:3, the picture stays 16:9.
        {"bars_hd_709.mp4", "480x360", 46, 0, "flv", "box.flv", 0, {"aspect", "4:3"}},
        // Square pixels asked for (devices): a portrait picture in a landscape frame is
        // pillarboxed, not stored with pixels three times as tall as wide.
        {"turn_90.mp4", "640x360", 0, 220, "libx264", "box.mp4", 0, {"keepshape", "1"}},
        {"bars_hd_709.mp4", "480x360", 46, 0, "libx264", "box.mp4", 0, {"keepshape", "1"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.Input) + " into " + c.Output + " " + c.Size + " " + c.Extra.first);
        const std::string output = Out(c.Output);
        const auto r = Convert(sink, c.Input, {}, output,
                               {{"vcodec", c.Codec}, {"s", c.Size}, {"b", "2000k"}, c.Extra});
        ASSERT_TRUE(r.Finished) << c.Input << ": " << r.Message;
        const TShownPicture p = ShowPicture(output, 2);
        ASSERT_TRUE(p.Ok) << c.Input;
        int width = 0, height = 0;
        std::sscanf(c.Size, "%dx%d", &width, &height);
        EXPECT_EQ(p.Width, width);
        EXPECT_EQ(p.Height, height);
        if (c.Aspect > 0) {
            const double content = (p.Width - 2.0 * c.Left) * p.Sar / (p.Height - 2.0 * c.Top);
            EXPECT_NEAR(content, c.Aspect, c.Aspect * 0.005) << c.Input;
        } else {
            EXPECT_TRUE(p.Sar == 0 || p.Sar == 1) << "pixels " << p.Sar;
        }
        auto black = [&](int x, int y) { return p.Luma(x, y) < 24; };
        EXPECT_EQ(black(p.Width / 2, std::max(c.Top - 4, 0)), c.Top > 0) << c.Input;
        EXPECT_FALSE(black(p.Width / 2, c.Top + 4)) << c.Input;
        EXPECT_EQ(black(std::max(c.Left - 4, 0), p.Height / 2), c.Left > 0) << c.Input;
        EXPECT_FALSE(black(c.Left + 4, p.Height / 2 + 20)) << c.Input;
        if (c.Left == 0) {
            // The bars keep their widths: a quarter of the picture each.
            const auto red = p.Rgb(p.Width / 8, p.Height / 2), green = p.Rgb(p.Width * 3 / 8, p.Height / 2);
            EXPECT_GT(red[0], 200);
            EXPECT_GT(green[1], 200);
        }
        std::filesystem::remove(output);
    }
}

// ---------------------------------------------------------------------------
// Archives in decoding order

// Flashes and beeps at 1.0 s and 3.0 s of 4 s at 30 pictures a second.
void ExpectFlashesOnTheBeeps(const std::string& file)
{
    const TFlashBeepReading r = ReadFlashBeep(file);
    ASSERT_TRUE(r.Ok) << file;
    const double frame = 1.0 / 30 + 0.002;
    for (const TStreamTiming& t : r.Streams) {
        // Pictures to the frame; sound as the sound path places it, within one picture.
        const double slack = t.Type == AVMEDIA_TYPE_VIDEO ? frame / 2 : frame;
        ASSERT_EQ(t.Events.size(), 2u) << file << ", stream of type " << t.Type;
        EXPECT_NEAR(t.Events[0], 1.0, slack) << file << ", stream of type " << t.Type;
        EXPECT_NEAR(t.Events[1], 3.0, slack) << file << ", stream of type " << t.Type;
        if (t.Type == AVMEDIA_TYPE_VIDEO) {
            EXPECT_EQ(t.Frames, 120) << file;
        }
    }
}

TEST_F(PictureTest, BFramesFromAviKeepTheirSourceTimes)
{
    for (const char* input : {"flash_beep_bframes.avi", "flash_beep_h264.avi"}) {
        for (const char* output : {"bframes.mp4", "bframes.mkv"}) {
            const std::string out = Out(output);
            const auto r = Convert(sink, input, {}, out, {{"vcodec", "libx264"}, {"acodec", "aac"}});
            ASSERT_TRUE(r.Finished) << input << ": " << r.Message;
            ExpectFlashesOnTheBeeps(out);
            std::filesystem::remove(out);
        }
    }
}

// ---------------------------------------------------------------------------
// Interlaced sources

// Share of pixels (in %) whose row differs from both rows around it in the same
// direction by more than 40 levels: the teeth of woven fields.
double CombedShare(const TShownPicture& p)
{
    int combed = 0, total = 0;
    for (int y = 1; y + 1 < p.Height; ++y)
        for (int x = 0; x < p.Width; ++x, ++total) {
            const int up = p.Luma(x, y) - p.Luma(x, y - 1), down = p.Luma(x, y) - p.Luma(x, y + 1);
            combed += (up > 40 && down > 40) || (up < -40 && down < -40);
        }
    return 100.0 * combed / std::max(total, 1);
}

TEST_F(PictureTest, InterlacedSourcesAreDeinterlacedUnlessTheUserChoseOtherwise)
{
    const TShownPicture source = ShowPicture(MediaFile("woven_bars.ts"), 4);
    ASSERT_TRUE(source.Ok);
    ASSERT_GT(CombedShare(source), 10.0) << "the fixture combs";

    auto r = Convert(sink, "woven_bars.ts", {}, Out("auto.mp4"), {{"vcodec", "libx264"}, {"b", "4000k"}});
    ASSERT_TRUE(r.Finished) << r.Message;
    const TShownPicture automatic = ShowPicture(Out("auto.mp4"), 4);
    ASSERT_TRUE(automatic.Ok);
    EXPECT_LT(CombedShare(automatic), 1.0);
    EXPECT_EQ(DecodeVideo(Out("auto.mp4")).Frames, 10) << "one picture per source picture";

    r = Convert(sink, "woven_bars.ts", {}, Out("kept.mp4"),
                {{"vcodec", "libx264"}, {"b", "4000k"}, {"deinterlace", "0"}});
    ASSERT_TRUE(r.Finished) << r.Message;
    const TShownPicture kept = ShowPicture(Out("kept.mp4"), 4);
    ASSERT_TRUE(kept.Ok);
    EXPECT_GT(CombedShare(kept), 10.0) << "an explicit choice wins";

    r = Convert(sink, "bars_sd_601.avi", {}, Out("progressive.avi"), {{"vcodec", "mpeg4"}, {"b", "4000k"}});
    ASSERT_TRUE(r.Finished) << r.Message;
    EXPECT_EQ(DecodeVideo(Out("progressive.avi")).Frames, 5);
}

// Nothing in these files says interlaced: their pictures do, or do not.
TEST_F(PictureTest, CombedPicturesAreDeinterlacedWhereNothingSaysTheyAreInterlaced)
{
    auto deinterlaced = [&] {
        for (const auto& line : sink.Lines)
            if (line.second.find("its pictures are deinterlaced") != std::string::npos) return true;
        return false;
    };
    const struct { const char* Input; bool Combed; } cases[] = {
        {"woven_bars_unflagged.avi", true},
        {"moving_bars.avi", false},
        {"rolling_credits.mp4", false},   // moves by whole rows: looks woven beside its neighbours
        {"bars_sd_601.avi", false},   // still
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Input);
        const TShownPicture source = ShowPicture(MediaFile(c.Input), 4);
        ASSERT_TRUE(source.Ok);
        EXPECT_EQ(CombedShare(source) > 10.0, c.Combed) << "the fixture";
        sink.Lines.clear();
        auto r = Convert(sink, c.Input, {}, Out("found.mp4"), {{"vcodec", "libx264"}, {"b", "4000k"}});
        ASSERT_TRUE(r.Finished) << r.Message;
        EXPECT_EQ(deinterlaced(), c.Combed);
        const TShownPicture out = ShowPicture(Out("found.mp4"), 4);
        ASSERT_TRUE(out.Ok);
        EXPECT_LT(CombedShare(out), 1.0);
        EXPECT_EQ(DecodeVideo(Out("found.mp4")).Frames, DecodeVideo(MediaFile(c.Input)).Frames);
    }
    // An explicit choice wins over what the pictures show.
    sink.Lines.clear();
    const auto r = Convert(sink, "woven_bars_unflagged.avi", {}, Out("kept.mp4"),
                           {{"vcodec", "libx264"}, {"b", "4000k"}, {"deinterlace", "0"}});
    ASSERT_TRUE(r.Finished) << r.Message;
    EXPECT_FALSE(deinterlaced());
    EXPECT_GT(CombedShare(ShowPicture(Out("kept.mp4"), 4)), 10.0);
}

}  // namespace
