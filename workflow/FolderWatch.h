#pragma once
// A watch folder: every media file that appears in a folder tree is converted with
// one profile into an output folder, once its size has stood still for a while and
// it opens as media. What was converted (or failed) is remembered in the output
// folder, so a restart converts nothing twice and a failed file is tried again only
// when it changes. Changes are noticed through the system's file notices; a slow
// timer looks again in case one was missed, and a short one only while files are
// still growing, so that a quiet folder costs next to nothing.
#include <QObject>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "workflow/OutputPlan.h"
#include "workflow/WatchState.h"

class QFileSystemWatcher;
class QTimer;

namespace kv::workflow {

class TBatchObserver;
class TZelConvert;

struct TWatchSettings {
    std::string Folder;
    std::string Output;
    int Profile = 0;  // index into the catalogue of IniOptions
    TOutputRules Rules;
    int Jobs = 1;
    bool NewOnly = false;    // files already there at start are left alone
    int StableMs = 3000;     // a file whose size stood still this long is complete
    int PollMs = 1000;       // how often growing files are looked at
    int RescanMs = 30000;    // the look in case a notice was missed
    int RetryMs = 5000;      // the look for a folder that is missing or cannot be read
};

class TFolderWatch : public QObject {
public:
    explicit TFolderWatch(const TWatchSettings& settings);
    // Cancels a running file (its output goes) and waits for it.
    ~TFolderWatch() override;
    TFolderWatch(const TFolderWatch&) = delete;
    TFolderWatch& operator=(const TFolderWatch&) = delete;

    // Loads the engine, cleans up what a killed watch left, reads the state and takes a
    // first look. False with the reason when it cannot watch at all.
    bool Start(std::string& error);
    // Ends the watch: a running file is cancelled (nothing of it is left); OnStopped
    // follows once nothing runs any more.
    void Stop();
    // For an end that cannot wait: removes what the running files have written so far.
    void Abandon();
    bool Converting() const { return FBatchRunning; }
    bool Stopped() const { return FStopped; }

    // One line per event: a file converting, its outcome, a folder gone or back.
    std::function<void(const std::string&)> OnLine;
    std::function<void()> OnStopped;

    const TWatchState& State() const { return FState; }

protected:
    bool event(QEvent* e) override;

private:
    struct TCandidate {
        TFileStamp Stamp;
        std::chrono::steady_clock::time_point Since;
    };

    void Say(const std::string& line);
    void Scan();
    void ScanSoon();
    bool FolderReadable(std::string& reason) const;
    void Consider(const std::string& path, std::chrono::steady_clock::time_point now);
    bool Ignored(const std::string& path) const;
    void StartBatch();
    void FinishBatch();
    void Record(const std::string& source, const TFileStamp& stamp, bool converted, const std::string& note);
    void SchedulePoll();

    TWatchSettings FSettings;
    std::string FOutputCanonical;
    std::unique_ptr<TZelConvert> FConverter;
    std::unique_ptr<TBatchObserver> FObserver;
    TWatchState FState;
    QFileSystemWatcher* FWatcher;
    QTimer* FRescan;
    QTimer* FPoll;
    QTimer* FSoon;
    std::map<std::string, TCandidate> FCandidates;
    std::map<std::string, TFileStamp> FLeftAlone;  // --new-only: as they were at start
    std::vector<std::string> FReady;
    std::vector<TFileStamp> FBatchStamps;           // by list entry of the running batch
    std::vector<bool> FAnnounced;                   // by task
    bool FBatchRunning = false;
    bool FStopping = false;
    bool FStopped = false;
    bool FFolderMissing = false;
    bool FFirstScan = true;
};

}  // namespace kv::workflow
