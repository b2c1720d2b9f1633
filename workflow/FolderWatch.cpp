#include "workflow/FolderWatch.h"

#include <QFileSystemWatcher>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <algorithm>
#include <exception>
#include <filesystem>
#include <set>
#include <system_error>

#include "workflow/BatchObserver.h"
#include "workflow/FileOutcome.h"
#include "workflow/IniOptions.h"
#include "workflow/ZelConvert.h"

namespace kv::workflow {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

std::string Canonical(const std::string& path)
{
    std::error_code ec;
    const fs::path p = fs::weakly_canonical(fs::absolute(path, ec), ec);
    return ec ? path : p.string();
}

bool IsHidden(const fs::path& path)
{
    const std::string name = path.filename().string();
    return !name.empty() && name[0] == '.';
}

// True when `path` is `folder` or lies below it (both canonical).
bool Within(const std::string& path, const std::string& folder)
{
    return path == folder || (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
                              (folder.back() == '/' || path[folder.size()] == '/'));
}

}  // namespace

TFolderWatch::TFolderWatch(const TWatchSettings& settings)
    : FSettings(settings),
      FState(settings.Output),
      FWatcher(new QFileSystemWatcher(this)),
      FRescan(new QTimer(this)),
      FPoll(new QTimer(this)),
      FSoon(new QTimer(this))
{
    FSettings.Folder = Canonical(FSettings.Folder);
    FSoon->setSingleShot(true);
    FPoll->setSingleShot(true);
    // A burst of notices (a folder copied in) makes one look.
    connect(FWatcher, &QFileSystemWatcher::directoryChanged, this, [this] { ScanSoon(); });
    connect(FSoon, &QTimer::timeout, this, [this] { Scan(); });
    connect(FRescan, &QTimer::timeout, this, [this] { Scan(); });
    connect(FPoll, &QTimer::timeout, this, [this] {
        const auto now = Clock::now();
        std::vector<std::string> growing;
        for (const auto& [path, c] : FCandidates) growing.push_back(path);
        for (const std::string& path : growing) Consider(path, now);
        if (!FReady.empty() && !FBatchRunning && !FStopping) StartBatch();
        SchedulePoll();
    });
}

TFolderWatch::~TFolderWatch()
{
    // The observer stops the running file and waits for it; its output goes.
    FObserver.reset();
    if (FConverter) FConverter->ClearTasks();
}

void TFolderWatch::Say(const std::string& line)
{
    if (OnLine) OnLine(line);
}

bool TFolderWatch::Start(std::string& error)
{
    std::error_code ec;
    if (FSettings.Folder.empty() || !fs::is_directory(FSettings.Folder, ec)) {
        error = "The folder \"" + FSettings.Folder + "\" does not exist.";
        return false;
    }
    if (FSettings.Output.empty() || (!fs::is_directory(FSettings.Output, ec) && !fs::create_directories(FSettings.Output, ec))) {
        error = "The output folder \"" + FSettings.Output + "\" cannot be created.";
        return false;
    }
    FOutputCanonical = Canonical(FSettings.Output);
    // Outputs in the watched folder itself would be converted again, without end.
    if (FOutputCanonical == FSettings.Folder) {
        error = "The output folder must not be the watched folder.";
        return false;
    }
    if (FSettings.Profile < 0 || FSettings.Profile >= IniOptions.FormatCount ||
        FSettings.Profile >= static_cast<int>(IniOptions.Formats.size())) {
        error = "No such profile: " + std::to_string(FSettings.Profile);
        return false;
    }
    FConverter = std::make_unique<TZelConvert>();
    if (!FConverter->InitEngine()) {
        error = TZelConvert::InitErrorText() + " " + FConverter->Engine.LastErrMsg();
        return false;
    }
    FConverter->Engine.SetLogLevel(engine::llQuiet);
    FConverter->SetFormatIndex(FSettings.Profile);
    FConverter->Rules = FSettings.Rules;
    FConverter->Journal = std::make_shared<TOutputJournal>((fs::path(FSettings.Output) / WatchJournalName).string());
    // A watch that was killed: what it was writing goes, and those files convert again.
    const TJournalRecovery recovered = FConverter->Journal->Recover();
    for (const TJournalEntry& e : recovered.Interrupted) Say("Interrupted: " + e.Source + " (its unfinished output was removed)");
    for (const std::string& failure : recovered.Failures) Say(failure);
    FState.Load();
    Say("Watching \"" + FSettings.Folder + "\"");
    Scan();
    FFirstScan = false;
    FRescan->start(FSettings.RescanMs);
    return true;
}

