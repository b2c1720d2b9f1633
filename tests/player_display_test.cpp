// The player in a real X window (a virtual display under test.sh): what it reports,
// what it draws into the window and what reaches the sound device (SDL's disk
// driver writes the device's samples into SDL_DISKAUDIOFILE).
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QImage>
#include <QMouseEvent>
#include <QScreen>
#include <QThread>
#include <QVBoxLayout>
#include <QWidget>
#include <QWindow>

#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "app/host/PlayerHostWidget.h"
#include "media/FFmpegLoader.h"
#include "player/FFPlay.h"
#include "player/PlaybackDiagnostics.h"
#include "tests/support/TurnedClips.h"
#include "tests/support/VideoConvert.h"
#include "tests/support/WidgetApplication.h"

using namespace kv::player;
using kv::test::MediaFile;

namespace {

[[maybe_unused]] ::testing::Environment* const environment =
    ::testing::AddGlobalTestEnvironment(new kvtest::WidgetApplicationEnvironment);

// Runs the event loop until `done` holds or `ms` have passed; true when it held.
bool WaitUntil(const std::function<bool()>& done, int ms)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > ms) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

void Spin(int ms)
{
    WaitUntil([] { return false; }, ms);
}

// Everything a player reported, with the time since the recorder was made.
struct TRecorder {
    std::mutex Lock;
    QElapsedTimer Clock;
    std::vector<std::pair<TPlayState, qint64>> States;
    std::vector<std::pair<std::int64_t, qint64>> Positions;
    std::vector<std::pair<TLogType, std::string>> Logs;
    std::int64_t Duration = -2;
    int FrameWidth = 0, FrameHeight = 0;
    bool PositionOffUiThread = false;

    TRecorder() { Clock.start(); }

    void Attach(TFFPlayer& player, int screenWidth, int screenHeight)
    {
        player.OnFileOpen = [this, screenWidth, screenHeight](TCustomPlayer*, std::int64_t d, int w, int h, int& sw,
                                                              int& sh) {
            std::lock_guard lock(Lock);
            Duration = d;
            FrameWidth = w;
            FrameHeight = h;
            sw = screenWidth;
            sh = screenHeight;
        };
        player.OnState = [this](TCustomPlayer*, TPlayState s) {
            std::lock_guard lock(Lock);
            States.emplace_back(s, Clock.elapsed());
        };
        player.OnPosition = [this](TCustomPlayer*, std::int64_t pts) {
            std::lock_guard lock(Lock);
            if (QThread::currentThread() != qApp->thread()) PositionOffUiThread = true;
            Positions.emplace_back(pts, Clock.elapsed());
        };
        player.OnLog = [this](TCustomPlayer*, TLogType type, const std::string& msg) {
            std::lock_guard lock(Lock);
            Logs.emplace_back(type, msg);
        };
    }
    int Count(TPlayState s)
    {
        std::lock_guard lock(Lock);
        int n = 0;
        for (const auto& e : States) n += e.first == s;
        return n;
    }
    qint64 FirstTime(TPlayState s)
    {
        std::lock_guard lock(Lock);
        for (const auto& e : States)
            if (e.first == s) return e.second;
        return -1;
    }
    std::int64_t LastPosition()
    {
        std::lock_guard lock(Lock);
        return Positions.empty() ? -1 : Positions.back().first;
    }
    std::size_t PositionCount()
    {
        std::lock_guard lock(Lock);
        return Positions.size();
    }
};

// The player's panel, counting the mouse presses that reach the host.
class TCountingHost : public kv::app::TPlayerHostWidget {
public:
    using TPlayerHostWidget::TPlayerHostWidget;
    int Presses = 0;

protected:
    void mousePressEvent(QMouseEvent* e) override
    {
        ++Presses;
        TPlayerHostWidget::mousePressEvent(e);
    }
};

// A real click through the X server (its test extension), not one made inside Qt.
bool ClickOnScreen(QPoint at)
{
    void* x11 = dlopen("libX11.so.6", RTLD_NOW);
    void* xtst = dlopen("libXtst.so.6", RTLD_NOW);
    if (!x11 || !xtst) return false;
    auto open = reinterpret_cast<void* (*)(const char*)>(dlsym(x11, "XOpenDisplay"));
    auto flush = reinterpret_cast<int (*)(void*)>(dlsym(x11, "XFlush"));
    auto close = reinterpret_cast<int (*)(void*)>(dlsym(x11, "XCloseDisplay"));
    auto motion = reinterpret_cast<int (*)(void*, int, int, int, unsigned long)>(dlsym(xtst, "XTestFakeMotionEvent"));
    auto button = reinterpret_cast<int (*)(void*, unsigned, int, unsigned long)>(dlsym(xtst, "XTestFakeButtonEvent"));
    void* display = open && flush && close && motion && button ? open(nullptr) : nullptr;
    if (!display) return false;
    motion(display, -1, at.x(), at.y(), 0);
    button(display, 1, 1, 0);
    button(display, 1, 0, 0);
    flush(display);
    close(display);
    return true;
}

