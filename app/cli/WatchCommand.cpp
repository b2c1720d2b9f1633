// kestravo-cli watch: converts every media file that arrives in a folder tree until
// Ctrl-C or SIGTERM, one line per file. The first signal cancels the running file (its
// output goes) and ends; a second ends at once, removing what was begun.
#include <fcntl.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/cli/Commands.h"
#include "workflow/FolderWatch.h"
#include "workflow/IniOptions.h"

namespace kv::cli {

namespace {

using namespace kv::workflow;

const char* const WatchUsage =
    "usage: kestravo-cli watch DIR --profile INDEX|NAME --output DIR [--keep-folders]\n"
    "                          [--if-exists number|skip|replace] [--jobs N] [--new-only]\n";

std::atomic<int> WatchSignal{0};
std::atomic<int> WatchSignals{0};
// The handler wakes the event loop through it: no timer runs while the watch idles.
int SignalPipe[2] = {-1, -1};

extern "C" void OnWatchSignal(int signal)
{
    int none = 0;
    WatchSignal.compare_exchange_strong(none, signal);
    WatchSignals.fetch_add(1);
    const char byte = 1;
    if (SignalPipe[1] >= 0) (void)!::write(SignalPipe[1], &byte, 1);
}

void CatchSignals(void (*handler)(int))
{
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

struct TWatchArguments {
    std::string Folder;
    std::string Profile;
    TWatchSettings Settings;
};

bool ParseWatch(const std::vector<std::string>& args, TWatchArguments& a)
{
    auto fail = [](const std::string& text) {
        std::fprintf(stderr, "kestravo-cli watch: %s\n", text.c_str());
        std::fputs(WatchUsage, stderr);
        return false;
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        std::string v;
        auto value = [&] {
            if (i + 1 >= args.size()) return false;
            v = args[++i];
            return true;
        };
        if (arg == "--profile" || arg == "--output" || arg == "--if-exists" || arg == "--jobs") {
            if (!value()) return fail(arg + " needs a value");
            if (arg == "--profile") a.Profile = v;
            else if (arg == "--output") a.Settings.Output = v;
            else if (arg == "--if-exists" && !ParseIfExists(v, a.Settings.Rules.IfExists))
                return fail("--if-exists: one of number, skip, replace");
            else if (arg == "--jobs") {
                char* end = nullptr;
                const long n = std::strtol(v.c_str(), &end, 10);
                if (v.empty() || *end != '\0' || n < 1 || n > 64) return fail("--jobs: a number from 1 to 64");
                a.Settings.Jobs = static_cast<int>(n);
            }
        } else if (arg == "--keep-folders") {
            a.Settings.Rules.KeepFolders = true;
        } else if (arg == "--new-only") {
            a.Settings.NewOnly = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return fail("unknown option: " + arg);
        } else if (a.Settings.Folder.empty()) {
            a.Settings.Folder = arg;
        } else {
            return fail("one folder only: " + arg);
        }
    }
    if (a.Settings.Folder.empty()) return fail("which folder to watch?");
    if (a.Profile.empty()) return fail("--profile is needed");
    if (a.Settings.Output.empty()) return fail("--output is needed");
    return true;
}

}  // namespace

int WatchCommand(const std::vector<std::string>& args)
{
    TWatchArguments a;
    if (!ParseWatch(args, a)) return 2;
    int argc = 1;
    char name[] = "kestravo-cli";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    if (!LoadSettings()) return 1;
    a.Settings.Profile = FindProfileIndex(a.Profile);
    if (a.Settings.Profile < 0) {
        std::fprintf(stderr, "kestravo-cli watch: no such profile: %s (see kestravo-cli profiles)\n", a.Profile.c_str());
        return 1;
    }

    TFolderWatch watch(a.Settings);
    watch.OnLine = [](const std::string& line) {
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    };
    watch.OnStopped = [] { QCoreApplication::quit(); };
    if (::pipe2(SignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::fprintf(stderr, "kestravo-cli watch: %s\n", std::strerror(errno));
        return 1;
    }
    CatchSignals(OnWatchSignal);
    std::string error;
    if (!watch.Start(error)) {
        std::fprintf(stderr, "kestravo-cli watch: %s\n", error.c_str());
        return 1;
    }
    QSocketNotifier signalWatch(SignalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalWatch, &QSocketNotifier::activated, [&] {
        char bytes[16];
        while (::read(SignalPipe[0], bytes, sizeof bytes) > 0) {
        }
        const int count = WatchSignals;
        if (count >= 2) {
            watch.Abandon();
            std::fflush(stdout);
            std::_Exit(128 + WatchSignal);
        }
        if (count == 1 && !watch.Stopped()) watch.Stop();
    });
    app.exec();
    signalWatch.setEnabled(false);
    CatchSignals(SIG_DFL);
    std::printf("Stopped watching.\n");
    // Stopping is how a watch ends: a signal asked for it, nothing went wrong.
    return 0;
}

}  // namespace kv::cli
