#pragma once
// What became of a listed file, and what became of adding one: the values the records
// and AddFile carry, with the words the windows and the command line show for them.
#include <cstdint>
#include <string>

namespace kv::workflow {

// TInputFile::Status.
enum TFileOutcome : std::int32_t {
    foNotConverted = 0,  // not converted in the last batch (or not yet)
    foSucceeded = 1,
    foFailed = 2,
    foCancelled = 3,
    foSkipped = 4,      // its output existed and the user chose to skip such files
    foInterrupted = 5,  // pending again: the application ended while it converted
};

// "Success", "Failed", "Canceled", "Skipped: exists", "Interrupted"; null for a file not
// converted (its cell stays as it is).
const char* FileOutcomeText(std::int32_t status);

// The same words as a string; empty for a file not converted.
inline std::string OutcomeText(std::int32_t status)
{
    const char* text = FileOutcomeText(status);
    return text ? text : std::string();
}

// The outcome of a task that ended: finished, else raised an error, else stopped.
TFileOutcome OutcomeOfEndedTask(bool finished, bool exception);

// AddFile's refusals; an admitted file gets its index (0 or more).
enum TAddFileResult : int { afAlreadyListed = -1, afUnsupported = -2 };

// What the user is told of a file AddFile refused with `result`.
std::string AddFileRefusalText(int result, const std::string& fileName);

}  // namespace kv::workflow