// A 400 x 300 window whose player panel fills it, and a player with its libraries.
class PlayerDisplayTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        deviceFile = std::filesystem::temp_directory_path() /
                     (std::string("kv_player_") + info->name() + "_" + std::to_string(::getpid()) + ".raw");
        ::setenv("SDL_DISKAUDIOFILE", deviceFile.c_str(), 1);

        window = std::make_unique<QWidget>();
        host = new TCountingHost;
        ASSERT_TRUE(kv::app::ShowAsWholeWindow(*window, host, QSize(400, 300)));
        ASSERT_EQ(host->size(), QSize(400, 300));

        player = std::make_unique<TFFPlayer>();
        if (!player->AVLibLoaded()) {
            ASSERT_TRUE(player->LoadAVLib("")) << player->LastError();
        }
        recorder.Attach(*player, 400, 300);
    }

    void TearDown() override
    {
        player.reset();
        window.reset();
        std::filesystem::remove(deviceFile);
    }

    bool Open(const std::string& name) { return player->Open(MediaFile(name), host->PlayerWindow()); }

    QImage Grab() { return QGuiApplication::primaryScreen()->grabWindow(host->winId()).toImage(); }

    std::vector<std::int16_t> DeviceSamples()
    {
        std::ifstream in(deviceFile, std::ios::binary);
        std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::vector<std::int16_t> samples(bytes.size() / 2);
        std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
        return samples;
    }

    std::filesystem::path deviceFile;
    std::unique_ptr<QWidget> window;
    TCountingHost* host = nullptr;
    std::unique_ptr<TFFPlayer> player;
    TRecorder recorder;
};

// The samples of a canonical wave file's data chunk.
std::vector<std::int16_t> WaveSamples(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<char> b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (std::size_t at = 12; at + 8 <= b.size();) {
        std::uint32_t size;
        std::memcpy(&size, &b[at + 4], 4);
        if (std::memcmp(&b[at], "data", 4) == 0) {
            std::vector<std::int16_t> s(std::min<std::size_t>(size, b.size() - at - 8) / 2);
            std::memcpy(s.data(), &b[at + 8], s.size() * 2);
            return s;
        }
        at += 8 + size + (size & 1);
    }
    throw std::runtime_error("no data chunk in " + path);
}

// Where `needle` starts in `hay`, or -1.
long Find(const std::vector<std::int16_t>& hay, const std::int16_t* needle, std::size_t n)
{
    for (std::size_t i = 0; i + n <= hay.size(); ++i)
        if (std::memcmp(&hay[i], needle, n * 2) == 0) return static_cast<long>(i);
    return -1;
}

// The device plays silence until the player starts it: whole buffers of 1024
// stereo frames before the first sound (none when all is silent).
std::size_t LeadingSilence(const std::vector<std::int16_t>& device)
{
    std::size_t i = 0;
    while (i < device.size() && device[i] == 0) ++i;
    return i == device.size() ? 0 : i / 2048 * 2048;
}

// The times of the pictures the player put on screen, in order (seconds).
std::mutex ShownLock;
std::vector<double> ShownTimes;
std::vector<double> ShownSoundClocks;

void RecordShown(double pts, double audioClock, bool)
{
    std::lock_guard lock(ShownLock);
    ShownTimes.push_back(pts);
    ShownSoundClocks.push_back(audioClock);
}

// Observes the shown pictures for the life of the object.
struct TShownPictures {
    TShownPictures()
    {
        Clear();
        SetPictureShownObserver(RecordShown);
    }
    ~TShownPictures() { SetPictureShownObserver(nullptr); }
    static void Clear()
    {
        std::lock_guard lock(ShownLock);
        ShownTimes.clear();
        ShownSoundClocks.clear();
    }
    static std::vector<double> Times()
    {
        std::lock_guard lock(ShownLock);
        return ShownTimes;
    }
    static std::vector<double> SoundClocks()
    {
        std::lock_guard lock(ShownLock);
        return ShownSoundClocks;
    }
};

// The number a picture of numbered_gop80.mp4 carries in its top row of blocks, read
// through `luma` (x, y in the 320 x 240 picture); -1 when a block is neither black nor
// white or the thirteenth block, always white, is not.
int PictureNumber(const std::function<int(int, int)>& luma)
{
    if (luma(8 + 24 * 12 + 12, 20) <= 170) return -1;
    int number = 0;
    for (int bit = 0; bit < 12; ++bit) {
        const int v = luma(8 + 24 * bit + 12, 20);
        if (v > 170)
            number |= 1 << bit;
        else if (v > 80)
            return -1;
    }
    return number;
}

int BitmapNumber(const kv::media::TBitmap& bmp)
{
    if (bmp.Width() != 320 || bmp.Height() != 240) return -1;
    return PictureNumber([&](int x, int y) {
        const std::uint8_t* p = bmp.ScanLine(y) + 3 * x;
        return (p[0] + p[1] + p[2]) / 3;
    });
}

// The number on screen: the 320 x 240 picture fills the 400 x 300 window.
int ScreenNumber(const QImage& img)
{
    return PictureNumber([&](int x, int y) { return qGray(img.pixel(x * 400 / 320, y * 300 / 240)); });
}

bool Near(QColor c, int r, int g, int b, int tolerance = 12)
{
    return std::abs(c.red() - r) <= tolerance && std::abs(c.green() - g) <= tolerance &&
           std::abs(c.blue() - b) <= tolerance;
}

TEST_F(PlayerDisplayTest, OpensStopsAndReopens)
{
    ASSERT_TRUE(Open("mp4_h264_aac.mp4")) << player->LastError();
    EXPECT_EQ(recorder.Duration, 2000000);
    EXPECT_EQ(recorder.FrameWidth, 320);
    EXPECT_EQ(recorder.FrameHeight, 240);
    EXPECT_EQ(player->ScreenWidth(), 400);
    ASSERT_TRUE(WaitUntil([&] { return recorder.PositionCount() > 3; }, 5000));

    // A second open ends the first playback completely before the new one starts.
    ASSERT_TRUE(Open("wav_pcm.wav")) << player->LastError();
    EXPECT_EQ(recorder.Count(psStop), 1);
    EXPECT_EQ(recorder.FrameWidth, -1);
    ASSERT_TRUE(WaitUntil([&] { return recorder.Count(psPlay) == 2; }, 5000));
    player->Stop(true);
    EXPECT_EQ(recorder.Count(psStop), 2);
    EXPECT_FALSE(recorder.PositionOffUiThread);
    player->Stop(true);  // idle: nothing happens
    EXPECT_EQ(recorder.Count(psStop), 2);
    EXPECT_EQ(player->LastError(), "");
}

