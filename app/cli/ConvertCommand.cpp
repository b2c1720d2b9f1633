// kestravo-cli convert: one batch of the main window's Convert, shown on a terminal.
// The files are admitted and prepared by the controller, the batch protocol records
// the outcomes, and this file only presents them. Ctrl-C or SIGTERM cancels like the
// progress dialog's Cancel (a second one ends at once, removing the outputs begun).
// The settings file is read, never written; outputs go into the current directory
// unless --output names a folder.
#include <unistd.h>

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "app/cli/Commands.h"
#include "engine/TextFormat.h"
#include "workflow/AppPaths.h"
#include "workflow/BatchObserver.h"
#include "workflow/FileOutcome.h"
#include "workflow/FolderFiles.h"
#include "workflow/IniOptions.h"
#include "workflow/ZelConvert.h"

namespace kv::cli {

namespace {

using namespace kv::workflow;
using kv::engine::Format;

const char* const ConvertUsage =
    "usage: kestravo-cli convert [--profile INDEX|NAME] [--output DIR] [--start SECONDS] [--duration SECONDS]\n"
    "                            [--aspect 4:3|16:9|37:20|47:20] [--jobs N] [--keep-folders]\n"
    "                            [--if-exists number|skip|replace] FILE|FOLDER...\n";

// The first SIGINT or SIGTERM, and how many arrived.
std::atomic<int> InterruptSignal{0};
std::atomic<int> InterruptCount{0};

extern "C" void OnInterrupt(int signal)
{
    int none = 0;
    InterruptSignal.compare_exchange_strong(none, signal);
    // After the second, a third ends the process the ordinary way.
    if (InterruptCount.fetch_add(1) >= 1) {
        std::signal(SIGINT, SIG_DFL);
        std::signal(SIGTERM, SIG_DFL);
    }
}

void CatchInterrupts(void (*handler)(int))
{
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

struct TArguments {
    std::string Profile;
    std::string Output;
    double Start = -1;
    double Duration = -1;
    int Aspect = 0;
    int Jobs = 0;  // 0: the remembered setting
    TOutputRules Rules;
    std::vector<std::string> Files;
};

bool ParseSeconds(const std::string& text, double& value)
{
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return !text.empty() && end && *end == '\0' && std::isfinite(value) && value >= 0 && value < 2e6;
}

// False (with a message) for arguments that do not read.
bool Parse(const std::vector<std::string>& args, TArguments& a)
{
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= args.size()) {
                std::fprintf(stderr, "kestravo-cli convert: %s needs a value\n", arg.c_str());
                return false;
            }
            out = args[++i];
            return true;
        };
        std::string v;
        if (arg == "--") {
            a.Files.insert(a.Files.end(), args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
            break;
        } else if (arg == "--profile") {
            if (!value(a.Profile)) return false;
        } else if (arg == "--output") {
            if (!value(a.Output)) return false;
        } else if (arg == "--start" || arg == "--duration") {
            if (!value(v)) return false;
            if (!ParseSeconds(v, arg == "--start" ? a.Start : a.Duration)) {
                std::fprintf(stderr, "kestravo-cli convert: %s: not a number of seconds: %s\n", arg.c_str(), v.c_str());
                return false;
            }
        } else if (arg == "--aspect") {
            if (!value(v)) return false;
            const char* aspects[] = {"4:3", "16:9", "37:20", "47:20"};
            a.Aspect = 0;
            for (int k = 0; k < 4; ++k)
                if (v == aspects[k]) a.Aspect = k + 1;
            if (a.Aspect == 0) {
                std::fprintf(stderr, "kestravo-cli convert: --aspect: one of 4:3, 16:9, 37:20, 47:20\n");
                return false;
            }
        } else if (arg == "--keep-folders") {
            a.Rules.KeepFolders = true;
        } else if (arg == "--if-exists") {
            if (!value(v)) return false;
            if (!ParseIfExists(v, a.Rules.IfExists)) {
                std::fprintf(stderr, "kestravo-cli convert: --if-exists: one of number, skip, replace\n");
                return false;
            }
        } else if (arg == "--jobs") {
            if (!value(v)) return false;
            char* end = nullptr;
            const long n = std::strtol(v.c_str(), &end, 10);
            if (v.empty() || *end != '\0' || n < 1 || n > 64) {
                std::fprintf(stderr, "kestravo-cli convert: --jobs: a number from 1 to 64\n");
                return false;
            }
            a.Jobs = static_cast<int>(n);
        } else if (arg.size() > 1 && arg[0] == '-') {
            std::fprintf(stderr, "kestravo-cli convert: unknown option: %s\n", arg.c_str());
            std::fputs(ConvertUsage, stderr);
            return false;
        } else {
            a.Files.push_back(arg);
        }
    }
    if (a.Files.empty()) {
        std::fputs(ConvertUsage, stderr);
        return false;
    }
    return true;
}

std::string Lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

// The profile named by --profile (an index or a name, any case), else the remembered one.
int FindProfile(const std::string& wanted)
{
    const TIniOptions& ini = IniOptions;
    if (wanted.empty()) return ini.OutputFormat;
    char* end = nullptr;
    const long index = std::strtol(wanted.c_str(), &end, 10);
    if (*end == '\0') return static_cast<int>(index);
    for (int i = 0; i < ini.FormatCount && i < static_cast<int>(ini.Formats.size()); ++i)
        if (Lower(ini.Formats[static_cast<std::size_t>(i)].Name) == Lower(wanted)) return i;
    return -1;
}

std::string FileNamePart(const std::string& path)
{
    return std::filesystem::path(path).filename().string();
}

std::string Bar(int percent)
{
    const int width = 30;
    const int filled = std::clamp(percent, 0, 100) * width / 100;
    return "[" + std::string(static_cast<std::size_t>(filled), '#') + std::string(static_cast<std::size_t>(width - filled), ' ') +
           "]";
}

// The progress dialog's information as terminal lines.
class TConsolePresenter : public QObject {
public:
    TConsolePresenter(TZelConvert& converter) : FConverter(converter), FTty(::isatty(STDOUT_FILENO) != 0) {}
    TBatchObserver* Observer = nullptr;

