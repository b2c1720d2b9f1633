// The profiles of today's catalogue convert sources shaped as phones, cameras and
// discs make them; each output is read back: codecs, tags, sizes, rates and sound.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEvent>
#include <QObject>

#include <unistd.h>

#include <cctype>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/pixdesc.h>
}

#include "media/AVCodecStubs.h"
#include "media/AVFormatStubs.h"
#include "media/AVUtilStubs.h"
#include "tests/support/CoreApplication.h"
#include "tests/support/EventLoop.h"
#include "tests/support/VideoConvert.h"
#include "workflow/BatchObserver.h"
#include "workflow/IniOptions.h"
#include "workflow/ZelConvert.h"

using namespace kv::workflow;
namespace fs = std::filesystem;

namespace {

class TPresenter : public QObject {
public:
    int Done = 0;
    bool event(QEvent* e) override
    {
        if (e->type() == WM_BATCH_DONE) {
            ++Done;
            return true;
        }
        return e->type() == WM_BATCH_PROGRESS || e->type() == WM_PREVIEW_FRAME ? true : QObject::event(e);
    }
};

struct TStreamFacts {
    AVCodecID Codec = AV_CODEC_ID_NONE;
    std::uint32_t Tag = 0;
    int Width = 0, Height = 0;
    AVRational Sar{0, 1};
    AVRational Rate{0, 1};
    int Depth = 0;
    AVColorTransferCharacteristic Trc = AVCOL_TRC_UNSPECIFIED;
    int Profile = 0, Level = 0;
    int SampleRate = 0, Channels = 0;
    std::uint64_t PacketHash = 1469598103934665603ull;  // of every packet's bytes, in order
    int Packets = 0;
    std::int64_t Bytes = 0;   // of all its packets
};

struct TFileFacts {
    bool Ok = false;
    TStreamFacts Video, Audio;
    bool HasVideo = false, HasAudio = false;
    std::int64_t Size = 0;
    double Duration = 0;      // seconds, as the container gives it
    bool IndexFirst = false;  // the index ("moov") comes before the media data ("mdat")
};

void HashInto(std::uint64_t& hash, const std::uint8_t* data, int size)
{
    for (int i = 0; i < size; ++i) hash = (hash ^ data[i]) * 1099511628211ull;
}

// Top-level boxes of an MP4 family file: true when "moov" precedes "mdat".
bool IndexBeforeData(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::int64_t at = 0, moov = -1, mdat = -1;
    unsigned char head[16];
    while (in.read(reinterpret_cast<char*>(head), 8)) {
        std::uint64_t size = (std::uint64_t(head[0]) << 24) | (head[1] << 16) | (head[2] << 8) | head[3];
        const std::string type(reinterpret_cast<char*>(head) + 4, 4);
        if (size == 1) {
            if (!in.read(reinterpret_cast<char*>(head + 8), 8)) break;
            size = 0;
            for (int i = 8; i < 16; ++i) size = size << 8 | head[i];
        }
        if (type == "moov" && moov < 0) moov = at;
        if (type == "mdat" && mdat < 0) mdat = at;
        if (size < 8) break;
        at += static_cast<std::int64_t>(size);
        in.seekg(at);
    }
    return moov >= 0 && mdat >= 0 && moov < mdat;
}

TFileFacts ReadBack(const std::string& path)
{
    TFileFacts facts;
    AVFormatContext* ctx = nullptr;
    if (av::avformat_open_input(&ctx, path.c_str(), nullptr, nullptr) < 0) return facts;
    if (av::avformat_find_stream_info(ctx, nullptr) < 0) {
        av::avformat_close_input(&ctx);
        return facts;
    }
    int video = -1, audio = -1;
    for (unsigned i = 0; i < ctx->nb_streams; ++i) {
        const AVCodecParameters* par = ctx->streams[i]->codecpar;
        TStreamFacts* s = nullptr;
        if (par->codec_type == AVMEDIA_TYPE_VIDEO && video < 0) video = int(i), s = &facts.Video;
        if (par->codec_type == AVMEDIA_TYPE_AUDIO && audio < 0) audio = int(i), s = &facts.Audio;
        if (!s) continue;
        s->Codec = par->codec_id;
        s->Tag = par->codec_tag;
        s->Width = par->width;
        s->Height = par->height;
        s->Sar = av::av_guess_sample_aspect_ratio(ctx, ctx->streams[i], nullptr);
        s->Rate = ctx->streams[i]->avg_frame_rate;
        if (const AVPixFmtDescriptor* d = av::av_pix_fmt_desc_get(static_cast<AVPixelFormat>(par->format)))
            s->Depth = d->comp[0].depth;
        s->Trc = par->color_trc;
        s->Profile = par->profile;
        s->Level = par->level;
        s->SampleRate = par->sample_rate;
        s->Channels = par->ch_layout.nb_channels;
    }
    facts.Duration = ctx->duration > 0 ? double(ctx->duration) / AV_TIME_BASE : 0;
    facts.HasVideo = video >= 0;
    facts.HasAudio = audio >= 0;
    AVPacket* pkt = av::av_packet_alloc();
    while (av::av_read_frame(ctx, pkt) >= 0) {
        TStreamFacts* s = pkt->stream_index == video ? &facts.Video : pkt->stream_index == audio ? &facts.Audio : nullptr;
        if (s) {
            HashInto(s->PacketHash, pkt->data, pkt->size);
            ++s->Packets;
            s->Bytes += pkt->size;
        }
        av::av_packet_unref(pkt);
    }
    av::av_packet_free(&pkt);
    av::avformat_close_input(&ctx);
    facts.Size = static_cast<std::int64_t>(fs::file_size(path));
    facts.IndexFirst = IndexBeforeData(path);
    facts.Ok = true;
    return facts;
}

double DisplayAspect(const TStreamFacts& s)
{
    const double sar = s.Sar.num > 0 && s.Sar.den > 0 ? av_q2d(s.Sar) : 1.0;
    return s.Height > 0 ? s.Width * sar / s.Height : 0.0;
}

std::uint32_t Tag(const char* four)
{
    return std::uint32_t(four[0]) | std::uint32_t(four[1]) << 8 | std::uint32_t(four[2]) << 16 |
           std::uint32_t(four[3]) << 24;
}

const std::string Landscape = kv::test::MediaFile("mp4_h264_aac.mp4");      // 320 x 240, 4:3
const std::string Portrait = kv::test::MediaFile("portrait_360x640.mp4");
const std::string Anamorphic = kv::test::MediaFile("anamorphic_720x576.mkv");  // shown 1024 x 576
const std::string TenBit = kv::test::MediaFile("hevc_hdr10_320x180.mkv");
const std::string Shapes[] = {Landscape, Portrait, Anamorphic, TenBit};

class CatalogueConvert : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        kvtest::App();
        IniOptions = TIniOptions{};
        IniOptions.LoadFromFile(std::string(KV_STAGE_DIR) + "/kestravo.ini");
    }
    void SetUp() override
    {
        ASSERT_TRUE(converter.InitEngine()) << converter.Engine.LastErrMsg();
        ASSERT_GE(IniOptions.FormatCount, 38);
        outDir = fs::temp_directory_path() / ("kv_catalogue_" + std::to_string(::getpid()) + "_" +
                                              ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(outDir);
        fs::create_directories(outDir);
        saved = IniOptions.Formats;
    }
    void TearDown() override
    {
        IniOptions.Formats = saved;
        std::error_code ec;
        fs::remove_all(outDir, ec);
    }

    static int IndexOf(const std::string& name)
    {
        for (int i = 0; i < IniOptions.FormatCount; ++i)
            if (IniOptions.Formats[static_cast<std::size_t>(i)].Name == name) return i;
        ADD_FAILURE() << "no profile " << name;
        return 0;
    }
    // Selects the entry of `list` that reads `entry`.
    static void Choose(const std::string& list, int& value, const std::string& entry)
    {
        std::vector<std::string> entries;
        TIniOptions::SplitList(list, entries);
        for (std::size_t i = 0; i < entries.size(); ++i)
            if (entries[i] == entry) {
                value = static_cast<int>(i);
                return;
            }
        ADD_FAILURE() << entry << " is not in " << list;
    }
    // The entry of `list` selected by `value`.
    static std::string SelectedEntry(const std::string& list, int value)
    {
        std::vector<std::string> entries;
        TIniOptions::SplitList(list, entries);
        if (value >= 0 && static_cast<std::size_t>(value) < entries.size()) return entries[static_cast<std::size_t>(value)];
        ADD_FAILURE() << "no entry " << value << " in " << list;
        return "0";
    }
    TFormatRec& Profile(int index) { return IniOptions.Formats[static_cast<std::size_t>(index)]; }

    // Lists the files, converts them with the profile and reads every output back.
    std::vector<TFileFacts> Convert(int profile, const std::vector<std::string>& files, int threads = 1,
                                    const std::vector<int>& aspects = {})
    {
        converter.ClearFiles();
        for (std::size_t i = 0; i < files.size(); ++i) {
            const int index = converter.AddFile(files[i]);
            EXPECT_GE(index, 0) << files[i] << ": " << converter.LastAddError();
            if (index >= 0 && i < aspects.size()) converter.Files.Items(index).AspectIndex = aspects[i];
        }
        converter.SetFormatIndex(profile);
        EXPECT_TRUE(converter.PrepareBatch(outDir.string()));
        TBatchObserver observer(converter, &presenter);
        presenter.Done = 0;
        observer.BeginBatch(converter.Files.Count(), Profile(profile).Ext, threads);
        EXPECT_TRUE(kvtest::WaitFor([&] { return presenter.Done > 0; })) << "the batch never ended";
        observer.FinishBatch();
        std::vector<TFileFacts> results;
        for (int i = 0; i < converter.Files.Count(); ++i) {
            const TInputFile& f = converter.Files.Items(i);
            EXPECT_EQ(f.Status, 1) << f.FileName << ": " << f.Reason;
            results.push_back(f.Status == 1 ? ReadBack(f.OutputOptions.FileName) : TFileFacts{});
        }
        return results;
    }

    TZelConvert converter;
    TPresenter presenter;
    fs::path outDir;
    std::vector<TFormatRec> saved;
};

