// Plays one file in a 400 x 300 window and prints every event of the player:
//   play_file FILE [--seconds S] [--snapshot OUT.bmp] [--mute] [--volume N] [--seek-at MS:TARGET_MS]
// Lines: "<ms> open duration=<us> frame=<w>x<h>", "<ms> state play|pause|resume|stop|end",
// "<ms> position <us>", "<ms> log info|error <text>" (ms since start). At the end of
// the file, or after S seconds, the picture on screen is saved when asked for and the
// player stopped; exit status 0. A file that cannot be opened: the reason on
// standard error, exit status 1.
#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "app/host/PlayerHostWidget.h"
#include "media/BitmapFile.h"
#include "player/FFPlay.h"

using namespace kv;

namespace {

struct TOptions {
    std::string File;
    double Seconds = -1;
    std::string Snapshot;
    bool Mute = false;
    int Volume = -1;
    int SeekAtMs = -1;
    std::int64_t SeekTargetMs = 0;
};

bool ParseArguments(int argc, char** argv, TOptions& o)
{
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--seconds" && hasValue)
            o.Seconds = std::atof(argv[++i]);
        else if (a == "--snapshot" && hasValue)
            o.Snapshot = argv[++i];
        else if (a == "--mute")
            o.Mute = true;
        else if (a == "--volume" && hasValue)
            o.Volume = std::atoi(argv[++i]);
        else if (a == "--seek-at" && hasValue) {
            if (std::sscanf(argv[++i], "%d:%" SCNd64, &o.SeekAtMs, &o.SeekTargetMs) != 2) return false;
        } else if (o.File.empty() && a.rfind("--", 0) != 0)
            o.File = a;
        else
            return false;
    }
    return !o.File.empty();
}

const char* StateName(player::TPlayState state)
{
    switch (state) {
    case player::psPlay: return "play";
    case player::psPause: return "pause";
    case player::psResume: return "resume";
    case player::psStep: return "step";
    case player::psStop: return "stop";
    case player::psEnd: return "end";
    }
    return "?";
}

std::mutex PrintLock;
QElapsedTimer Clock;

void PrintLine(const std::string& text)
{
    std::lock_guard lock(PrintLock);
    std::printf("%lld %s\n", static_cast<long long>(Clock.elapsed()), text.c_str());
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv)
{
    Clock.start();
    TOptions options;
    if (!ParseArguments(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: play_file FILE [--seconds S] [--snapshot OUT.bmp] [--mute] [--volume N] "
                     "[--seek-at MS:TARGET_MS]\n");
        return 2;
    }
    app::PreferX11Platform();
    QApplication application(argc, argv);

    QWidget window;
    window.setWindowTitle("play_file");
    auto* host = new app::TPlayerHostWidget;
    if (!app::ShowAsWholeWindow(window, host, QSize(400, 300))) {
        std::fprintf(stderr, "the window does not appear\n");
        return 1;
    }

    player::TFFPlayer player;
    player.OnFileOpen = [host](player::TCustomPlayer*, std::int64_t duration, int w, int h, int& sw, int& sh) {
        PrintLine("open duration=" + std::to_string(duration) + " frame=" + std::to_string(w) + "x" + std::to_string(h));
        sw = host->width();
        sh = host->height();
    };
    player.OnPosition = [](player::TCustomPlayer*, std::int64_t pts) { PrintLine("position " + std::to_string(pts)); };
    player.OnLog = [](player::TCustomPlayer*, player::TLogType type, const std::string& msg) {
        PrintLine(std::string("log ") + (type == player::ltError ? "error " : "info ") + msg);
    };

    bool finishing = false;
    const auto finish = [&] {
        if (finishing) return;
        finishing = true;
        int status = 0;
        if (!options.Snapshot.empty() && !media::SaveBitmapFile(*player.CurrentBitmap(), options.Snapshot)) {
            std::fprintf(stderr, "cannot write %s\n", options.Snapshot.c_str());
            status = 1;
        }
        player.Stop(true);
        application.exit(status);
    };
    bool endSeen = false;
    player.OnState = [&](player::TCustomPlayer*, player::TPlayState state) {
        // The end repeats at every refresh while nothing is left; one line is enough.
        if (state == player::psEnd) {
            std::lock_guard lock(PrintLock);
            if (endSeen) return;
            endSeen = true;
        }
        PrintLine(std::string("state ") + StateName(state));
        if (state == player::psEnd) QMetaObject::invokeMethod(&application, finish, Qt::QueuedConnection);
    };

    if (!player.AVLibLoaded() &&
        !player.LoadAVLib(QDir(QCoreApplication::applicationDirPath()).filePath("Lib").toStdString())) {
        std::fprintf(stderr, "%s\n", player.LastError().c_str());
        return 1;
    }
    player.SetMute(options.Mute);
    if (options.Volume >= 0) player.SetAudioVolume(options.Volume);
    if (!player.Open(options.File, host->PlayerWindow())) {
        std::fprintf(stderr, "%s\n", player.LastError().c_str());
        return 1;
    }
    if (options.SeekAtMs >= 0)
        QTimer::singleShot(options.SeekAtMs, &player, [&] { player.Seek(options.SeekTargetMs * 1000); });
    if (options.Seconds >= 0) QTimer::singleShot(static_cast<int>(options.Seconds * 1000), &player, finish);
    return application.exec();
}
