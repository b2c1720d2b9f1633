// The animated GIF encoder of the picture tool, judged by Qt's own GIF reader:
// every frame comes back, pictures of few colours exactly, others closely.
#include <gtest/gtest.h>

#include <QImage>
#include <QImageReader>
#include <QTemporaryDir>

#include <cstdlib>
#include <random>
#include <vector>

#include "tests/support/WidgetApplication.h"
#include "tools/GifWriter.h"

namespace {

const auto* const Env = ::testing::AddGlobalTestEnvironment(new kvtest::WidgetApplicationEnvironment);

std::vector<QImage> ReadAll(const QString& path)
{
    QImageReader reader(path);
    std::vector<QImage> frames;
    for (QImage frame; reader.read(&frame);) frames.push_back(frame.convertToFormat(QImage::Format_RGB32));
    return frames;
}

int MaxDifference(const QImage& a, const QImage& b)
{
    int worst = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            worst = std::max({worst, std::abs(qRed(p) - qRed(q)), std::abs(qGreen(p) - qGreen(q)),
                              std::abs(qBlue(p) - qBlue(q))});
        }
    return worst;
}

TEST(GifWriter, FramesOfAtMost256ColoursComeBackExactly)
{
    // Noise fills the code table many times over; the flat frame compresses to almost nothing.
    std::mt19937 random(7);
    QImage noise(301, 203, QImage::Format_RGB32), flat(301, 203, QImage::Format_RGB32);
    for (int y = 0; y < 203; ++y)
        for (int x = 0; x < 301; ++x) {
            const int i = static_cast<int>(random() % 255);
            noise.setPixel(x, y, qRgb(i, 255 - i, (i * 37) % 256));
        }
    flat.fill(qRgb(0x1d, 0x35, 0x57));

    QTemporaryDir dir;
    const QString path = dir.path() + "/test.gif";
    QString error;
    ASSERT_TRUE(kv::tools::WriteAnimatedGif(path, {noise, flat, noise.mirrored()}, 8, &error)) << error.toStdString();
    const std::vector<QImage> read = ReadAll(path);
    ASSERT_EQ(read.size(), 3u);
    EXPECT_EQ(read[0].size(), QSize(301, 203));
    EXPECT_EQ(MaxDifference(read[0], noise), 0);
    EXPECT_EQ(MaxDifference(read[1], flat), 0);
    EXPECT_EQ(MaxDifference(read[2], noise.mirrored()), 0);
    QImageReader reader(path);
    EXPECT_TRUE(reader.supportsAnimation());
    reader.read();
    EXPECT_EQ(reader.nextImageDelay(), 80);
}

TEST(GifWriter, ManyColoursComeBackClose)
{
    QImage gradient(256, 160, QImage::Format_RGB32);
    for (int y = 0; y < 160; ++y)
        for (int x = 0; x < 256; ++x) gradient.setPixel(x, y, qRgb(x, y * 255 / 159, 128));
    QTemporaryDir dir;
    ASSERT_TRUE(kv::tools::WriteAnimatedGif(dir.path() + "/many.gif", {gradient}, 5));
    const std::vector<QImage> read = ReadAll(dir.path() + "/many.gif");
    ASSERT_EQ(read.size(), 1u);
    EXPECT_LE(MaxDifference(read[0], gradient), 16);
}

TEST(GifWriter, RefusesWhatItCannotWrite)
{
    QTemporaryDir dir;
    QString error;
    EXPECT_FALSE(kv::tools::WriteAnimatedGif(dir.path() + "/none.gif", {}, 5, &error));
    QImage a(8, 8, QImage::Format_RGB32), b(9, 8, QImage::Format_RGB32);
    a.fill(Qt::red);
    b.fill(Qt::blue);
    EXPECT_FALSE(kv::tools::WriteAnimatedGif(dir.path() + "/sizes.gif", {a, b}, 5, &error));
    EXPECT_FALSE(kv::tools::WriteAnimatedGif(dir.path() + "/missing/folder.gif", {a}, 5, &error));
    EXPECT_FALSE(error.isEmpty());
}

}  // namespace