TEST_F(PlayerDisplayTest, FilesThatCannotPlayFailWithTheirReason)
{
    const std::string missing = MediaFile("no_such_clip.avi");
    struct Case {
        std::string file, error;
    } cases[] = {
        {MediaFile("random.bin"), MediaFile("random.bin") + ": Error while parsing header"},
        {MediaFile("empty.avi"), MediaFile("empty.avi") + ": Error while parsing header"},
        {MediaFile("truncated.mp4"), MediaFile("truncated.mp4") + ": Error while parsing header"},
        {MediaFile("subtitles_only.mkv"), MediaFile("subtitles_only.mkv") + ": could not open codecs, no stream to play."},
        {missing, missing + ": no such file or directory"},
    };
    for (const Case& c : cases) {
        QElapsedTimer t;
        t.start();
        EXPECT_FALSE(player->Open(c.file, host->PlayerWindow())) << c.file;
        EXPECT_EQ(player->LastError(), c.error);
        EXPECT_LT(t.elapsed(), 5000) << c.file;
    }
    Spin(100);
    EXPECT_EQ(recorder.Count(psPlay), 0);
    // The player is idle and usable again.
    ASSERT_TRUE(Open("avi_mpeg4_mp2.avi")) << player->LastError();
    ASSERT_TRUE(WaitUntil([&] { return recorder.Count(psPlay) == 1; }, 5000));
}

TEST_F(PlayerDisplayTest, PositionsFollowRealTimeToTheEnd)
{
    ASSERT_TRUE(Open("mp4_h264_aac.mp4")) << player->LastError();
    ASSERT_TRUE(WaitUntil([&] { return recorder.Count(psEnd) > 0; }, 8000));
    const qint64 played = recorder.FirstTime(psEnd) - recorder.FirstTime(psPlay);
    EXPECT_NEAR(played, 2000, 350);
    EXPECT_EQ(recorder.LastPosition(), 2000000);
    {
        std::lock_guard lock(recorder.Lock);
        // Positions rise with the wall clock and come more than 10 ms apart (but for
        // the end, which is always reported).
        for (std::size_t i = 1; i + 1 < recorder.Positions.size(); ++i)
            EXPECT_GT(std::llabs(recorder.Positions[i].first - recorder.Positions[i - 1].first), 10000);
        const auto& [pos, at] = recorder.Positions[recorder.Positions.size() / 2];
        EXPECT_NEAR(pos / 1000, at - recorder.States.front().second, 250);
    }
    // The playback stays open at its end: a seek plays on.
    player->Seek(500000);
    ASSERT_TRUE(WaitUntil([&] { return recorder.LastPosition() < 1500000; }, 3000));
}

TEST_F(PlayerDisplayTest, AFileBrokenInTheMiddlePlaysUpToTheDamageAndEnds)
{
    // 40 % of a 2 s clip: 13 whole pictures survive, the last at 0.48 s; the sound
    // goes to 0.52 s and the end waits until the device has played it.
    ASSERT_TRUE(Open("truncated.avi")) << player->LastError();
    ASSERT_TRUE(WaitUntil([&] { return recorder.Count(psEnd) > 0; }, 5000));
    EXPECT_GE(recorder.LastPosition(), 440000);
    EXPECT_LE(recorder.LastPosition(), 640000);
}

TEST_F(PlayerDisplayTest, PausesResumesAndSeeks)
{
    ASSERT_TRUE(Open("wav_pcm.wav")) << player->LastError();
    ASSERT_TRUE(WaitUntil([&] { return recorder.LastPosition() > 300000; }, 5000));
    player->Resume();  // playing: nothing happens
    player->Pause();
    player->Pause();  // paused: nothing happens
    EXPECT_EQ(recorder.Count(psPause), 1);
    EXPECT_EQ(recorder.Count(psResume), 0);
    Spin(100);
    const std::int64_t paused = recorder.LastPosition();
    Spin(400);
    EXPECT_EQ(recorder.LastPosition(), paused);
    player->Resume();
    EXPECT_EQ(recorder.Count(psResume), 1);
    Spin(300);
    // Going on from where it stopped, not jumping by the pause.
    EXPECT_NEAR(recorder.LastPosition() - paused, 300000, 150000);

    player->Seek(1200000);
    ASSERT_TRUE(WaitUntil([&] { return recorder.LastPosition() >= 1200000; }, 1000));
    EXPECT_LT(recorder.LastPosition(), 1500000);
    player->Seek(60000000);  // beyond the end: the end
    ASSERT_TRUE(WaitUntil([&] { return recorder.Count(psEnd) > 0; }, 3000));
}

