// The catalogue's entry forms that follow the source: their reading, the sizes they
// give, the rates codecs and devices allow, and the bit rate of a target size.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/VideoConvert.h"
#include "workflow/EntryForms.h"
#include "workflow/IniOptions.h"
#include "workflow/JobBuilder.h"

using namespace kv::workflow;

namespace {

TSourceFacts Picture(int width, int height, int sarNum = 1, int sarDen = 1, int rateNum = 25, int rateDen = 1)
{
    TSourceFacts s;
    s.Width = width;
    s.Height = height;
    s.SarNum = sarNum;
    s.SarDen = sarDen;
    s.RateNum = rateNum;
    s.RateDen = rateDen;
    return s;
}

}  // namespace

TEST(EntryForms, SizeEntries)
{
    const struct { const char* Entry; bool Reads; TSizeForm Form; int Width, Height; } cases[] = {
        {"320*240", true, TSizeForm::sfFixed, 320, 240},
        {"Keep original size", true, TSizeForm::sfKeep, 0, 0},
        {" keep ORIGINAL size", true, TSizeForm::sfKeep, 0, 0},
        {"Fit within 1920*1080", true, TSizeForm::sfFit, 1920, 1080},
        {"Fit within 1920x1080", false, TSizeForm::sfFit, 0, 0},
        {"Fit within", false, TSizeForm::sfFit, 0, 0},
        {"Fit within 0*1080", false, TSizeForm::sfFit, 0, 0},
        {"Fit within 99999999*2", false, TSizeForm::sfFit, 0, 0},
        {"Keep", false, TSizeForm::sfFit, 0, 0},
    };
    for (const auto& c : cases) {
        const auto e = ReadSizeEntry(c.Entry);
        ASSERT_EQ(e.has_value(), c.Reads) << c.Entry;
        if (!e) continue;
        EXPECT_EQ(e->Form, c.Form) << c.Entry;
        EXPECT_EQ(e->Width, c.Width) << c.Entry;
        EXPECT_EQ(e->Height, c.Height) << c.Entry;
    }
}

TEST(EntryForms, FitWithinScalesDownInEitherOrientationWithSquarePixels)
{
    const struct { TSourceFacts Source; int BoxW, BoxH, Width, Height; } cases[] = {
        // A portrait phone clip fits the landscape box unscaled.
        {Picture(1080, 1920), 1920, 1080, 1080, 1920},
        {Picture(1080, 1920), 1280, 720, 720, 1280},
        {Picture(3840, 2160), 1920, 1080, 1920, 1080},
        // Never up.
        {Picture(640, 360), 1920, 1080, 640, 360},
        // 4:3 into a 16:9 box: the height meets the box.
        {Picture(1440, 1080), 1280, 720, 960, 720},
        // PAL 16:9 stored in 720 x 576: square pixels at its display size, and smaller.
        {Picture(720, 576, 64, 45), 1920, 1080, 1024, 576},
        {Picture(720, 576, 64, 45), 854, 480, 854, 480},
        // Odd sources come out even.
        {Picture(1921, 1081), 3840, 2160, 1920, 1080},
        {Picture(1000, 563), 640, 640, 640, 360},
        // A very wide picture keeps a height of at least two.
        {Picture(4000, 2), 100, 100, 100, 2},
    };
    for (const auto& c : cases) {
        const TFrameSize size = FitWithin(c.Source, c.BoxW, c.BoxH);
        EXPECT_EQ(size.Width, c.Width) << c.Source.Width << "x" << c.Source.Height << " in " << c.BoxW << "*" << c.BoxH;
        EXPECT_EQ(size.Height, c.Height) << c.Source.Width << "x" << c.Source.Height << " in " << c.BoxW << "*" << c.BoxH;
    }
    EXPECT_EQ(FitWithin(TSourceFacts{}, 1920, 1080).Width, 0) << "no picture: nothing to fit";
    const TFrameSize kept = KeepSize(Picture(721, 577, 16, 15));
    EXPECT_EQ(kept.Width, 720);
    EXPECT_EQ(kept.Height, 576);
}

