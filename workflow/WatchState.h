#pragma once
// What a watch folder has done, kept in its output folder so that a restart does not
// convert a file again: each source with the size and time it had when it was
// converted (or failed, with the reason). A file that changes since is new again.
#include <cstdint>
#include <map>
#include <string>

namespace kv::workflow {

inline constexpr const char* WatchStateName = ".kestravo-watch";
inline constexpr const char* WatchJournalName = ".kestravo-watch.journal";

// A file as it stands on disk: what tells that it changed.
struct TFileStamp {
    std::int64_t Size = -1;
    std::int64_t ModifiedNs = 0;
    bool operator==(const TFileStamp&) const = default;
};

// The stamp of `path`; Size -1 when it is no plain file that can be looked at.
TFileStamp StampOf(const std::string& path);

struct TWatchRecord {
    TFileStamp Stamp;
    bool Converted = false;  // else it failed
    std::string Note;        // the output, or why it failed
};

class TWatchState {
public:
    // The state file in `outputFolder`.
    explicit TWatchState(const std::string& outputFolder);

    // Reads the file (nothing when there is none); lines that do not read are left out.
    void Load();
    // Records the file's outcome and writes the state in one step; false with the reason.
    bool Put(const std::string& source, const TWatchRecord& record, std::string& reason);
    // True when the file, as it is stamped now, was converted or failed before.
    bool Settled(const std::string& source, const TFileStamp& stamp) const;
    const std::map<std::string, TWatchRecord>& Records() const { return FRecords; }
    const std::string& Path() const { return FPath; }

private:
    std::string FPath;
    std::map<std::string, TWatchRecord> FRecords;
};

}  // namespace kv::workflow
