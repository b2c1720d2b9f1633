#pragma once
// The outcome of a file's last batch, as its record's Status holds it, and the words
// its row shows. Every use of the values outside the batch protocol goes through here.
#include <cstdint>
#include <string>

namespace kv::workflow {

enum : std::int32_t {
    fsPending = 0,      // not converted in the last batch (or not yet)
    fsSucceeded = 1,
    fsFailed = 2,
    fsCancelled = 3,
    fsSkipped = 4,      // its output existed and the user chose to skip such files
    fsInterrupted = 5,  // pending again: the application ended while it converted
};

// "Success", "Failed", "Canceled", "Skipped: exists", "Interrupted"; empty for pending.
inline std::string OutcomeText(std::int32_t status)
{
    switch (status) {
    case fsSucceeded: return "Success";
    case fsFailed: return "Failed";
    case fsCancelled: return "Canceled";
    case fsSkipped: return "Skipped: exists";
    case fsInterrupted: return "Interrupted";
    default: return {};
    }
}

}  // namespace kv::workflow
