#include "workflow/AppPaths.h"

#include "workflow/IniOptions.h"

namespace kv::workflow {

// A portable copy keeps everything beside its executable.
std::string SettingsFilePath() { return ExeFolder() + "kestravo.ini"; }

std::string DefaultOutputFolder() { return ExeFolder() + "output"; }

std::string DefaultSnapshotFolder() { return ExeFolder() + "Snapshot"; }

}  // namespace kv::workflow