TEST(EntryForms, RateEntries)
{
    const struct { const char* Entry; bool Reads; TRateForm Form; int Value; } cases[] = {
        {"Quality 23 (default)", true, TRateForm::rfQuality, 23},
        {"Quality 18 (high)", true, TRateForm::rfQuality, 18},
        {"quality 0", true, TRateForm::rfQuality, 0},
        {"Quality V2 (default)", true, TRateForm::rfQuality, 2},
        {"Quality high", false, TRateForm::rfQuality, 0},
        {"Quality 23 default", false, TRateForm::rfQuality, 0},
        {"Size 25 MB", true, TRateForm::rfSize, 25},
        {"size 8 mb", true, TRateForm::rfSize, 8},
        {"Size 0 MB", false, TRateForm::rfSize, 0},
        {"Size 25", false, TRateForm::rfSize, 0},
        {"Size 25 GB", false, TRateForm::rfSize, 0},
        {"768 kbps", false, TRateForm::rfBitRate, 0},
    };
    for (const auto& c : cases) {
        const auto e = ReadRateEntry(c.Entry);
        ASSERT_EQ(e.has_value(), c.Reads) << c.Entry;
        if (!e) continue;
        EXPECT_EQ(e->Form, c.Form) << c.Entry;
        EXPECT_EQ(e->Value, c.Value) << c.Entry;
    }
}

TEST(EntryForms, EncoderEntries)
{
    const struct { const char* Entry; const char* Codec; bool Smart; const char* Profile; int Level, Bits; } cases[] = {
        {"H.265/HEVC", "libx265", false, "", 0, 0},
        {"H.265/HEVC 10-bit", "libx265", false, "", 0, 10},
        {"H.265/HEVC 8-bit", "libx265", false, "", 0, 8},
        {"H.265/HEVC 10-bit L5.1", "libx265", false, "", 51, 10},
        {"H.264 High L4.1", "libx264", false, "high", 41, 8},
        {"h.264 high", "libx264", false, "high", 0, 8},
        {"AV1", "libsvtav1", false, "", 0, 0},
        {"VP9", "libvpx-vp9", false, "", 0, 0},
        {"Opus", "libopus", false, "", 0, 0},
        {"ALAC", "alac", false, "", 0, 0},
        {"Copy", "copy", false, "", 0, 0},
        {"Smart copy", "copy", true, "", 0, 0},
    };
    for (const auto& c : cases) {
        const auto e = ReadEncoderEntry(c.Entry);
        ASSERT_TRUE(e) << c.Entry;
        EXPECT_EQ(e->Codec, c.Codec) << c.Entry;
        EXPECT_EQ(e->Smart, c.Smart) << c.Entry;
        EXPECT_EQ(e->Profile, c.Profile) << c.Entry;
        EXPECT_EQ(e->Level, c.Level) << c.Entry;
        EXPECT_EQ(e->Bits, c.Bits) << c.Entry;
    }
    // The older tables' names stay theirs.
    for (const char* old : {"H.264", "MPEG4", "Xvid", "AAC", "MP3 Audio", "libvpx"}) EXPECT_FALSE(ReadEncoderEntry(old)) << old;
}

