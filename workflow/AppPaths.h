// Where the application keeps its settings and puts its outputs by default. Every
// front end asks here, so that a copy run from its own folder and an installed copy
// differ in one place only.
//
// A portable copy (a build folder, an unpacked folder) keeps everything beside its
// executable. An installed copy is marked by a file beside its executable; it serves
// many users from a folder none of them owns, so each user gets their own settings
// file in the XDG config folder and default folders in their videos and pictures
// folders. The marker decides, not write permission: root may write anywhere.
#pragma once

#include <string>

namespace kv::workflow {

// The file beside the executable that marks an installed copy.
inline constexpr const char* InstalledMarkerName = "kestravo.installed";

// The settings file and default folders of one copy, for the current user.
struct TAppFolders {
    bool Installed = false;
    std::string SettingsFile;         // read at start, written at exit
    std::string ShippedSettingsFile;  // the catalogue that came with the copy
    std::string OutputFolder;         // used when the settings name none
    std::string SnapshotFolder;       // used when the settings name none
};

// The folders of the copy whose executable lies in `exeFolder` (with its trailing "/").
TAppFolders AppFoldersOf(const std::string& exeFolder);

// The settings file with the profile catalogue and the remembered choices.
std::string SettingsFilePath();
// The settings file shipped beside the executable.
std::string ShippedSettingsFilePath();
// The output folder used when the settings name none.
std::string DefaultOutputFolder();
// The snapshot folder used when the settings name none.
std::string DefaultSnapshotFolder();

}  // namespace kv::workflow