TEST_F(PlayerDisplayTest, PictureIsFittedToTheWindowWithItsAspect)
{
    // 720 x 576 with sample aspect 64:45 is 16:9: 400 x 224 at y = 38 in 400 x 300.
    ASSERT_TRUE(Open("quadrants_64x45.mkv")) << player->LastError();
    ASSERT_TRUE(WaitUntil([&] { return recorder.PositionCount() > 5; }, 5000));
    const QImage img = Grab();
    ASSERT_EQ(img.size(), QSize(400, 300));
    for (int x : {0, 100, 300, 399}) {
        EXPECT_EQ(img.pixelColor(x, 37), QColor(Qt::black)) << x;
        EXPECT_NE(img.pixelColor(x, 38), QColor(Qt::black)) << x;
        EXPECT_NE(img.pixelColor(x, 261), QColor(Qt::black)) << x;
        EXPECT_EQ(img.pixelColor(x, 262), QColor(Qt::black)) << x;
    }
    EXPECT_TRUE(Near(img.pixelColor(100, 90), 255, 0, 0, 40)) << img.pixelColor(100, 90).name().toStdString();
    EXPECT_TRUE(Near(img.pixelColor(300, 90), 0, 255, 0, 40)) << img.pixelColor(300, 90).name().toStdString();
    EXPECT_TRUE(Near(img.pixelColor(100, 210), 0, 0, 255, 40)) << img.pixelColor(100, 210).name().toStdString();
    EXPECT_TRUE(Near(img.pixelColor(300, 210), 255, 255, 255, 40)) << img.pixelColor(300, 210).name().toStdString();
}

TEST_F(PlayerDisplayTest, PictureFollowsTheWindowsSize)
{
    ASSERT_TRUE(Open("quadrants_64x45.mkv")) << player->LastError();
    ASSERT_TRUE(WaitUntil([&] { return recorder.PositionCount() > 3; }, 5000));
    // 16:9 in 320 x 240: 320 x 180 at y = 30.
    window->resize(320, 240);
    ASSERT_TRUE(WaitUntil([&] { return player->ScreenWidth() == 320 && player->ScreenHeight() == 240; }, 3000));
    const std::size_t seen = recorder.PositionCount();
    ASSERT_TRUE(WaitUntil([&] { return recorder.PositionCount() > seen + 3; }, 3000));
    const QImage img = Grab();
    ASSERT_EQ(img.size(), QSize(320, 240));
    for (int x : {0, 160, 319}) {
        EXPECT_EQ(img.pixelColor(x, 29), QColor(Qt::black)) << x;
        EXPECT_NE(img.pixelColor(x, 30), QColor(Qt::black)) << x;
        EXPECT_NE(img.pixelColor(x, 209), QColor(Qt::black)) << x;
        EXPECT_EQ(img.pixelColor(x, 210), QColor(Qt::black)) << x;
    }
}

TEST_F(PlayerDisplayTest, AClickOnThePictureFocusesThePanelAndReachesTheHost)
{
    auto* other = new QWidget(window.get());  // holds the focus first
    other->setFocusPolicy(Qt::StrongFocus);
    window->layout()->addWidget(other);
    other->setFixedHeight(20);
    window->activateWindow();
    ASSERT_TRUE(WaitUntil([&] { return window->isActiveWindow(); }, 3000));
    other->setFocus();
    ASSERT_TRUE(Open("quadrants_64x45.mkv")) << player->LastError();
    ASSERT_TRUE(WaitUntil([&] { return recorder.PositionCount() > 3; }, 5000));
    ASSERT_EQ(window->focusWidget(), other);
    ASSERT_TRUE(ClickOnScreen(host->mapToGlobal(QPoint(200, 100))));
    ASSERT_TRUE(WaitUntil([&] { return host->Presses == 1; }, 3000));
    EXPECT_EQ(window->focusWidget(), host);
}

TEST_F(PlayerDisplayTest, OpeningASecondPlayerEndsTheFirst)
{
    ASSERT_TRUE(Open("avi_mpeg4_mp2.avi")) << player->LastError();
    ASSERT_TRUE(WaitUntil([&] { return recorder.PositionCount() > 2; }, 5000));
    TFFPlayer second;
    TRecorder secondRecorder;
    secondRecorder.Attach(second, 400, 300);
    ASSERT_TRUE(second.Open(MediaFile("quadrants_64x45.mkv"), host->PlayerWindow())) << second.LastError();
    EXPECT_EQ(recorder.Count(psStop), 1);
    ASSERT_TRUE(WaitUntil([&] { return secondRecorder.PositionCount() > 3; }, 5000));
    EXPECT_TRUE(Near(Grab().pixelColor(100, 90), 255, 0, 0, 40));
}

TEST_F(PlayerDisplayTest, CurrentBitmapHoldsThePictureOnScreen)
{
    ASSERT_EQ(player->CurrentBitmap()->Width(), 0);  // nothing plays
    ASSERT_TRUE(Open("quadrants_64x45.mkv")) << player->LastError();
    ASSERT_TRUE(WaitUntil([&] { return recorder.PositionCount() > 3; }, 5000));
    const kv::media::TBitmap& bmp = *player->CurrentBitmap();
    ASSERT_EQ(bmp.Width(), 720);
    ASSERT_EQ(bmp.Height(), 576);
    struct Case {
        int x, y, r, g, b;
    } cases[] = {{180, 144, 255, 0, 0}, {540, 144, 0, 255, 0}, {180, 432, 0, 0, 255}, {540, 432, 255, 255, 255}};
    for (const Case& c : cases) {
        const std::uint8_t* p = bmp.ScanLine(c.y) + 3 * c.x;
        EXPECT_TRUE(Near(QColor(p[2], p[1], p[0]), c.r, c.g, c.b)) << c.x << "," << c.y << ": " << int(p[2]) << " "
                                                                   << int(p[1]) << " " << int(p[0]);
    }
    // A sound-only file has no picture.
    ASSERT_TRUE(Open("wav_pcm.wav")) << player->LastError();
    EXPECT_EQ(player->CurrentBitmap()->Width(), 0);
    EXPECT_EQ(player->CurrentBitmap()->Height(), 0);
}

using kv::test::TTurnedClip;
using kv::test::TurnedClips;

// The grey a luma of limited range shows as.
int ShownGrey(int luma) { return std::clamp((luma - 16) * 255 / 219, 0, 255); }