TEST(EntryForms, RatesTheCodecOrTheDeviceAllows)
{
    // MPEG-1 and MPEG-2 headers name a few rates only.
    EXPECT_EQ(LegalMpegRate("mpeg2video", Picture(176, 144, 1, 1, 15, 1)), "24000/1001");
    EXPECT_EQ(LegalMpegRate("mpeg1video", Picture(176, 144, 1, 1, 48, 1)), "50");
    EXPECT_EQ(LegalMpegRate("mpeg2video", Picture(176, 144, 1, 1, 30000, 1001)), "");
    EXPECT_EQ(LegalMpegRate("libx264", Picture(176, 144, 1, 1, 15, 1)), "");

    const TEncoderChoice phone = *ReadEncoderEntry("H.264 High L4.1");
    const struct { TSourceFacts Source; TFrameSize Size; const char* Rate; } cases[] = {
        {Picture(160, 120, 1, 1, 187, 1), {160, 120}, "187/4"},  // every fourth picture
        {Picture(1280, 720, 1, 1, 120, 1), {1280, 720}, "60"},
        {Picture(1280, 720, 1, 1, 60, 1), {1280, 720}, ""},
        // Level 4.1 holds 1080p at 30 pictures a second.
        {Picture(1920, 1080, 1, 1, 60, 1), {1920, 1080}, "30"},
        {Picture(1920, 1080, 1, 1, 60000, 1001), {1920, 1080}, "30000/1001"},
        {Picture(1920, 1080, 1, 1, 25, 1), {1920, 1080}, ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DeviceRate(phone, c.Source, c.Size), c.Rate) << c.Source.RateNum << "/" << c.Source.RateDen;
    // Without a level the source's rate stays: no device is named.
    EXPECT_EQ(DeviceRate(*ReadEncoderEntry("H.264 High"), Picture(160, 120, 1, 1, 187, 1), {160, 120}), "");
}

TEST(EntryForms, TargetSizeBounds)
{
    TFormatRec f;
    f.VideoBitRate = "Size 8 MB,Size 25 MB,768 kbps";
    f.VideoBitRateValue = 1;
    const TSourceFacts hd = Picture(1280, 720, 1, 1, 30, 1);
    // 25 MB over 60 s with 128 kb/s of sound: 97 % of the bits, less the sound's.
    auto t = SizeTarget(f, 60000, 128000, {1280, 720}, hd);
    ASSERT_TRUE(t);
    EXPECT_EQ(t->VideoBitRate, 25LL * 8000000 * 97 / 100 / 60 - 128000);
    EXPECT_TRUE(t->Note.empty());
    EXPECT_TRUE(t->Failure.empty());
    // Too long: fails with the reason.
    t = SizeTarget(f, 3 * 3600 * 1000LL, 128000, {1280, 720}, hd);
    ASSERT_TRUE(t);
    EXPECT_EQ(t->VideoBitRate, 0);
    EXPECT_NE(t->Failure.find("Too long for 25 MB"), std::string::npos) << t->Failure;
    // Too short: converted at the most bits worth spending, and told.
    f.VideoBitRateValue = 0;
    t = SizeTarget(f, 2000, 128000, {320, 240}, Picture(320, 240));
    ASSERT_TRUE(t);
    EXPECT_TRUE(t->Failure.empty());
    EXPECT_EQ(t->Note, "too short for 8 MB at the lowest quality");
    EXPECT_EQ(t->VideoBitRate, 960000);
    f.VideoBitRateValue = 2;
    EXPECT_FALSE(SizeTarget(f, 60000, 128000, {1280, 720}, hd));
}

TEST(EntryForms, ContainersTakeCodecs)
{
    kv::test::LoadEngineLibraries();
    EXPECT_TRUE(ContainerTakes(".mp4", AV_CODEC_ID_H264));
    EXPECT_TRUE(ContainerTakes(".mp4", AV_CODEC_ID_AAC));
    EXPECT_TRUE(ContainerTakes(".mkv", AV_CODEC_ID_AC3));
    // The muxer would write AC-3 into MP4, but the players of MP4 files mostly do not decode it.
    EXPECT_FALSE(ContainerTakes(".mp4", AV_CODEC_ID_AC3));
    EXPECT_FALSE(ContainerTakes(".m4a", AV_CODEC_ID_H264));
    EXPECT_TRUE(ContainerTakes(".m4a", AV_CODEC_ID_ALAC));
    EXPECT_FALSE(ContainerTakes(".webm", AV_CODEC_ID_H264));
    EXPECT_FALSE(ContainerTakes(".webm", AV_CODEC_ID_AAC));
    EXPECT_FALSE(ContainerTakes(".mp4", 0));
    EXPECT_FALSE(ContainerTakes(".nosuchcontainer", AV_CODEC_ID_H264));
}
