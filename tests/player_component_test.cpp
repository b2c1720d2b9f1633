// The player without a display: its libraries and the failures before anything
// plays. The first tests need a process in which nothing is loaded yet.
#include <gtest/gtest.h>

#include <QImage>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "media/BitmapFile.h"
#include "media/FFmpegLoader.h"
#include "player/FFPlay.h"
#include "player/LibSDL.h"

using namespace kv::player;

namespace {

struct TLogs {
    std::vector<std::pair<TLogType, std::string>> Lines;
    void Attach(TFFPlayer& p)
    {
        p.OnLog = [this](TCustomPlayer*, TLogType t, const std::string& m) { Lines.emplace_back(t, m); };
    }
};

TEST(PlayerComponent, OpenWithoutLibrariesFailsAtOnce)
{
    ASSERT_FALSE(kv::media::FFLoader.LibsLoaded(kv::media::PlayerLibraries));
    TFFPlayer player;
    EXPECT_FALSE(player.AVLibLoaded());
    EXPECT_EQ(player.Version(), "1.2");
    TLogs logs;
    logs.Attach(player);
    int states = 0;
    player.OnState = [&](TCustomPlayer*, TPlayState) { ++states; };
    for (int i = 0; i < 2; ++i) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(player.Open("/nonexistent.avi", 0));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
        EXPECT_EQ(player.LastError(), "libav not loaded.");
    }
    ASSERT_EQ(logs.Lines.size(), 2u);
    EXPECT_EQ(logs.Lines[0].first, ltError);
    EXPECT_EQ(logs.Lines[0].second, "libav not loaded.");
    EXPECT_EQ(states, 0);

    // The media libraries alone are not enough.
    ASSERT_TRUE(kv::media::FFLoader.LoadLibs(kv::media::PlayerLibraries)) << kv::media::FFLoader.LastErrMsg();
    EXPECT_FALSE(player.Open("/nonexistent.avi", 0));
    EXPECT_EQ(player.LastError(), "libsdl not loaded.");
}

TEST(PlayerComponent, DisplayLibraryMissingAnEntryPointIsNotLoaded)
{
    const std::string folder = std::string(KV_TEST_FIXTURE_DIR) + "/nosdl";
    TFFPlayer player;
    EXPECT_FALSE(player.LoadAVLib(folder));
    const std::string prefix = "Load function SDL_GetError@libSDL-1.2.so.0 error: ";
    EXPECT_EQ(player.LastError().substr(0, prefix.size()), prefix);
    EXPECT_EQ(SDLLastErrMsg(), player.LastError());
    EXPECT_FALSE(SDLLoaded());
    EXPECT_EQ(sdl::SDL_Init, nullptr);

    // A folder without the file: the system's library, found by its bare name.
    EXPECT_TRUE(player.LoadAVLib("/nonexistent/kestravo/Lib")) << player.LastError();
    EXPECT_TRUE(player.AVLibLoaded());
    EXPECT_NE(sdl::SDL_WaitThread, nullptr);
    // Loaded and bound: a folder with the broken file changes nothing now.
    EXPECT_TRUE(LoadSDL(folder));
    EXPECT_NE(sdl::SDL_GetError, nullptr);
}

TEST(BitmapFile, WritesA24BitBitmapReadableBackPixelByPixel)
{
    // 30 wide: rows of 90 bytes padded to 92.
    kv::media::TBitmap bitmap(30, 20);
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 30; ++x) {
            std::uint8_t* p = bitmap.ScanLine(y) + 3 * x;
            p[0] = static_cast<std::uint8_t>(x * 8), p[1] = static_cast<std::uint8_t>(y * 12), p[2] = 77;
        }
    const std::filesystem::path path = std::filesystem::temp_directory_path() / "kv_bitmap_file_test.bmp";
    ASSERT_TRUE(kv::media::SaveBitmapFile(bitmap, path.string()));
    QImage image(QString::fromStdString(path.string()));
    std::filesystem::remove(path);
    ASSERT_EQ(image.size(), QSize(30, 20));
    for (int y : {0, 7, 19})
        for (int x : {0, 13, 29}) EXPECT_EQ(image.pixelColor(x, y), QColor(77, y * 12, x * 8)) << x << "," << y;
    EXPECT_FALSE(kv::media::SaveBitmapFile(bitmap, "/nonexistent/folder/x.bmp"));
}

}  // namespace
