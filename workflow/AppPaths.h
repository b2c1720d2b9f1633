// Where the application keeps its settings and puts its outputs by default. Every
// front end asks here, so that a copy run from its own folder and an installed copy
// differ in one place only.
#pragma once

#include <string>

namespace kv::workflow {

// The settings file with the profile catalogue and the remembered choices.
std::string SettingsFilePath();
// The output folder used when the settings name none.
std::string DefaultOutputFolder();
// The snapshot folder used when the settings name none.
std::string DefaultSnapshotFolder();

}  // namespace kv::workflow