    bool event(QEvent* e) override
    {
        if (e->type() == WM_BATCH_PROGRESS) {
            Show(static_cast<const TBatchEvent&>(*e));
            return true;
        }
        if (e->type() == WM_BATCH_DONE) {
            if (FTty && FDrawnLines > 0) std::printf("\n");
            std::printf("%s\n", Observer->Cancelled ? "The conversion was cancelled." : "Conversion completed.");
            std::fflush(stdout);
            Observer->FinishBatch();
            QCoreApplication::quit();
            return true;
        }
        return QObject::event(e);
    }

private:
    std::string OutputOf(int fileIndex) const
    {
        if (fileIndex < 0 || fileIndex >= FConverter.Files.Count()) return {};
        return FConverter.Files.Items(fileIndex).OutputOptions.FileName;
    }

    void Show(const TBatchEvent& e)
    {
        const TBatchProgress p = Observer->Progress(e);
        if (p.FilePercent >= 0) FFilePercent = p.FilePercent;
        if (p.BatchPercent >= 0) FBatchPercent = p.BatchPercent;
        const std::string output = OutputOf(e.FileIndex);
        if (!FTty) {
            // A log or a pipe gets one line per file, when it starts (with several at
            // once the reports of running files take turns).
            if (e.TaskIndex >= static_cast<int>(FAnnounced.size())) FAnnounced.resize(static_cast<std::size_t>(e.TaskIndex) + 1);
            if (!FAnnounced[static_cast<std::size_t>(e.TaskIndex)])
                std::printf("Current: %d / Total: %d %s\n", p.Position, p.Total, output.c_str());
            FAnnounced[static_cast<std::size_t>(e.TaskIndex)] = true;
            std::fflush(stdout);
            return;
        }
        const TBatchSnapshot batch = Observer->Snapshot();
        std::vector<std::string> lines;
        lines.push_back(Format("Current: %d / Total: %d", p.Position, p.Total));
        if (batch.Running.size() > 1) {
            for (const TRunningFile& r : batch.Running)
                lines.push_back(Format("File  %s %3d%%  %s", Bar(r.Percent).c_str(), r.Percent, OutputOf(r.FileIndex).c_str()));
        } else {
            lines.push_back(output);
            lines.push_back(Format("File  %s %3d%%", Bar(FFilePercent).c_str(), FFilePercent));
        }
        lines.push_back(Format("Batch %s %3d%%", Bar(FBatchPercent).c_str(), FBatchPercent));
        lines.push_back(Format("Converted Length of Current file: %s / %s", TimeText(p.ConvertedSec).c_str(),
                               TimeText(p.TotalSec).c_str()));
        lines.push_back(batch.SpeedText());
        // Back to the first line of the last drawing, which is cleared to the end.
        if (FDrawnLines > 1) std::printf("\033[%dF", FDrawnLines - 1);
        std::printf("\r\033[J");
        for (std::size_t i = 0; i < lines.size(); ++i) std::printf(i ? "\n%s" : "%s", lines[i].c_str());
        std::fflush(stdout);
        FDrawnLines = static_cast<int>(lines.size());
    }

