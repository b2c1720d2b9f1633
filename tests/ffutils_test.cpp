#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "media/AVUtilStubs.h"
#include "media/FFUtils.h"
#include "media/FFmpegLoader.h"
#include "media/MyUtils.h"

using namespace kv::media;

namespace {

TEST(OpenErrorText, ChoosesTheTextByMeaningOfTheCode)
{
    const struct {
        int code;
        const char* text;
    } cases[] = {
        {AVERROR(ENOENT), "f.avi: no such file or directory"},
        {AVERROR(EIO), "f.avi: I/O error occurred\r\nUsually that means that input file is truncated and/or corrupted."},
        {AVERROR(ENOMEM), "f.avi: memory allocation error occurred"},
        {AVERROR(EINVAL), "f.avi: Error while parsing header"},
        {AVERROR_INVALIDDATA, "f.avi: Error while parsing header"},
        {AVERROR(EDOM),
         "f.avi: Incorrect image filename syntax.\r\nUse '%d' to specify the image number:\r\n"
         "  for img1.jpg, img2.jpg, ..., use 'img%d.jpg';\r\n  for img001.jpg, img002.jpg, ..., use 'img%03d.jpg'."},
        {AVERROR(EILSEQ), "f.avi: Unknown format"},
        {AVERROR_DEMUXER_NOT_FOUND, "f.avi: Unknown format"},
        {-1, "f.avi: Error while opening file"},
        {AVERROR(EACCES), "f.avi: Error while opening file"},
        {0, "f.avi: Error while opening file"},
    };
    for (const auto& c : cases) EXPECT_EQ(OpenErrorText("f.avi", c.code), c.text) << "code " << c.code;
    // The file name goes in as it is, even when it looks like a format.
    EXPECT_EQ(OpenErrorText("100%s.avi", AVERROR(ENOENT)), "100%s.avi: no such file or directory");
}

TEST(MyUtils, SplitFirstAndFileSize)
{
    std::string s = "one\r\ntwo\r\n";
    EXPECT_EQ(SplitFirst(s, "\r\n", true), "one");
    EXPECT_EQ(s, "two\r\n");
    EXPECT_EQ(SplitFirst(s, "|", false), "two\r\n");
    EXPECT_EQ(s, "two\r\n");
    EXPECT_EQ(SplitFirst(s, "|", true), "two\r\n");
    EXPECT_EQ(s, "");
    EXPECT_EQ(GetFileSizeByName("/nonexistent/kestravo.file"), -1);
    EXPECT_EQ(GetFileSizeByName(std::string(KV_TEST_MEDIA_DIR) + "/random.bin"), 65536);
}

class FrameConverterTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(FFLoader.LoadLibs(EngineLibraries)) << FFLoader.LastErrMsg(); }
};

TEST_F(FrameConverterTest, SameFormatIsCopiedRowByRowWithoutScaler)
{
    const int w = 5, h = 3, stride = 32;  // rows padded beyond width * 3
    std::vector<std::uint8_t> pixels(stride * h, 0xEE);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w * 3; ++x) pixels[y * stride + x] = std::uint8_t(y * 50 + x);
    const std::uint8_t* data[4] = {pixels.data()};
    const int linesize[4] = {stride};

    TFrameConverter c;
    ResetFrameConverter(c);
    ASSERT_TRUE(ConvertPictureToBitmap(c, data, linesize, AV_PIX_FMT_BGR24, h, w));
    EXPECT_EQ(c.Scaler, nullptr);
    EXPECT_EQ(c.Buffer, nullptr);
    ASSERT_NE(c.Bitmap, nullptr);
    ASSERT_EQ(c.Bitmap->Width(), w);
    ASSERT_EQ(c.Bitmap->Height(), h);
    for (int y = 0; y < h; ++y)
        EXPECT_EQ(std::memcmp(c.Bitmap->ScanLine(y), pixels.data() + y * stride, w * 3), 0) << "row " << y;
    // Padding bytes of the bitmap rows stay clear.
    EXPECT_EQ(c.Bitmap->ScanLine(0)[w * 3], 0);
}

TEST_F(FrameConverterTest, OtherFormatsGoThroughTheScaler)
{
    const int w = 16, h = 8;
    // Pure red in limited-range BT.601.
    std::vector<std::uint8_t> Y(w * h, 81), U(w * h / 4, 90), V(w * h / 4, 240);
    const std::uint8_t* data[4] = {Y.data(), U.data(), V.data()};
    const int linesize[4] = {w, w / 2, w / 2};

    TFrameConverter c;
    ResetFrameConverter(c);
    ASSERT_TRUE(ConvertPictureToBitmap(c, data, linesize, AV_PIX_FMT_YUV420P, h, w));
    EXPECT_NE(c.Scaler, nullptr);
    EXPECT_GE(c.BufferSize, w * h * 3);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const std::uint8_t* px = c.Bitmap->ScanLine(y) + x * 3;
            ASSERT_LT(px[0], 30) << "blue at " << x << "," << y;
            ASSERT_LT(px[1], 30) << "green at " << x << "," << y;
            ASSERT_GT(px[2], 220) << "red at " << x << "," << y;
        }

    // A format the scaler cannot read: false, and the last picture stays in the bitmap.
    const std::vector<std::uint8_t> before(c.Bitmap->Bits(), c.Bitmap->Bits() + c.Bitmap->Stride() * h);
    EXPECT_FALSE(ConvertPictureToBitmap(c, data, linesize, AV_PIX_FMT_VAAPI, h, w));
    EXPECT_EQ(std::memcmp(c.Bitmap->Bits(), before.data(), before.size()), 0);

    ResetFrameConverter(c);
    EXPECT_EQ(c.Bitmap, nullptr);
    EXPECT_EQ(c.Buffer, nullptr);
    EXPECT_EQ(c.Scaler, nullptr);
    EXPECT_EQ(c.DestPixFmt, 3);
    EXPECT_EQ(c.BitmapPixFmt, 6);
}

}  // namespace