void TFolderWatch::Stop()
{
    if (FStopping) return;
    FStopping = true;
    FRescan->stop();
    FPoll->stop();
    FSoon->stop();
    if (FBatchRunning && FObserver) {
        FObserver->CancelBatch([] { return true; });
        return;
    }
    FStopped = true;
    QTimer::singleShot(0, this, [this] {
        if (OnStopped) OnStopped();
    });
}

void TFolderWatch::Abandon()
{
    if (FObserver) FObserver->AbandonBatch();
}

bool TFolderWatch::FolderReadable(std::string& reason) const
{
    std::error_code ec;
    fs::directory_iterator it(FSettings.Folder, ec);
    if (!ec && fs::is_directory(FSettings.Folder, ec)) return true;
    reason = ec ? ec.message() : "not a folder";
    return false;
}

void TFolderWatch::ScanSoon()
{
    if (!FStopping && !FSoon->isActive()) FSoon->start(200);
}

void TFolderWatch::Scan()
{
    if (FStopping) return;
    std::string reason;
    if (!FolderReadable(reason)) {
        if (!FFolderMissing)
            Say("Cannot read the watched folder \"" + FSettings.Folder + "\": " + reason + "; trying again every " +
                std::to_string(FSettings.RetryMs / 1000) + " s");
        FFolderMissing = true;
        FCandidates.clear();
        FRescan->start(FSettings.RetryMs);
        return;
    }
    if (FFolderMissing) {
        Say("Watching \"" + FSettings.Folder + "\" again");
        FFolderMissing = false;
        FRescan->start(FSettings.RescanMs);
    }
    const auto now = Clock::now();
    QStringList folders{QString::fromStdString(FSettings.Folder)};
    std::set<std::string> seen;
    std::error_code ec;
    fs::recursive_directory_iterator it(FSettings.Folder, fs::directory_options::skip_permission_denied, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        const fs::path& path = it->path();
        std::error_code sec;
        const bool isFolder = it->is_directory(sec) && !it->is_symlink(sec);
        if (IsHidden(path) || (isFolder && Within(Canonical(path.string()), FOutputCanonical))) {
            if (isFolder) it.disable_recursion_pending();
            continue;
        }
        if (isFolder) {
            folders << QString::fromStdString(path.string());
            continue;
        }
        if (!it->is_regular_file(sec)) continue;
        seen.insert(path.string());
        Consider(path.string(), now);
    }
    // New folders are watched from now on; the watcher forgets removed ones itself.
    const QStringList watched = FWatcher->directories();
    QStringList added;
    for (const QString& f : folders)
        if (!watched.contains(f)) added << f;
    if (!added.isEmpty()) FWatcher->addPaths(added);
    for (auto c = FCandidates.begin(); c != FCandidates.end();)
        c = seen.count(c->first) ? std::next(c) : FCandidates.erase(c);
    if (!FReady.empty() && !FBatchRunning) StartBatch();
    SchedulePoll();
}

bool TFolderWatch::Ignored(const std::string& path) const
{
    if (IsPartialName(path)) return true;
    if (std::find(FReady.begin(), FReady.end(), path) != FReady.end()) return true;
    if (FBatchRunning)
        for (int i = 0; i < FConverter->Files.Count(); ++i)
            if (FConverter->Files.Items(i).FileName == path) return true;
    return false;
}

void TFolderWatch::Consider(const std::string& path, Clock::time_point now)
{
    if (Ignored(path)) {
        FCandidates.erase(path);
        return;
    }
    const TFileStamp stamp = StampOf(path);
    if (stamp.Size < 0) {
        FCandidates.erase(path);
        return;
    }
    if (FFirstScan && FSettings.NewOnly) {
        FLeftAlone[path] = stamp;
        return;
    }
    const auto left = FLeftAlone.find(path);
    if (left != FLeftAlone.end()) {
        if (left->second == stamp) return;
        FLeftAlone.erase(left);
    }
    if (FState.Settled(path, stamp)) {
        FCandidates.erase(path);
        return;
    }
    const auto c = FCandidates.find(path);
    if (c == FCandidates.end() || !(c->second.Stamp == stamp)) {
        FCandidates[path] = {stamp, now};
        return;
    }
    if (now - c->second.Since < std::chrono::milliseconds(FSettings.StableMs)) return;
    FCandidates.erase(c);
    FReady.push_back(path);
}

