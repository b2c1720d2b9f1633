#include "workflow/FileOutcome.h"

#include "workflow/ZelConvert.h"

namespace kv::workflow {

const char* FileOutcomeText(std::int32_t status)
{
    switch (status) {
    case foSucceeded: return "Success";
    case foFailed: return "Failed";
    case foCancelled: return "Canceled";
    case foSkipped: return "Skipped: exists";
    case foInterrupted: return "Interrupted";
    default: return nullptr;
    }
}

TFileOutcome OutcomeOfEndedTask(bool finished, bool exception)
{
    return finished ? foSucceeded : exception ? foFailed : foCancelled;
}

std::string AddFileRefusalText(int result, const std::string& fileName)
{
    if (result == afAlreadyListed) return TZelConvert::AlreadyListedText(fileName);
    return "Load failed.\"" + fileName + "\" is unsupported.";
}

}  // namespace kv::workflow