TEST_F(PlayerDisplayTest, TurnedClipsShowUpright)
{
    for (const TTurnedClip& c : TurnedClips) {
        recorder.FrameWidth = recorder.FrameHeight = 0;
        const int ends = recorder.Count(psEnd);
        ASSERT_TRUE(Open(c.Name)) << player->LastError();
        EXPECT_EQ(recorder.FrameWidth, c.Width) << c.Name;
        EXPECT_EQ(recorder.FrameHeight, c.Height) << c.Name;
        // At the end the last picture stays on screen.
        ASSERT_TRUE(WaitUntil([&] { return recorder.Count(psEnd) > ends; }, 5000)) << c.Name;
        // The centre is grey in every clip: black while no picture is on screen.
        ASSERT_TRUE(WaitUntil(
            [&] { return player->CurrentBitmap()->ScanLine(c.Height / 2)[3 * (c.Width / 2)] > 0; }, 3000))
            << c.Name;
        const kv::media::TBitmap& bmp = *player->CurrentBitmap();
        ASSERT_EQ(bmp.Width(), c.Width) << c.Name;
        ASSERT_EQ(bmp.Height(), c.Height) << c.Name;
        const int w = c.Width, h = c.Height;
        const int at[4][2] = {{w / 10, h / 10}, {w - w / 10, h / 10}, {w / 10, h - h / 10}, {w - w / 10, h - h / 10}};
        for (int i = 0; i < 4; ++i) {
            const std::uint8_t* p = bmp.ScanLine(at[i][1]) + 3 * at[i][0];
            const int g = ShownGrey(c.Corners[i]);
            EXPECT_TRUE(Near(QColor(p[2], p[1], p[0]), g, g, g, 16))
                << c.Name << ", corner " << i << ": " << int(p[2]) << " " << int(p[1]) << " " << int(p[0]);
        }
        if (c.Width > c.Height) continue;
        // On screen: portrait, 165 x 300 in the middle of 400 x 300 (the grab may lag
        // behind the last picture; the display's own colour conversion is looser).
        const int g = ShownGrey(c.Corners[0]);
        QImage img;
        EXPECT_TRUE(WaitUntil(
            [&] {
                img = Grab();
                return Near(img.pixelColor(135, 30), g, g, g, 24);
            },
            2000))
            << c.Name << ": " << img.pixelColor(135, 30).name().toStdString();
        for (int y : {20, 150, 280}) {
            EXPECT_EQ(img.pixelColor(110, y), QColor(Qt::black)) << c.Name << " " << y;
            EXPECT_NE(img.pixelColor(125, y), QColor(Qt::black)) << c.Name << " " << y;
            EXPECT_NE(img.pixelColor(275, y), QColor(Qt::black)) << c.Name << " " << y;
            EXPECT_EQ(img.pixelColor(290, y), QColor(Qt::black)) << c.Name << " " << y;
        }
    }
}

TEST_F(PlayerDisplayTest, HookOfATurnedClipGetsAndGivesTheUprightPicture)
{
    player->SetHook(true);
    std::mutex lock;
    int width = 0, height = 0, topLeft = -1;
    player->OnHook = [&](TCustomPlayer*, kv::media::TBitmap& bmp, std::int64_t) {
        {
            std::lock_guard guard(lock);
            width = bmp.Width(), height = bmp.Height();
            topLeft = bmp.ScanLine(bmp.Height() / 10)[3 * (bmp.Width() / 10)];
        }
        // The left half blue: where it lands shows which way the hook's picture is.
        for (int y = 0; y < bmp.Height(); ++y)
            for (int x = 0; x < bmp.Width() / 2; ++x) {
                std::uint8_t* p = bmp.ScanLine(y) + 3 * x;
                p[0] = 255, p[1] = 0, p[2] = 0;
            }
    };
    const int ends = recorder.Count(psEnd);
    ASSERT_TRUE(Open("turn_90.mp4")) << player->LastError();
    ASSERT_TRUE(WaitUntil([&] { return recorder.Count(psEnd) > ends; }, 5000));
    {
        std::lock_guard guard(lock);
        EXPECT_EQ(width, 176);
        EXPECT_EQ(height, 320);
        EXPECT_NEAR(topLeft, ShownGrey(160), 16);
    }
    const kv::media::TBitmap& bmp = *player->CurrentBitmap();
    ASSERT_EQ(bmp.Width(), 176);
    const std::uint8_t* left = bmp.ScanLine(160) + 3 * 40;
    const std::uint8_t* right = bmp.ScanLine(160) + 3 * 136;
    EXPECT_TRUE(Near(QColor(left[2], left[1], left[0]), 0, 0, 255, 40)) << int(left[2]) << " " << int(left[0]);
    EXPECT_TRUE(Near(QColor(right[2], right[1], right[0]), 128, 128, 128, 40)) << int(right[2]) << " " << int(right[0]);
}

TEST_F(PlayerDisplayTest, StillImageShowsWithoutPositionsOrEnd)
{
    ASSERT_TRUE(Open("still.png")) << player->LastError();
    EXPECT_EQ(recorder.Duration, 0);
    EXPECT_EQ(recorder.FrameWidth, 320);
    // The picture's pixel (50, 100) is red 50, green 100, blue 200.
    ASSERT_TRUE(WaitUntil(
        [&] {
            const kv::media::TBitmap& bmp = *player->CurrentBitmap();
            if (bmp.Width() != 320) return false;
            const std::uint8_t* p = bmp.ScanLine(100) + 3 * 50;
            return Near(QColor(p[2], p[1], p[0]), 50, 100, 200, 6);
        },
        3000));
    Spin(400);
    EXPECT_EQ(recorder.PositionCount(), 0u);
    EXPECT_EQ(recorder.Count(psEnd), 0);
    EXPECT_TRUE(recorder.Logs.empty());
}