    TZelConvert& FConverter;
    bool FTty;
    int FDrawnLines = 0;
    std::vector<bool> FAnnounced;  // by task: its line is out
    int FFilePercent = 0;
    int FBatchPercent = 0;
};

// A file named on the command line: its list entry, or why it was not listed.
struct TGivenFile {
    std::string Path;
    int Index = -1;
    std::string Reason;
};

// One row per given file, in the order given; the reason of a file that did not
// convert on the line below its row.
void PrintTable(const TZelConvert& converter, const std::vector<TGivenFile>& given)
{
    std::printf("%-32s %-5s %-9s %-9s %-9s %s\n", "Source", "Type", "Original", "Trimmed", "Status",
                "Destination File");
    for (const TGivenFile& g : given) {
        std::string reason = g.Reason;
        if (g.Index < 0) {
            std::printf("%-32s %-5s %-9s %-9s %-9s\n", FileNamePart(g.Path).c_str(), ExtNoDot(g.Path).c_str(), "-",
                        "-", "-");
        } else {
            const TInputFile& f = converter.Files.Items(g.Index);
            const char* outcome = workflow::FileOutcomeText(f.Status);
            const char* status = outcome ? outcome : "-";
            std::printf("%-32s %-5s %-9s %-9s %-9s %s\n", FileNamePart(f.FileName).c_str(), f.FileExt.c_str(),
                        TimeText(f.DurationSec).c_str(), TimeText(static_cast<int>(f.TrimLength / 1000)).c_str(),
                        status, f.Status == workflow::foSucceeded ? FileNamePart(f.OutputOptions.FileName).c_str() : "");
            reason = f.Reason;
        }
        if (!reason.empty()) std::printf("    %s\n", reason.c_str());
    }
}

}  // namespace

int FindProfileIndex(const std::string& wanted)
{
    const int index = FindProfile(wanted);
    const bool exists = index >= 0 && index < IniOptions.FormatCount && index < static_cast<int>(IniOptions.Formats.size());
    return exists ? index : -1;
}

