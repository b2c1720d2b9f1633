// The player's speed on one clip in a 400 x 300 window: CPU time per second of
// playback, Open to the first picture on screen, Seek to the new picture, and the
// distance between each shown picture's time and the sound's clock.
//   player_bench CLIP
// Run by bench/run_player_bench.sh (a virtual display, sound to SDL's disk driver).
#include <QApplication>
#include <QElapsedTimer>
#include <QWidget>

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "app/host/PlayerHostWidget.h"
#include "player/FFPlay.h"
#include "player/PlaybackDiagnostics.h"

using namespace kv;

namespace {

struct TShown {
    qint64 AtUs;
    double Pts, AudioClock;
    bool HasAudio;
};

QElapsedTimer Clock;
std::mutex ShownLock;
std::vector<TShown> Shown;

void OnPictureShown(double pts, double audioClock, bool hasAudio)
{
    std::lock_guard lock(ShownLock);
    Shown.push_back({Clock.nsecsElapsed() / 1000, pts, audioClock, hasAudio});
}

double CpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

template <typename Pred>
bool WaitFor(Pred done, int ms)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > ms) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Microseconds from `since` to the first picture shown after it whose time lies in [from, to).
qint64 FirstPictureAfter(qint64 since, double from, double to)
{
    std::lock_guard lock(ShownLock);
    for (const TShown& s : Shown)
        if (s.AtUs >= since && s.Pts >= from && s.Pts < to) return s.AtUs - since;
    return -1;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: player_bench CLIP\n");
        return 2;
    }
    const std::string clip = argv[1];
    app::PreferX11Platform();
    QApplication application(argc, argv);
    QWidget window;
    auto* host = new app::TPlayerHostWidget;
    if (!app::ShowAsWholeWindow(window, host, QSize(400, 300))) {
        std::fprintf(stderr, "the window does not appear\n");
        return 1;
    }

    player::TFFPlayer player;
    if (!player.LoadAVLib("")) {
        std::fprintf(stderr, "%s\n", player.LastError().c_str());
        return 1;
    }
    std::int64_t duration = 0;
    player.OnFileOpen = [&](player::TCustomPlayer*, std::int64_t d, int, int, int& sw, int& sh) {
        duration = d;
        sw = host->width();
        sh = host->height();
    };
    std::atomic<bool> ended{false};
    player.OnState = [&](player::TCustomPlayer*, player::TPlayState s) {
        if (s == player::psEnd) ended = true;
    };
    Clock.start();
    player::SetPictureShownObserver(OnPictureShown);

    // Whole clip: CPU, open time, A/V distance.
    const double cpu0 = CpuSeconds();
    const qint64 opened = Clock.nsecsElapsed() / 1000;
    if (!player.Open(clip, host->PlayerWindow())) {
        std::fprintf(stderr, "%s\n", player.LastError().c_str());
        return 1;
    }
    WaitFor([&] { return ended.load(); }, static_cast<int>(duration / 1000) + 10000);
    const double wall = double(Clock.nsecsElapsed() / 1000 - opened) / 1e6;
    const double cpu = CpuSeconds() - cpu0;
    player.Stop(true);
    const qint64 openToPicture = FirstPictureAfter(opened, -1e9, 1e9);

    std::vector<double> distance;
    {
        std::lock_guard lock(ShownLock);
        for (const TShown& s : Shown)
            if (s.HasAudio) distance.push_back(std::fabs(s.Pts - s.AudioClock) * 1000);
    }
    if (std::getenv("KV_BENCH_TRACE")) {
        std::lock_guard lock(ShownLock);
        for (const TShown& s : Shown)
            std::fprintf(stderr, "%lld %.3f %.3f %.1f\n", static_cast<long long>(s.AtUs / 1000), s.Pts, s.AudioClock,
                         (s.Pts - s.AudioClock) * 1000);
    }
    std::sort(distance.begin(), distance.end());
    const std::size_t pictures = distance.size();

    // Seeks while playing.
    {
        std::lock_guard lock(ShownLock);
        Shown.clear();
    }
    ended = false;
    player.Open(clip, host->PlayerWindow());
    WaitFor([] { return false; }, 1000);
    std::vector<qint64> seeks;
    std::vector<double> seekCpu;  // process CPU milliseconds from the request to the picture
    double worstLanding = 0;  // seconds between a target and the first picture shown after the seek
    for (double target : {12.0, 4.0, 16.0, 8.0, 1.0, 14.0, 9.9}) {
        const qint64 at = Clock.nsecsElapsed() / 1000;
        const double cpuAt = CpuSeconds();
        player.Seek(static_cast<std::int64_t>(target * 1e6));
        WaitFor([&] { return FirstPictureAfter(at, target - 0.05, target + 1.0) >= 0; }, 3000);
        seekCpu.push_back((CpuSeconds() - cpuAt) * 1000);
        seeks.push_back(FirstPictureAfter(at, target - 0.05, target + 1.0) / 1000);
        // The picture the seek showed: the first one after the request that is not an old one.
        {
            std::lock_guard lock(ShownLock);
            for (const TShown& s : Shown)
                if (s.AtUs >= at && s.Pts >= target - 0.05 && s.Pts < target + 1.0) {
                    worstLanding = std::max(worstLanding, s.Pts - target);
                    break;
                }
        }
        WaitFor([] { return false; }, 700);
    }
    player.Stop(true);
    player::SetPictureShownObserver(nullptr);
    std::sort(seeks.begin(), seeks.end());
    std::sort(seekCpu.begin(), seekCpu.end());

    std::printf("clip: %s (%.1f s)\n", clip.c_str(), double(duration) / 1e6);
    std::printf("cpu per playback second: %.3f core-s (%.2f s cpu over %.2f s; target <= 0.25)\n", cpu / wall, cpu,
                wall);
    std::printf("open to first picture: %lld ms (target <= 250)\n", static_cast<long long>(openToPicture / 1000));
    std::printf("seek to the picture at the target: median %lld ms, max %lld ms over %zu seeks (target <= 250)\n",
                static_cast<long long>(seeks[seeks.size() / 2]), static_cast<long long>(seeks.back()), seeks.size());
    std::printf("cpu per seek (the whole process, request to picture): median %.0f ms, max %.0f ms\n",
                seekCpu[seekCpu.size() / 2], seekCpu.back());
    std::printf("seek landing: at most %.1f ms after the target (one picture or less)\n", worstLanding * 1000);
    if (pictures)
        std::printf("video to audio clock at %zu shown pictures: median %.1f ms, 99%% %.1f ms, max %.1f ms (target <= 45)\n",
                    pictures, distance[pictures / 2], distance[pictures * 99 / 100], distance.back());
    return 0;
}