TEST_F(PlayerDisplayTest, SoundReachesTheDeviceUnchangedAndShowsAsTwoBands)
{
    ASSERT_TRUE(Open("wav_pcm.wav")) << player->LastError();
    ASSERT_TRUE(WaitUntil([&] { return recorder.LastPosition() > 1000000; }, 5000));
    const QImage img = Grab();  // stops before the end: the sound must reach the device unbroken
    player->Stop(true);

    const std::vector<std::int16_t> source = WaveSamples(MediaFile("wav_pcm.wav"));
    const std::vector<std::int16_t> device = DeviceSamples();
    const std::size_t lead = LeadingSilence(device);
    ASSERT_GT(device.size(), lead + 44100u * 2);
    ASSERT_EQ(Find(device, source.data(), 64), static_cast<long>(lead)) << "the sound does not start the device's output";
    const std::size_t n = std::min(device.size() - lead, source.size()) - 4096;
    EXPECT_EQ(std::memcmp(device.data() + lead, source.data(), n * 2), 0);

    // Two channels: two bands with a white line between them.
    for (int x : {0, 133, 266, 399}) EXPECT_EQ(img.pixelColor(x, 150), QColor(Qt::white)) << x;
    EXPECT_EQ(img.pixelColor(200, 2), QColor(Qt::black));
}

TEST_F(PlayerDisplayTest, MuteAndVolumeShapeWhatTheDeviceGets)
{
    const std::vector<std::int16_t> source = WaveSamples(MediaFile("wav_pcm.wav"));
    struct Case {
        bool mute;
        int volume;
    } cases[] = {{true, 128}, {false, 64}, {false, 0}};
    for (const Case& c : cases) {
        std::filesystem::remove(deviceFile);
        player->SetMute(c.mute);
        player->SetAudioVolume(c.volume);
        const std::size_t before = recorder.PositionCount();
        ASSERT_TRUE(Open("wav_pcm.wav")) << player->LastError();
        // The clocks and positions go on.
        ASSERT_TRUE(WaitUntil([&] { return recorder.PositionCount() > before + 10; }, 5000));
        player->Stop(true);
        const std::vector<std::int16_t> device = DeviceSamples();
        const std::size_t lead = LeadingSilence(device);
        ASSERT_GT(device.size(), lead + 4096) << c.mute << " " << c.volume;
        const std::size_t n = std::min(device.size() - lead, source.size()) - 4096;
        std::size_t wrong = 0;
        for (std::size_t i = 0; i < n; ++i) {
            // The library's mixer may round either way.
            const int expected = c.mute ? 0 : source[i] * c.volume / 128;
            wrong += std::abs(device[lead + i] - expected) > (c.mute ? 0 : 1);
        }
        EXPECT_EQ(wrong, 0u) << "mute " << c.mute << " volume " << c.volume;
    }
}

TEST_F(PlayerDisplayTest, DestroyingAPlayingPlayerCallsNoHandler)
{
    ASSERT_TRUE(Open("avi_mpeg4_mp2.avi")) << player->LastError();
    ASSERT_TRUE(WaitUntil([&] { return recorder.PositionCount() > 2; }, 5000));
    bool destroying = false, called = false;
    player->OnState = [&](TCustomPlayer*, TPlayState) { called = called || destroying; };
    player->OnPosition = [&](TCustomPlayer*, std::int64_t) { called = called || destroying; };
    player->OnLog = [&](TCustomPlayer*, TLogType, const std::string&) { called = called || destroying; };
    destroying = true;
    player.reset();
    EXPECT_FALSE(called);
    // The window belongs to the host again, and a new player plays in it.
    player = std::make_unique<TFFPlayer>();
    recorder.Attach(*player, 400, 300);
    ASSERT_TRUE(Open("avi_mpeg4_mp2.avi")) << player->LastError();
    ASSERT_TRUE(WaitUntil([&] { return recorder.PositionCount() > 10; }, 5000));
}

TEST_F(PlayerDisplayTest, HookReplacesThePictureOrLeavesItOnError)
{
    player->SetHook(true);
    struct Case {
        bool fail;
    } cases[] = {{false}, {true}};
    for (const Case& c : cases) {
        std::atomic<int> calls{0};
        std::atomic<std::int64_t> lastPts{-1};
        player->OnHook = [&](TCustomPlayer*, kv::media::TBitmap& bmp, std::int64_t pts) {
            ++calls;
            lastPts = pts;
            if (c.fail) throw std::runtime_error("no paint");
            for (int y = 0; y < bmp.Height(); ++y)
                for (int x = 0; x < bmp.Width(); ++x) {
                    std::uint8_t* p = bmp.ScanLine(y) + 3 * x;
                    p[0] = 255, p[1] = 0, p[2] = 0;  // blue
                }
        };
        recorder.Logs.clear();
        ASSERT_TRUE(Open("quadrants_64x45.mkv")) << player->LastError();
        ASSERT_TRUE(WaitUntil([&] { return calls > 5 && recorder.PositionCount() > 3; }, 5000));
        const std::uint8_t* p = player->CurrentBitmap()->ScanLine(144) + 3 * 180;  // red unhooked
        if (c.fail) {
            EXPECT_TRUE(Near(QColor(p[2], p[1], p[0]), 255, 0, 0));
            std::lock_guard lock(recorder.Lock);
            ASSERT_FALSE(recorder.Logs.empty());
            EXPECT_EQ(recorder.Logs.back().second, "Error occurs OnHook: no paint");
        } else {
            EXPECT_TRUE(Near(QColor(p[2], p[1], p[0]), 0, 0, 255));
        }
        EXPECT_GE(lastPts, 0);
        player->Stop(true);
    }
}