struct TSourceShape {
    int Width, Height;
    double Aspect;
    int Rate;   // pictures a second
};
// The display of each shape: the 4:3 clip, the upright phone, the PAL 16:9 disc, the HDR camera.
const TSourceShape ShapeOf[] = {
    {320, 240, 4.0 / 3, 25}, {360, 640, 9.0 / 16, 30}, {1024, 576, 16.0 / 9, 25}, {320, 180, 16.0 / 9, 25}};

}  // namespace

struct TVideoProfileCase {
    const char* Name;
    AVCodecID Video, Audio;
    bool SquarePixels;  // fitted into a box: square pixels; kept: the source's shape
};

const TVideoProfileCase VideoProfiles[] = {
    {"MP4 - H.264 Video, Keep Size(*.mp4)", AV_CODEC_ID_H264, AV_CODEC_ID_AAC, false},
    {"MP4 - H.265/HEVC Video(*.mp4)", AV_CODEC_ID_HEVC, AV_CODEC_ID_AAC, false},
    {"MKV - H.265/HEVC Video(*.mkv)", AV_CODEC_ID_HEVC, AV_CODEC_ID_AAC, false},
    {"MP4 - AV1 Video(*.mp4)", AV_CODEC_ID_AV1, AV_CODEC_ID_AAC, false},
    {"WebM - AV1 + Opus Video(*.webm)", AV_CODEC_ID_AV1, AV_CODEC_ID_OPUS, false},
    {"WebM - VP9 + Opus Video(*.webm)", AV_CODEC_ID_VP9, AV_CODEC_ID_OPUS, false},
    {"MP4 - Phone and Tablet 1080p H.264(*.mp4)", AV_CODEC_ID_H264, AV_CODEC_ID_AAC, true},
    {"MP4 - Phone, Tablet and Computer HEVC 4K(*.mp4)", AV_CODEC_ID_HEVC, AV_CODEC_ID_AAC, true},
    {"MKV - TV and Streaming Stick 4K HEVC 10-bit(*.mkv)", AV_CODEC_ID_HEVC, AV_CODEC_ID_AAC, true},
    {"MP4 - Web Upload 1080p H.264(*.mp4)", AV_CODEC_ID_H264, AV_CODEC_ID_AAC, true},
};

