#include "workflow/AppPaths.h"

#include <QStandardPaths>
#include <QString>

#include <filesystem>
#include <system_error>

#include "workflow/IniOptions.h"

namespace kv::workflow {

namespace {

// A user folder as the desktop names it (XDG user-dirs), with our own folder inside.
std::string UserFolder(QStandardPaths::StandardLocation location, const char* inside)
{
    return (QStandardPaths::writableLocation(location) + '/' + inside).toStdString();
}

}  // namespace

TAppFolders AppFoldersOf(const std::string& exeFolder)
{
    TAppFolders f;
    std::error_code ec;
    f.Installed = std::filesystem::exists(exeFolder + InstalledMarkerName, ec);
    f.ShippedSettingsFile = exeFolder + "kestravo.ini";
    if (!f.Installed) {
        f.SettingsFile = f.ShippedSettingsFile;
        f.OutputFolder = exeFolder + "output";
        f.SnapshotFolder = exeFolder + "Snapshot";
        return f;
    }
    f.SettingsFile = UserFolder(QStandardPaths::GenericConfigLocation, "kestravo/kestravo.ini");
    f.OutputFolder = UserFolder(QStandardPaths::MoviesLocation, "Kestravo");
    f.SnapshotFolder = UserFolder(QStandardPaths::PicturesLocation, "Kestravo");
    return f;
}

std::string SettingsFilePath() { return AppFoldersOf(ExeFolder()).SettingsFile; }

std::string ShippedSettingsFilePath() { return AppFoldersOf(ExeFolder()).ShippedSettingsFile; }

std::string DefaultOutputFolder() { return AppFoldersOf(ExeFolder()).OutputFolder; }

std::string DefaultSnapshotFolder() { return AppFoldersOf(ExeFolder()).SnapshotFolder; }

}  // namespace kv::workflow
