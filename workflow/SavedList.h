#pragma once
// The file list as it was left: written (in one step) to a small file of its own in
// the settings folder whenever it changes, and read back at the next start with each
// file's trim, aspect and outcome. The journal of outputs being written lives beside
// it; at start-up the outputs a killed run left are removed and their files read
// "Interrupted".
#include <memory>
#include <string>
#include <vector>

#include "workflow/InputFileList.h"
#include "workflow/OutputJournal.h"

namespace kv::workflow {

inline constexpr const char* SavedListName = "kestravo.list";
inline constexpr const char* JournalName = "kestravo.journal";

// The list as the saved file holds it. Files that succeeded keep their outcome and
// output, interrupted ones stay interrupted, every other file is pending.
std::string ListText(const TInputFileList& files);
// Appends the files of `text` to `files`; a source no longer on disk and a line that
// does not read are left out. Returns the number of files restored.
int ReadListText(const std::string& text, TInputFileList& files);
// What a killed run left, into the list: files whose output was removed read
// "Interrupted", files struck off as succeeded read "Success" with their output.
void ApplyRecovery(const TJournalRecovery& recovery, TInputFileList& files);

class TSavedList {
public:
    // The list and the journal in `folder` (the settings folder).
    explicit TSavedList(const std::string& folder);

    // At start-up: restores the saved list into `files`, then recovers the journal into
    // it and writes the list again. Returns the number of files restored.
    int Restore(TInputFileList& files);
    // Writes the list when it differs from what was last written; false with LastError.
    bool Save(const TInputFileList& files);

    const std::string& ListPath() const { return FListPath; }
    // For the controller: every output recorded before it is created.
    std::shared_ptr<TOutputJournal> Journal;
    std::string LastError;
    // What the last Restore found of a killed run (for a word to the user).
    TJournalRecovery Recovered;

private:
    std::string FListPath;
    std::string FWritten;  // the text on disk
};

}  // namespace kv::workflow