class NewVideoProfile : public CatalogueConvert, public ::testing::WithParamInterface<TVideoProfileCase> {};

// Every new video profile, as shipped, converts each shape: the picture is never made
// larger than the source's display, keeps its aspect, is even, and the profile's codecs,
// tags and fast start are in the file; the source's pictures are kept at their rate
// (none is over 60 a second), for the source's length, with the profile's sound.
TEST_P(NewVideoProfile, ConvertsEveryShape)
{
    const TVideoProfileCase& p = GetParam();
    const int index = IndexOf(p.Name);
    const bool mp4 = Profile(index).Ext == ".mp4";
    const int sampleRate = std::stoi(SelectedEntry(Profile(index).SampleRate, Profile(index).SampleRateValue));
    const std::vector<TFileFacts> out = Convert(index, {std::begin(Shapes), std::end(Shapes)});
    ASSERT_EQ(out.size(), 4u);
    for (std::size_t i = 0; i < out.size(); ++i) {
        SCOPED_TRACE(Shapes[i]);
        const TFileFacts& f = out[i];
        ASSERT_TRUE(f.Ok && f.HasVideo && f.HasAudio);
        EXPECT_EQ(f.Video.Codec, p.Video);
        EXPECT_EQ(f.Audio.Codec, p.Audio);
        const TFileFacts source = ReadBack(Shapes[i]);
        EXPECT_NEAR(av_q2d(f.Video.Rate), ShapeOf[i].Rate, 0.01);
        // One picture either way: an MP4 source's edit list may end before its last
        // picture, and pictures that start just after the sound (the HDR clip's, 23 ms)
        // get one more at the start, where the output's picture and sound begin.
        EXPECT_NEAR(f.Video.Packets, source.Video.Packets, 1);
        EXPECT_NEAR(f.Duration, source.Duration, 0.1);
        EXPECT_EQ(f.Audio.SampleRate, sampleRate);
        EXPECT_EQ(f.Audio.Channels, 2);
        EXPECT_EQ(f.Video.Width % 2, 0);
        EXPECT_EQ(f.Video.Height % 2, 0);
        EXPECT_NEAR(DisplayAspect(f.Video), ShapeOf[i].Aspect, ShapeOf[i].Aspect * 0.01);
        if (p.SquarePixels) {
            EXPECT_EQ(f.Video.Width, ShapeOf[i].Width);
            EXPECT_EQ(f.Video.Height, ShapeOf[i].Height);
        } else {
            EXPECT_LE(f.Video.Width * f.Video.Height, ShapeOf[i].Width * ShapeOf[i].Height);
            EXPECT_EQ(f.Video.Height, ShapeOf[i].Height);
        }
        if (mp4) {
            EXPECT_TRUE(f.IndexFirst) << "no fast start";
        }
        if (mp4 && p.Video == AV_CODEC_ID_HEVC) {
            EXPECT_EQ(f.Video.Tag, Tag("hvc1"));
        }
        // A 10-bit HDR source keeps its depth and its transfer in every profile but H.264's.
        const bool deep = p.Video != AV_CODEC_ID_H264 &&
                          (Shapes[i] == TenBit || std::string(p.Name).find("10-bit") != std::string::npos);
        EXPECT_EQ(f.Video.Depth, deep ? 10 : 8);
        if (Shapes[i] == TenBit && deep) {
            EXPECT_EQ(f.Video.Trc, AVCOL_TRC_SMPTE2084);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Shipped, NewVideoProfile, ::testing::ValuesIn(VideoProfiles),
                         [](const ::testing::TestParamInfo<TVideoProfileCase>& info) {
                             std::string name;
                             for (const char* c = info.param.Name; *c && *c != '('; ++c)
                                 if (std::isalnum(static_cast<unsigned char>(*c))) name += *c;
                             return name;
                         });

// "Fit within" scales down to the box in either orientation, never up, with square
// pixels: the portrait clip fills the box on its side.
TEST_F(CatalogueConvert, FitWithinBoxes)
{
    const int index = IndexOf("MP4 - H.264 Video, Keep Size(*.mp4)");
    TFormatRec& f = Profile(index);
    f.Resolution = "Fit within 640*360,Fit within 320*180";
    const struct { int Value; int Sizes[4][2]; } boxes[] = {
        {0, {{320, 240}, {360, 640}, {640, 360}, {320, 180}}},
        {1, {{240, 180}, {180, 320}, {320, 180}, {320, 180}}},
    };
    for (const auto& box : boxes) {
        f.ResolutionValue = box.Value;
        const std::vector<TFileFacts> out = Convert(index, {std::begin(Shapes), std::end(Shapes)});
        ASSERT_EQ(out.size(), 4u);
        for (std::size_t i = 0; i < 4; ++i) {
            SCOPED_TRACE(Shapes[i] + " into box " + std::to_string(box.Value));
            EXPECT_EQ(out[i].Video.Width, box.Sizes[i][0]);
            EXPECT_EQ(out[i].Video.Height, box.Sizes[i][1]);
            EXPECT_NEAR(DisplayAspect(out[i].Video), ShapeOf[i].Aspect, ShapeOf[i].Aspect * 0.01);
        }
    }
}

// Mean luma of column `x` (or of row `y`) of picture `frame`: 16 in a black band.
double ColumnMean(const kv::test::TDecodedVideo& v, int frame, int x)
{
    double sum = 0;
    for (int y = 0; y < v.Height; ++y) sum += v.Luma[static_cast<std::size_t>(frame)][static_cast<std::size_t>(y * v.Width + x)];
    return sum / v.Height;
}

double RowMean(const kv::test::TDecodedVideo& v, int frame, int y)
{
    double sum = 0;
    for (int x = 0; x < v.Width; ++x) sum += v.Luma[static_cast<std::size_t>(frame)][static_cast<std::size_t>(y * v.Width + x)];
    return sum / v.Width;
}

// A device shows square pixels only: the portrait phone clip (stored upright or
// turned) is pillarboxed in the profile's landscape frame, and the aspect chosen for a
// file is the frame's, the picture keeping its own shape inside it.
TEST_F(CatalogueConvert, DeviceProfilesKeepThePictureShapeInBlackBands)
{
    const int index = IndexOf("MP4 - Phone H.264 Video(*.mp4)");
    const struct { std::string File; int Aspect; int Width, Height, Top, Left; } cases[] = {
        {Portrait, 0, 640, 360, 0, 218},                              // 9:16: 202 x 360
        {kv::test::MediaFile("turn_90.mp4"), 0, 640, 360, 0, 220},    // 176:320: 198 x 360
        {Landscape, 0, 640, 360, 0, 80},                              // 4:3: 480 x 360
        {Anamorphic, 1, 480, 360, 44, 0},                             // 16:9 in "4:3": 480 x 270
    };
    std::vector<std::string> files;
    std::vector<int> aspects;
    for (const auto& c : cases) {
        files.push_back(c.File);
        aspects.push_back(c.Aspect);
    }
    const std::vector<TFileFacts> out = Convert(index, files, 1, aspects);
    ASSERT_EQ(out.size(), std::size(cases));
    for (std::size_t i = 0; i < out.size(); ++i) {
        const auto& c = cases[i];
        SCOPED_TRACE(c.File);
        ASSERT_TRUE(out[i].Ok);
        EXPECT_EQ(out[i].Video.Width, c.Width);
        EXPECT_EQ(out[i].Video.Height, c.Height);
        EXPECT_TRUE(out[i].Video.Sar.num == 0 || out[i].Video.Sar.num == out[i].Video.Sar.den)
            << out[i].Video.Sar.num << ":" << out[i].Video.Sar.den;
        const fs::path written = outDir / (fs::path(c.File).stem().string() + ".mp4");
        const kv::test::TDecodedVideo v = kv::test::DecodeVideo(written.string(), true);
        ASSERT_TRUE(v.Ok && v.Frames > 2);
        // The bands are black to their edges; the picture begins right after them.
        if (c.Left > 0) {
            EXPECT_LT(ColumnMean(v, 2, c.Left - 4), 20);
            EXPECT_LT(ColumnMean(v, 2, v.Width - c.Left + 3), 20);
            EXPECT_GT(ColumnMean(v, 2, c.Left + 4), 40);
            EXPECT_GT(ColumnMean(v, 2, v.Width - c.Left - 5), 40);
        }
        if (c.Top > 0) {
            EXPECT_LT(RowMean(v, 2, c.Top - 4), 20);
            EXPECT_LT(RowMean(v, 2, v.Height - c.Top + 3), 20);
            EXPECT_GT(RowMean(v, 2, c.Top + 4), 40);
            EXPECT_GT(RowMean(v, 2, v.Height - c.Top - 5), 40);
        }
    }
}

TEST_F(CatalogueConvert, NewAudioProfiles)
{
    const struct { const char* Name; AVCodecID Codec; int SampleRate; bool Mp4; } profiles[] = {
        {"OPUS - Opus Audio(*.opus)", AV_CODEC_ID_OPUS, 48000, false},
        {"M4A - ALAC Lossless Audio(*.m4a)", AV_CODEC_ID_ALAC, 44100, true},
        {"MP3 - MP3 VBR Audio(*.mp3)", AV_CODEC_ID_MP3, 44100, false},
    };
    for (const auto& p : profiles) {
        SCOPED_TRACE(p.Name);
        const std::vector<TFileFacts> out = Convert(IndexOf(p.Name), {Landscape});
        ASSERT_EQ(out.size(), 1u);
        ASSERT_TRUE(out[0].Ok);
        EXPECT_FALSE(out[0].HasVideo);
        EXPECT_EQ(out[0].Audio.Codec, p.Codec);
        EXPECT_EQ(out[0].Audio.SampleRate, p.SampleRate);
        EXPECT_EQ(out[0].Audio.Channels, 2);
        EXPECT_NEAR(out[0].Duration, ReadBack(Landscape).Duration, 0.1);
        if (p.Mp4) {
            EXPECT_TRUE(out[0].IndexFirst);
        }
    }
}

// Smart copy keeps the picture MP4 takes as it was and converts the AC-3 sound it does
// not to AAC; "Copy" keeps both.
TEST_F(CatalogueConvert, SmartCopyCopiesWhatTheContainerTakes)
{
    const std::string source = kv::test::MediaFile("h264_ac3_640x360.mkv");
    const TFileFacts original = ReadBack(source);
    ASSERT_TRUE(original.Ok);
    const int index = IndexOf("MP4 - H.264 Video, Keep Size(*.mp4)");
    TFormatRec& f = Profile(index);
    Choose(f.VideoEncoder, f.VideoEncoderValue, "Smart copy");
    Choose(f.AudioEncoder, f.AudioEncoderValue, "Smart copy");
    std::vector<TFileFacts> out = Convert(index, {source});
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].Video.Codec, AV_CODEC_ID_H264);
    EXPECT_EQ(out[0].Video.PacketHash, original.Video.PacketHash) << "the picture was not copied";
    EXPECT_EQ(out[0].Video.Packets, original.Video.Packets);
    EXPECT_EQ(out[0].Audio.Codec, AV_CODEC_ID_AAC);
    EXPECT_TRUE(out[0].IndexFirst);

    // Into WebM nothing of it fits: both are converted, to the profile's own encoders.
    const int webm = IndexOf("WebM - VP9 + Opus Video(*.webm)");
    TFormatRec& w = Profile(webm);
    Choose(w.VideoEncoder, w.VideoEncoderValue, "Smart copy");
    Choose(w.AudioEncoder, w.AudioEncoderValue, "Smart copy");
    out = Convert(webm, {source});
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].Video.Codec, AV_CODEC_ID_VP9);
    EXPECT_EQ(out[0].Audio.Codec, AV_CODEC_ID_OPUS);

    // MKV takes both: "Copy" of each keeps every packet.
    const int mkv = IndexOf("MKV - H.265/HEVC Video(*.mkv)");
    TFormatRec& m = Profile(mkv);
    Choose(m.VideoEncoder, m.VideoEncoderValue, "Copy");
    Choose(m.AudioEncoder, m.AudioEncoderValue, "Copy");
    out = Convert(mkv, {source});
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].Video.PacketHash, original.Video.PacketHash);
    EXPECT_EQ(out[0].Audio.PacketHash, original.Audio.PacketHash);
    EXPECT_EQ(out[0].Audio.Codec, AV_CODEC_ID_AC3);
}

