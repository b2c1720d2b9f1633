#pragma once
// The record of outputs being written, kept on disk so that a run that was killed (or
// lost its power) leaves nothing half-written behind: each output is recorded before
// it is created and struck off once it is complete or removed. At the next start the
// outputs still recorded are removed and their files are converted again.
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace kv::workflow {

struct TJournalEntry {
    std::string Output;  // the name the engine writes
    std::string Source;
};

// What a killed run left, as the journal tells it.
struct TJournalRecovery {
    std::vector<TJournalEntry> Interrupted;  // outputs removed; their sources are to convert again
    std::vector<TJournalEntry> Completed;    // struck off as succeeded: Output is the final name
    std::vector<std::string> Failures;       // outputs that could not be removed, with the reason
};

class TOutputJournal {
public:
    explicit TOutputJournal(std::string path) : FPath(std::move(path)) {}
    TOutputJournal(const TOutputJournal&) = delete;
    TOutputJournal& operator=(const TOutputJournal&) = delete;

    const std::string& Path() const { return FPath; }

    // Records outputs about to be created, in one write that is on disk when this
    // returns; false (with LastError) when it could not be written.
    bool Record(const std::vector<TJournalEntry>& entries);
    // Strikes an output off; `final` names what a success left (after a replace, not
    // the written name). Safe from any thread.
    bool StrikeOff(const std::string& output, bool succeeded, const std::string& final);
    // Removes the file once every output recorded has been struck off.
    void CloseIfDone();
    // For the next start: removes the outputs still recorded, then the journal itself.
    TJournalRecovery Recover();

    std::string LastError() const;
    int OpenCount() const;

private:
    bool Append(const std::string& text);

    const std::string FPath;
    mutable std::mutex FLock;
    int FOpen = 0;
    std::string FLastError;
};

}  // namespace kv::workflow
