#include "workflow/UserSettings.h"

#include <unistd.h>

#include <filesystem>
#include <set>
#include <system_error>

#include "workflow/AppPaths.h"
#include "workflow/IniFile.h"
#include "workflow/IniOptions.h"

namespace kv::workflow {

namespace {

namespace fs = std::filesystem;

// Every key of a profile section, catalogue and choices alike.
const char* const ProfileKeys[] = {
    "Name", "Ext", "Category",
    "Resolution", "ResolutionValue", "Framerate", "FramerateValue", "FrameAspectRatio",
    "VideoEncoder", "VideoEncoderValue", "VideoBitRate", "VideoBitRateValue",
    "SampleRate", "SampleRateValue", "AudioBitrate", "AudioBitrateValue",
    "AudioEncoder", "AudioEncoderValue", "Channel", "ChannelValue", "Volume",
};

std::string ProfileSection(int index)
{
    return "Format" + std::to_string(index);
}

// The shipped file, whole, under the user's name: written beside it and renamed, so
// that a second program starting at the same moment never reads half a file.
void CopyShippedFile(const std::string& shippedFile, const std::string& userFile)
{
    const std::string failure = "Unable to write to " + userFile;
    std::error_code ec;
    const fs::path target(userFile);
    if (target.has_parent_path()) fs::create_directories(target.parent_path(), ec);
    if (ec) throw EIniFileException(failure);
    const fs::path temp = target.string() + ".new-" + std::to_string(::getpid());
    fs::copy_file(shippedFile, temp, fs::copy_options::overwrite_existing, ec);
    // The shipped file is read-only for users; their copy is theirs to change.
    if (!ec) fs::permissions(temp, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::add, ec);
    if (!ec) fs::rename(temp, target, ec);
    if (ec) {
        fs::remove(temp, ec);
        throw EIniFileException(failure);
    }
}

// Appends the profiles of `shipped` whose names `user` lacks, each as it is shipped.
void AddNewProfiles(const TIniFile& shipped, TIniFile& user)
{
    // Names as the application sees them, defaults for missing keys included.
    TIniOptions have, offered;
    have.ReadFrom(&user);
    offered.ReadFrom(&shipped);
    std::set<std::string> names;
    for (const TFormatRec& f : have.Formats) names.insert(f.Name);

    int count = have.FormatCount > 0 ? have.FormatCount : 0;
    for (int i = 0; i < offered.FormatCount; ++i) {
        const std::string from = ProfileSection(i);
        if (!shipped.SectionExists(from) || !names.insert(offered.Formats[static_cast<std::size_t>(i)].Name).second)
            continue;
        const std::string to = ProfileSection(count++);
        for (const char* key : ProfileKeys)
            if (shipped.ValueExists(from, key)) user.WriteString(to, key, shipped.ReadString(from, key, {}));
    }
    if (count != have.FormatCount) user.WriteInteger("Format", "Count", count);
}

}  // namespace

void PrepareUserSettingsFile(const std::string& shippedFile, const std::string& userFile)
{
    std::error_code ec;
    if (!fs::is_regular_file(shippedFile, ec)) return;
    if (!fs::exists(userFile, ec)) {
        CopyShippedFile(shippedFile, userFile);
        return;
    }
    const TIniFile shipped(shippedFile);
    TIniFile user(userFile);
    AddNewProfiles(shipped, user);
    user.UpdateFile();
}

void PrepareSettingsFile()
{
    const TAppFolders folders = AppFoldersOf(ExeFolder());
    if (folders.Installed) PrepareUserSettingsFile(folders.ShippedSettingsFile, folders.SettingsFile);
}

}  // namespace kv::workflow