// Devices play at most 60 pictures a second and the H.264 level they name; MPEG-2
// headers name a few rates only, so a 15 fps camera clip gets the nearest of them.
TEST_F(CatalogueConvert, RatesTheCodecAndTheDeviceAllow)
{
    std::vector<TFileFacts> out =
        Convert(IndexOf("MP4 - Phone and Tablet 1080p H.264(*.mp4)"), {kv::test::MediaFile("slowmotion_187fps.mkv")});
    ASSERT_EQ(out.size(), 1u);
    ASSERT_TRUE(out[0].Ok);
    EXPECT_LE(av_q2d(out[0].Video.Rate), 60.0);
    EXPECT_NEAR(av_q2d(out[0].Video.Rate), 187.0 / 4, 0.01);
    EXPECT_EQ(out[0].Video.Profile, FF_PROFILE_H264_HIGH);
    EXPECT_EQ(out[0].Video.Level, 41);
    // HEVC levels count in thirtieths: 5.1 is 153.
    for (const char* device : {"MP4 - Phone, Tablet and Computer HEVC 4K(*.mp4)",
                               "MKV - TV and Streaming Stick 4K HEVC 10-bit(*.mkv)"}) {
        SCOPED_TRACE(device);
        out = Convert(IndexOf(device), {Landscape});
        ASSERT_EQ(out.size(), 1u);
        ASSERT_TRUE(out[0].Ok);
        EXPECT_EQ(out[0].Video.Codec, AV_CODEC_ID_HEVC);
        EXPECT_EQ(out[0].Video.Level, 153);
    }

    const int mpeg2 = IndexOf("MPG - MPEG-2 Video(*.mpg)");
    TFormatRec& f = Profile(mpeg2);
    Choose(f.Framerate, f.FramerateValue, "Keep original frame rate");
    out = Convert(mpeg2, {kv::test::MediaFile("camera_15fps.avi")});
    ASSERT_EQ(out.size(), 1u);
    ASSERT_TRUE(out[0].Ok);
    EXPECT_NEAR(av_q2d(out[0].Video.Rate), 24000.0 / 1001, 0.01);
}