int ConvertCommand(const std::vector<std::string>& args)
{
    TArguments a;
    if (!Parse(args, a)) return 2;
    int argc = 1;
    char name[] = "kestravo-cli";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);

    if (!LoadSettings()) return 1;
    const int profile = FindProfile(a.Profile);
    if (profile < 0 || profile >= IniOptions.FormatCount || profile >= static_cast<int>(IniOptions.Formats.size())) {
        std::fprintf(stderr, "kestravo-cli convert: no such profile: %s (see kestravo-cli profiles)\n",
                     a.Profile.empty() ? std::to_string(profile).c_str() : a.Profile.c_str());
        return 1;
    }
    const TFormatRec format = IniOptions.GetFormat(profile);

    // Like any command-line tool, it writes where it is run unless told otherwise.
    std::error_code ec;
    const std::string folder = !a.Output.empty() ? a.Output : std::filesystem::current_path(ec).string();
    if (!std::filesystem::is_directory(folder, ec) && !std::filesystem::create_directory(folder, ec)) {
        std::fprintf(stderr, "The output folder does not exist, please select another output folder.\n");
        return 1;
    }

    TZelConvert converter;
    if (!converter.InitEngine()) {
        std::fprintf(stderr, "%s\n%s\n", TZelConvert::InitErrorText().c_str(), converter.Engine.LastErrMsg().c_str());
        return 1;
    }
    // The libraries' own chatter is the engine's log, which nobody here reads.
    converter.Engine.SetLogLevel(engine::llQuiet);

    std::vector<TGivenFile> given;
    auto applyTrim = [&](TInputFile& f) {
        const std::int64_t whole = f.TrimLength;
        std::int64_t start = 0;
        if (a.Start >= 0) {
            start = static_cast<std::int64_t>(std::llround(a.Start * 1000));
            f.TrimStart = start;
        }
        f.TrimLength = std::max<std::int64_t>(0, whole - start);
        if (a.Duration >= 0) f.TrimLength = std::min(f.TrimLength, static_cast<std::int64_t>(std::llround(a.Duration * 1000)));
        f.AspectIndex = a.Aspect;
    };
    for (const std::string& file : a.Files) {
        if (std::filesystem::is_directory(file, ec)) {
            // A folder's media files, with their place in its tree; the rest is no media.
            int loaded = 0, failed = 0;
            for (const std::string& member : ListFolderFiles(file)) {
                const int index = converter.AddFile(member);
                if (index < 0) {
                    ++failed;
                    continue;
                }
                ++loaded;
                converter.Files.Items(index).BaseFolder = file;
                applyTrim(converter.Files.Items(index));
                given.push_back({member, index, {}});
            }
            std::fprintf(stderr, "%s: %d file(s) loaded, %d file(s) failed.\n", file.c_str(), loaded, failed);
            continue;
        }
        const int index = converter.AddFile(file);
        given.push_back({file, index < 0 ? -1 : index, converter.LastAddError()});
        if (index == -1) {
            std::fprintf(stderr, "%s\n", TZelConvert::AlreadyListedText(file).c_str());
            continue;
        }
        if (index < 0) {
            std::fprintf(stderr, "\"%s\" was not added: %s\n", file.c_str(), converter.LastAddError().c_str());
            continue;
        }
        applyTrim(converter.Files.Items(index));
    }
    if (converter.Files.Count() == 0) {
        PrintTable(converter, given);
        return 1;
    }

    converter.SetFormatIndex(profile);
    converter.Rules = a.Rules;
    try {
        // A file the engine refuses (a start past its end, say) gets no task; the reason
        // is told here at once, and again under its row.
        if (!converter.PrepareBatch(folder)) {
            std::fprintf(stderr, "The output folder does not exist, please select another output folder.\n");
            return 1;
        }
        for (int i = 0; i < converter.Files.Count(); ++i) {
            const TInputFile& f = converter.Files.Items(i);
            if (!f.Reason.empty()) std::fprintf(stderr, "%s: %s\n", FileNamePart(f.FileName).c_str(), f.Reason.c_str());
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kestravo-cli convert: profile %d: %s\n", profile, e.what());
        return 1;
    }

    TConsolePresenter presenter(converter);
    TBatchObserver observer(converter, &presenter);
    presenter.Observer = &observer;

    CatchInterrupts(OnInterrupt);
    QTimer interruptWatch;
    bool cancelled = false;
    QObject::connect(&interruptWatch, &QTimer::timeout, [&] {
        const int count = InterruptCount;
        if (count >= 2) {
            // No waiting for the running files: what they began goes, and so does the process.
            observer.AbandonBatch();
            std::fflush(stdout);
            std::_Exit(128 + InterruptSignal);
        }
        if (count == 1 && !cancelled) {
            cancelled = true;
            observer.CancelBatch([] { return true; });
        }
    });
    interruptWatch.start(100);

    observer.BeginBatch(converter.Files.Count(), format.Ext, a.Jobs > 0 ? a.Jobs : IniOptions.Jobs, false);
    app.exec();
    interruptWatch.stop();
    CatchInterrupts(SIG_DFL);

    PrintTable(converter, given);
    if (InterruptSignal) return 128 + InterruptSignal;
    // A file that never made it into the list did not convert either.
    // A file skipped because its output exists is as the user asked.
    for (const TGivenFile& g : given)
        if (g.Index < 0 || (converter.Files.Items(g.Index).Status != foSucceeded &&
                            converter.Files.Items(g.Index).Status != foSkipped))
            return 1;
    return 0;
}

}  // namespace kv::cli