void TFolderWatch::SchedulePoll()
{
    // Only while something is still growing: a quiet folder has no timer but the slow one.
    if (!FStopping && !FCandidates.empty() && !FPoll->isActive()) FPoll->start(FSettings.PollMs);
}

void TFolderWatch::StartBatch()
{
    if (FStopping || FBatchRunning) return;
    TZelConvert& c = *FConverter;
    c.ClearFiles();
    FBatchStamps.clear();
    std::vector<std::string> ready;
    ready.swap(FReady);
    for (const std::string& path : ready) {
        const TFileStamp stamp = StampOf(path);
        const int index = c.AddFile(path);
        if (index < 0) {
            const std::string reason = c.LastAddError().empty() ? "not a media file" : c.LastAddError();
            Record(path, stamp, false, reason);
            Say("Failed: " + path + ": " + reason);
            continue;
        }
        c.Files.Items(index).BaseFolder = FSettings.Folder;
        FBatchStamps.push_back(stamp);
    }
    if (c.Files.Count() == 0) return;
    std::string ext;
    try {
        ext = IniOptions.GetFormat(FSettings.Profile).Ext;
        if (!c.PrepareBatch(FSettings.Output)) {
            Say("Cannot create the output folder \"" + FSettings.Output + "\"; trying again later");
            c.ClearTasks();
            c.ClearFiles();
            return;
        }
    } catch (const std::exception& e) {
        Say(std::string("The profile cannot be used: ") + e.what());
        c.ClearFiles();
        Stop();
        return;
    }
    FObserver = std::make_unique<TBatchObserver>(c, this);
    FBatchRunning = true;
    FAnnounced.assign(static_cast<std::size_t>(c.Files.Count()), false);
    FObserver->BeginBatch(c.Files.Count(), ext, std::max(1, FSettings.Jobs), false);
}

bool TFolderWatch::event(QEvent* e)
{
    if (e->type() == WM_BATCH_PROGRESS) {
        const auto& b = static_cast<const TBatchEvent&>(*e);
        if (b.FileIndex >= 0 && b.FileIndex < static_cast<int>(FAnnounced.size()) &&
            !FAnnounced[static_cast<std::size_t>(b.FileIndex)]) {
            FAnnounced[static_cast<std::size_t>(b.FileIndex)] = true;
            Say("Converting: " + FConverter->Files.Items(b.FileIndex).FileName);
        }
        return true;
    }
    if (e->type() == WM_BATCH_DONE) {
        if (FObserver) FObserver->FinishBatch();
        FinishBatch();
        return true;
    }
    return QObject::event(e);
}

void TFolderWatch::FinishBatch()
{
    TZelConvert& c = *FConverter;
    for (int i = 0; i < c.Files.Count(); ++i) {
        const TInputFile& f = c.Files.Items(i);
        const TFileStamp stamp = i < static_cast<int>(FBatchStamps.size()) ? FBatchStamps[static_cast<std::size_t>(i)] : StampOf(f.FileName);
        switch (f.Status) {
        case foSucceeded:
            Record(f.FileName, stamp, true, f.OutputOptions.FileName);
            Say("Converted: " + f.FileName + " -> " + f.OutputOptions.FileName);
            break;
        case foSkipped:
            Record(f.FileName, stamp, true, OutcomeText(f.Status));
            Say("Skipped: exists: " + f.FileName);
            break;
        case foCancelled:
            // Not converted: the next start takes it again.
            Say("Canceled: " + f.FileName);
            break;
        default:
            if (f.Status == foFailed || !f.Reason.empty()) {
                const std::string reason = f.Reason.empty() ? "the conversion failed" : f.Reason;
                Record(f.FileName, stamp, false, reason);
                Say("Failed: " + f.FileName + ": " + reason);
            }
            break;
        }
    }
    FObserver.reset();
    c.ClearFiles();
    FBatchStamps.clear();
    FBatchRunning = false;
    if (FStopping) {
        FStopped = true;
        if (OnStopped) OnStopped();
        return;
    }
    if (!FReady.empty()) StartBatch();
    SchedulePoll();
}

void TFolderWatch::Record(const std::string& source, const TFileStamp& stamp, bool converted, const std::string& note)
{
    std::string reason;
    if (!FState.Put(source, {stamp, converted, note}, reason)) Say("Not remembered: " + reason);
}

}  // namespace kv::workflow