// AAC and Opus "Quality N" steps: each encoder varies its rate, and a better step
// spends more on the same sound.
TEST_F(CatalogueConvert, SoundQualityStepsOfAacAndOpus)
{
    struct Case {
        const char* profile;
        const char* encoder;
        AVCodecID codec;
    } cases[] = {
        {"MP4 - AV1 Video(*.mp4)", "AAC", AV_CODEC_ID_AAC},
        {"MP4 - AV1 Video(*.mp4)", "Opus", AV_CODEC_ID_OPUS},
        {"OPUS - Opus Audio(*.opus)", "Opus", AV_CODEC_ID_OPUS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.profile) + " " + c.encoder);
        const int index = IndexOf(c.profile);
        TFormatRec& f = Profile(index);
        Choose(f.AudioEncoder, f.AudioEncoderValue, c.encoder);
        std::int64_t bytes[2] = {0, 0};
        const char* steps[2] = {"Quality 1 (high)", "Quality 4 (small)"};
        for (int k = 0; k < 2; ++k) {
            Choose(f.AudioBitrate, f.AudioBitrateValue, steps[k]);
            const std::vector<TFileFacts> out = Convert(index, {Landscape});
            ASSERT_EQ(out.size(), 1u);
            ASSERT_TRUE(out[0].Ok);
            EXPECT_EQ(out[0].Audio.Codec, c.codec);
            bytes[k] = out[0].Audio.Bytes;
        }
        EXPECT_GT(bytes[0], bytes[1] * 3 / 2) << bytes[0] << " against " << bytes[1];
    }
}