TEST_F(PlayerDisplayTest, FilesPlayToTheEndOfTheirLastPictureAndSoundInRealTime)
{
    // Sound in large chunks ahead of the pictures (PCM in AVI), sound ending 1.5 s
    // before the picture, raw FLAC (its reader holds frames after the bytes ran out),
    // and files of a single picture.
    struct Case {
        const char* file;
        qint64 playedMs;      // psPlay to psEnd
        std::int64_t lastPosition;
        bool picture;         // the first quadrant (red) is on screen at the end
    } cases[] = {
        {"flash_beep_pcm44k.avi", 4000, 4000000, false},
        {"short_sound.mp4", 3000, 3000000, false},
        {"tone.flac", 3000, 3000000, false},
        {"one_frame.mp4", 40, -1, true},
        {"one_frame.mkv", 40, -1, true},
        {"one_frame_mjpeg.avi", 40, -1, true},
    };
    for (const Case& c : cases) {
        TRecorder r;
        r.Attach(*player, 400, 300);
        ASSERT_TRUE(Open(c.file)) << player->LastError();
        ASSERT_TRUE(WaitUntil([&] { return r.Count(psEnd) > 0; }, 10000)) << c.file;
        // Wide enough for a loaded machine, narrow enough for the faults: a stall of a
        // second, the picture at half speed after the sound, the end 0.9 s early.
        EXPECT_NEAR(r.FirstTime(psEnd) - r.FirstTime(psPlay), c.playedMs, 600) << c.file;
        if (c.lastPosition >= 0) {
            EXPECT_NEAR(r.LastPosition(), c.lastPosition, 40000) << c.file;
        }
        {
            std::lock_guard lock(r.Lock);
            // A normal end is no error, and the position never runs back.
            EXPECT_TRUE(r.Logs.empty()) << c.file << ": " << r.Logs.front().second;
            for (std::size_t i = 1; i < r.Positions.size(); ++i)
                EXPECT_GE(r.Positions[i].first, r.Positions[i - 1].first) << c.file << " report " << i;
            // Pictures come from the start: the first position is reported early.
            if (!r.Positions.empty() && c.lastPosition > 1000000) {
                EXPECT_LT(r.Positions.front().second - r.States.front().second, 700) << c.file;
            }
        }
        if (c.picture) {
            const kv::media::TBitmap& bmp = *player->CurrentBitmap();
            ASSERT_EQ(bmp.Width(), 320) << c.file;
            const std::uint8_t* p = bmp.ScanLine(60) + 3 * 80;
            EXPECT_TRUE(Near(QColor(p[2], p[1], p[0]), 255, 0, 0, 40)) << c.file;
            EXPECT_TRUE(Near(Grab().pixelColor(100, 75), 255, 0, 0, 40)) << c.file;
        }
        player->Stop(true);
    }
}

TEST_F(PlayerDisplayTest, RawFlacReachesTheDeviceToItsLastSample)
{
    ASSERT_TRUE(Open("tone.flac")) << player->LastError();
    ASSERT_TRUE(WaitUntil([&] { return recorder.Count(psEnd) > 0; }, 8000));
    Spin(200);
    player->Stop(true);
    const std::vector<std::int16_t> device = DeviceSamples();
    std::size_t first = 0, last = 0;
    for (std::size_t i = 0; i < device.size(); ++i)
        if (device[i] != 0) {
            if (!first) first = i;
            last = i;
        }
    // 3 s of stereo at 44.1 kHz.
    EXPECT_NEAR(static_cast<double>(last - first) / 2, 132300.0, 1200.0);
}

TEST_F(PlayerDisplayTest, DroppedPicturesOfAnAviKeepEveryPicturesTime)
{
    // Pictures 25 to 27 are empty chunks: the 25th picture is followed by the one at 1.12 s.
    TShownPictures shown;
    ASSERT_TRUE(Open("gap_160x120.avi")) << player->LastError();
    ASSERT_TRUE(WaitUntil([&] { return recorder.Count(psEnd) > 0; }, 8000));
    const std::vector<double> times = TShownPictures::Times();
    ASSERT_EQ(times.size(), 50u);
    for (std::size_t i = 0; i < times.size(); ++i) {
        const double expected = (static_cast<double>(i) + (i >= 25 ? 3 : 0)) * 0.04;
        EXPECT_NEAR(times[i], expected, 0.001) << "picture " << i;
    }
}

