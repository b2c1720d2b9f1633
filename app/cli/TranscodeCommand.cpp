// kestravo-cli transcode [NAME=VALUE ...] INPUT [NAME=VALUE ...] OUTPUT
// One engine task, run by the engine component on a worker thread inside a Qt event
// loop; Ctrl-C stops it (the output keeps its trailer).
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <mutex>

#include <QCoreApplication>
#include <QTimer>

#include "app/cli/Commands.h"
#include "engine/FFmpegRecords.h"
#include "engine/FFmpegVCL.h"
#include "workflow/BatchObserver.h"

namespace kv::cli {

namespace {

std::atomic<bool> Interrupted{false};

void OnSigInt(int)
{
    Interrupted = true;
}

std::string Clock(int milliseconds)
{
    return workflow::TimeText(milliseconds < 0 ? 0 : milliseconds / 1000);
}

}  // namespace

int TranscodeCommand(const std::vector<std::string>& args)
{
    // The first word without "=" is the input, the last word the output.
    std::size_t inputAt = args.size();
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i].find('=') == std::string::npos) {
            inputAt = i;
            break;
        }
    }
    // Options are NAME=VALUE words; a word like "-i" is a mistake, not a file name.
    const bool option = std::any_of(args.begin(), args.end(),
                                    [](const std::string& a) { return a.size() > 1 && a[0] == '-'; });
    if (inputAt + 1 >= args.size() || option) {
        std::fprintf(stderr, "usage: kestravo-cli transcode [NAME=VALUE ...] INPUT [NAME=VALUE ...] OUTPUT\n");
        return 2;
    }
    const std::string input = args[inputAt];
    const std::string output = args.back();
    engine::TInputOptions inOptions;
    engine::TOutputOptions outOptions;
    engine::TFFmpegVCL::InitInputOptions(inOptions);
    engine::TFFmpegVCL::InitOutputOptions(outOptions);
    for (std::size_t i = 0; i < inputAt; ++i) inOptions.ExtOptions += args[i] + "\n";
    for (std::size_t i = inputAt + 1; i + 1 < args.size(); ++i) outOptions.ExtOptions += args[i] + "\n";

    int argc = 1;
    char name[] = "kestravo-cli";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);

    engine::TFFmpegVCL engine;
    engine.SetLogLevel(engine::llInfo);
    if (!engine.LoadAVLib(ExecutableFolder() + "/Lib")) {
        std::fprintf(stderr, "%s\n", engine.LastErrMsg().c_str());
        return 1;
    }
    // A mistyped name would otherwise run the conversion with defaults.
    for (std::size_t i = 0; i + 1 < args.size(); ++i) {
        if (i == inputAt) continue;
        const std::string name = args[i].substr(0, args[i].find('='));
        if (!engine::TFFmpegVCL::IsKnownOption(name)) {
            std::fprintf(stderr, "unknown option '%s'\n", name.c_str());
            return 2;
        }
    }
    // The words are the user's: the record's always-applied fields must not undo them.
    engine::CarryExtOptionsIntoFields(outOptions);
    const bool terminal = ::isatty(STDERR_FILENO);
    std::mutex outputLock;
    bool progressShown = false;
    auto endProgressLine = [&] {
        if (progressShown) std::fputc('\n', stderr);
        progressShown = false;
    };
    engine.OnLog = [&](int, engine::TLogLevel level, const std::string& text) {
        if (level < engine::llQuiet || level > engine::llInfo) return;
        std::lock_guard lock(outputLock);
        endProgressLine();
        std::string line = text;
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        std::fprintf(stderr, "%s\n", line.c_str());
    };
    engine.OnProgress = [&](int, int frames, int fps, int duration, float, float bitRate, std::int64_t size,
                            int total) {
        if (!terminal) return;
        std::lock_guard lock(outputLock);
        const int percent = total > 0 ? static_cast<int>(std::int64_t(duration) * 100 / total) : 0;
        std::fprintf(stderr, "\r%s of %s (%3d%%) frame=%d fps=%d size=%.0fkB bitrate=%.1fkbits/s   ",
                     Clock(duration).c_str(), Clock(total).c_str(), percent, frames < 0 ? 0 : frames,
                     fps < 0 ? 0 : fps, static_cast<double>(size) / 1024, bitRate);
        std::fflush(stderr);
        progressShown = true;
    };
    bool finished = false, failed = false;
    std::string message;
    engine.OnTerminate = [&](int index, bool aFinished, bool aException, const std::string& aMessage) {
        if (index < 0) {
            QMetaObject::invokeMethod(&app, [&app] { app.quit(); }, Qt::QueuedConnection);
            return;
        }
        finished = aFinished;
        failed = aException;
        message = aMessage;
    };

    const int task = engine.AddInputFile(input, &inOptions);
    if (task < 0) {
        std::fprintf(stderr, "%s\n", engine.LastErrMsg().c_str());
        return 1;
    }
    if (!engine.SetOutputFile(task, output, &outOptions)) {
        std::fprintf(stderr, "%s\n", engine.LastErrMsg().c_str());
        return 1;
    }

    Interrupted = false;
    struct sigaction action {};
    action.sa_handler = OnSigInt;
    sigemptyset(&action.sa_mask);
    struct sigaction previous {};
    sigaction(SIGINT, &action, &previous);
    QTimer watch;
    bool stopped = false;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (Interrupted && !stopped) {
            stopped = true;
            engine.StopConvert();
        }
    });
    watch.start(100);
    engine.StartConvert(1);
    app.exec();
    watch.stop();
    sigaction(SIGINT, &previous, nullptr);
    {
        std::lock_guard lock(outputLock);
        endProgressLine();
    }
    engine.ClearTasks();

    if (stopped) {
        std::fprintf(stderr, "Stopped; %s keeps what was converted.\n", output.c_str());
        return 130;
    }
    if (finished && !failed) {
        std::printf("%s\n", output.c_str());
        return 0;
    }
    std::fprintf(stderr, "%s\n", message.empty() ? "The conversion did not finish." : message.c_str());
    return 1;
}

}  // namespace kv::cli
