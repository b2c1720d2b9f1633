#pragma once
// The listed source files, one record each, in the order of the main window's rows
// (which is also the order in which a batch converts them).
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/FFmpegRecords.h"
#include "platform/FileIdentity.h"
#include "workflow/FileOutcome.h"

namespace kv::workflow {

struct TInputFile {
    std::string FileName;          // full source path
    std::string FileExt;           // extension without its dot, spelled as in the path
    std::int32_t FileSize = 0;     // bytes (lower 32 bits)
    std::int32_t DurationSec = 0;  // whole seconds
    std::int64_t TrimStart = -1;   // ms; -1 = from the beginning
    std::int64_t TrimLength = 0;   // ms
    std::int32_t AspectIndex = 0;  // 0 keep, 1 "4:3", 2 "16:9", 3 "37:20", 4 "47:20"
    std::int32_t SoundTrack = -1;    // the sound track an output of one track takes; -1 the file's default
    std::int32_t BurntSubtitle = -1; // the subtitle track drawn into the picture; -1 none
    engine::TInputOptions InputOptions;    // what the last batch handed the engine
    engine::TOutputOptions OutputOptions;
    std::int32_t Status = foNotConverted;   // a TFileOutcome
    platform::TFileIdentity Identity;  // the file on disk, whatever path reached it
    std::string Reason;            // why the last batch failed it or gave it no task; else empty
    bool HasPicture = false;       // a picture stream besides cover art: a video, not a sound
    std::string BaseFolder;        // the folder it was added with (its tree is mirrored); empty when added alone
    std::string ReplaceTarget;     // the existing output a completed conversion replaces; else empty
};

// Owns its records: a record leaves memory when it leaves the list. Indexes outside
// 0..Count()-1 throw EListError and leave the list unchanged.
class TInputFileList {
public:
    TInputFileList() = default;
    TInputFileList(const TInputFileList&) = delete;
    TInputFileList& operator=(const TInputFileList&) = delete;
    ~TInputFileList();

    // Appends the record and returns its index.
    int Add(std::unique_ptr<TInputFile> file);
    TInputFile& Items(int index);
    const TInputFile& Items(int index) const;
    int Count() const { return static_cast<int>(FItems.size()); }
    void Exchange(int index1, int index2);
    void Delete(int index);
    void Clear();
    // Index of the entry that is the file `path` leads to, through a link or another
    // spelling of its path too; -1 when no entry is.
    int IndexOfSameFile(const std::string& path) const;

private:
    void Check(int index) const;
    std::vector<std::unique_ptr<TInputFile>> FItems;
};

}  // namespace kv::workflow