TEST_F(PlayerDisplayTest, SeeksShowThePictureAtTheirTarget)
{
    // Key frames at 0, 3.2, 6.4 and 9.6 s, 25 pictures a second; the first picture at
    // or after each target, forward, backward, and past the end (the last picture the
    // file presents: its index leaves out the 250th).
    ASSERT_TRUE(Open("numbered_gop80.mp4")) << player->LastError();
    ASSERT_TRUE(WaitUntil([&] { return recorder.PositionCount() > 3; }, 5000));
    player->Pause();
    struct Case {
        std::int64_t target;
        int picture;
    } cases[] = {{5000000, 125}, {5500000, 138}, {6000000, 150}, {7000000, 175}, {5010000, 126},
                 {2000000, 50},  {6390000, 160}, {6400000, 160}, {0, 0},         {60000000, 248}};
    for (const Case& c : cases) {
        player->Seek(c.target);
        WaitUntil([&] { return BitmapNumber(*player->CurrentBitmap()) == c.picture; }, 3000);
        EXPECT_EQ(BitmapNumber(*player->CurrentBitmap()), c.picture) << "target " << c.target;
        // The X server draws what it was given a moment later on a busy machine.
        WaitUntil([&] { return ScreenNumber(Grab()) == c.picture; }, 500);
        EXPECT_EQ(ScreenNumber(Grab()), c.picture) << "target " << c.target;
        // Paused at the target: the position says where.
        ASSERT_TRUE(WaitUntil([&] { return std::llabs(recorder.LastPosition() - c.picture * 40000) <= 1000; }, 2000))
            << "target " << c.target << ": position " << recorder.LastPosition();
    }
    EXPECT_EQ(recorder.Count(psResume), 0);  // it stayed paused

    // While playing: the picture at the target comes first, with the sound at its time.
    player->Seek(1000000);
    player->Resume();
    ASSERT_TRUE(WaitUntil([&] { return recorder.LastPosition() > 1200000; }, 3000));
    TShownPictures shown;
    // Forward, and backward from past the target to the key frame at 3.2 s.
    for (const bool backward : {false, true}) {
        SCOPED_TRACE(backward ? "backward" : "forward");
        if (backward) {
            ASSERT_TRUE(WaitUntil([&] { return recorder.LastPosition() > 6600000; }, 5000));
        }
        TShownPictures::Clear();
        player->Seek(5500000);
        ASSERT_TRUE(WaitUntil([&] { return TShownPictures::Times().size() > 10; }, 5000));
        const std::vector<double> times = TShownPictures::Times();
        const std::vector<double> sound = TShownPictures::SoundClocks();
        std::size_t at = 0;
        // Pictures shown before the seek was taken.
        while (at < times.size() && (backward ? times[at] > 5.53 : times[at] < 5.0)) ++at;
        ASSERT_LT(at + 5, times.size());
        EXPECT_NEAR(times[at], 5.52, 0.001);
        for (std::size_t i = at + 1; i < times.size(); ++i) EXPECT_NEAR(times[i] - times[i - 1], 0.04, 0.001);
        // The sound goes on from the target, not from the key frame nor from before the
        // seek, and the pictures follow it from the first.
        EXPECT_NEAR(sound[at + 5], times[at + 5], 0.06);
    }
}

TEST_F(PlayerDisplayTest, FrameStepsShowTheNextAndThePreviousPictureAndPlayOnFromThere)
{
    ASSERT_TRUE(Open("numbered_gop80.mp4")) << player->LastError();
    ASSERT_TRUE(WaitUntil([&] { return recorder.PositionCount() > 3; }, 5000));
    player->Step(1);  // playing: pauses first
    EXPECT_EQ(recorder.Count(psPause), 1);
    player->Seek(4000000);
    ASSERT_TRUE(WaitUntil([&] { return BitmapNumber(*player->CurrentBitmap()) == 100; }, 3000));
    struct Step {
        int direction, picture;
    } steps[] = {{1, 101}, {1, 102}, {1, 103}, {-1, 102}, {-1, 101}, {-1, 100}, {-1, 99}, {1, 100}};
    for (const Step& s : steps) {
        player->Step(s.direction);
        WaitUntil([&] { return BitmapNumber(*player->CurrentBitmap()) == s.picture; }, 3000);
        EXPECT_EQ(BitmapNumber(*player->CurrentBitmap()), s.picture) << "step " << s.direction;
        ASSERT_TRUE(WaitUntil([&] { return recorder.LastPosition() == s.picture * 40000; }, 2000))
            << "position " << recorder.LastPosition() << " for picture " << s.picture;
    }
    // Steps asked for at once, or before a seek has shown its picture, each count
    // from the picture the one before showed (a quick user, or a busy machine).
    struct Burst {
        std::vector<int> directions;
        int picture;
    } bursts[] = {{{1}, 101}, {{1, 1, 1}, 103}, {{1, 1, -1}, 101}, {{-1, -1}, 98}, {{-1, 1, 1}, 101}};
    for (const Burst& b : bursts) {
        player->Seek(4000000);
        for (int direction : b.directions) player->Step(direction);
        WaitUntil([&] { return BitmapNumber(*player->CurrentBitmap()) == b.picture; }, 3000);
        Spin(200);  // nothing more comes
        EXPECT_EQ(BitmapNumber(*player->CurrentBitmap()), b.picture) << "steps after the seek: " << b.directions.size();
        ASSERT_TRUE(WaitUntil([&] { return recorder.LastPosition() == b.picture * 40000; }, 2000))
            << "position " << recorder.LastPosition() << " for picture " << b.picture;
    }
    // Playing on goes from the picture on screen, picture and sound together.
    player->Seek(4000000);
    ASSERT_TRUE(WaitUntil([&] { return BitmapNumber(*player->CurrentBitmap()) == 100; }, 3000));
    TShownPictures shown;
    player->Resume();
    ASSERT_TRUE(WaitUntil([&] { return TShownPictures::Times().size() > 8; }, 5000));
    const std::vector<double> times = TShownPictures::Times();
    EXPECT_NEAR(times.front(), 4.0, 0.05);
    EXPECT_NEAR(TShownPictures::SoundClocks()[8], times[8], 0.06);
}

TEST_F(PlayerDisplayTest, CurrentBitmapIsThePictureOnScreenWhilePaused)
{
    ASSERT_TRUE(Open("numbered_gop80.mp4")) << player->LastError();
    for (std::int64_t wait : {600000, 1300000, 2100000}) {
        ASSERT_TRUE(WaitUntil([&] { return recorder.LastPosition() > wait; }, 5000));
        player->Pause();
        Spin(200);  // the next picture is decoded and waits
        const int onScreen = ScreenNumber(Grab());
        ASSERT_GE(onScreen, 0);
        EXPECT_EQ(BitmapNumber(*player->CurrentBitmap()), onScreen);
        EXPECT_EQ(recorder.LastPosition(), onScreen * 40000);
        player->Resume();
    }
}

}  // namespace