// "Size N MB": two passes bring a 30 s clip to between 90 % and all of the size; the
// passes' statistics go when the batch is cleared.
TEST_F(CatalogueConvert, TargetSizeWithinItsBounds)
{
    const int index = IndexOf("MP4 - Messaging H.264, Fits a Size(*.mp4)");
    TFormatRec& f = Profile(index);
    f.VideoBitRate = "Size 2 MB,Size 8 MB";
    f.VideoBitRateValue = 0;
    const std::vector<TFileFacts> out = Convert(index, {kv::test::MediaFile("noise_30s_320x240.mkv")}, 2);
    ASSERT_EQ(out.size(), 1u);
    ASSERT_TRUE(out[0].Ok);
    EXPECT_LE(out[0].Size, 2000000);
    EXPECT_GE(out[0].Size, 1800000);
    EXPECT_TRUE(out[0].IndexFirst);
    converter.ClearTasks();
    for (const auto& entry : fs::directory_iterator(fs::temp_directory_path()))
        EXPECT_NE(entry.path().filename().string().rfind("kestravo-" + std::to_string(::getpid()) + "-", 0), 0u)
            << entry.path() << " left behind";
    for (const auto& entry : fs::directory_iterator(outDir))
        EXPECT_EQ(entry.path().extension(), ".mp4") << entry.path() << " left behind";

    // A short clip cannot fill 8 MB: it is converted smaller and the user is told.
    f.VideoBitRateValue = 1;
    converter.ClearFiles();
    ASSERT_EQ(converter.AddFile(Landscape), 0);
    converter.SetFormatIndex(index);
    ASSERT_TRUE(converter.PrepareBatch(outDir.string()));
    EXPECT_EQ(converter.Files.Items(0).Reason, "too short for 8 MB at the lowest quality");
    EXPECT_EQ(converter.TaskCount(), 2);
    converter.ClearTasks();

    // Three hours do not fit 8 MB at any picture worth keeping: no task, and why.
    converter.Files.Items(0).TrimLength = 3 * 3600 * 1000LL;
    ASSERT_TRUE(converter.PrepareBatch(outDir.string()));
    EXPECT_EQ(converter.TaskCount(), 0);
    EXPECT_EQ(converter.Files.Items(0).Reason.rfind("Too long for 8 MB", 0), 0u) << converter.Files.Items(0).Reason;
}
