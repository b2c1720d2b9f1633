// Where a copy keeps its settings and default folders, and the user's own settings
// file of an installed copy: created whole on first start, kept as the user left it,
// and given the profiles a newer shipped catalogue adds.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "workflow/AppPaths.h"
#include "workflow/IniFile.h"
#include "workflow/IniOptions.h"
#include "workflow/UserSettings.h"

using namespace kv::workflow;
namespace fs = std::filesystem;

namespace {

class UserSettings : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string t = (fs::temp_directory_path() / "kv_user_XXXXXX").string();
        root = ::mkdtemp(t.data());
    }
    void TearDown() override { fs::remove_all(root); }

    std::string At(const std::string& name) const { return (root / name).string(); }

    static void Write(const std::string& file, const std::string& text)
    {
        fs::create_directories(fs::path(file).parent_path());
        std::ofstream(file, std::ios::binary) << text;
    }
    static std::string Read(const std::string& file)
    {
        std::ifstream in(file, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }

    fs::path root;
};

const std::string Shipped =
    "; shipped catalogue\n"
    "[Format]\nCount=2\n\n"
    "[Format0]\nName=Alpha\nExt=.mp4\nCategory=1\nResolution=320*240,640*480\nResolutionValue=1\n\n"
    "[Format1]\nName=Beta\nExt=.mp3\nCategory=0\nAudioBitrate=64 kbps,128 kbps\nAudioBitrateValue=1\n\n"
    "[Output]\nFormat=0\n";

TEST_F(UserSettings, InstalledCopyKeepsItsFilesInTheUsersFolders)
{
    // The desktop's own names for the user's folders, as a user may have chosen them.
    const std::string config = At("config"), home = At("home");
    Write(config + "/user-dirs.dirs",
          "XDG_VIDEOS_DIR=\"$HOME/Filme\"\nXDG_PICTURES_DIR=\"" + root.string() + "/Bilder\"\n");
    ::setenv("HOME", home.c_str(), 1);

    struct TCase {
        bool Marked;
        bool UserDirs;  // the config folder names the user's folders
        std::string Settings, Output, Snapshot;
    };
    const std::string exe = At("app") + "/";
    const TCase cases[] = {
        {false, true, exe + "kestravo.ini", exe + "output", exe + "Snapshot"},
        {true, true, config + "/kestravo/kestravo.ini", home + "/Filme/Kestravo", root.string() + "/Bilder/Kestravo"},
        {true, false, At("bare") + "/kestravo/kestravo.ini", home + "/Videos/Kestravo", home + "/Pictures/Kestravo"},
    };
    fs::create_directories(exe);
    for (const TCase& c : cases) {
        SCOPED_TRACE(std::string(c.Marked ? "marked" : "unmarked") + (c.UserDirs ? " with user-dirs" : ""));
        fs::remove(exe + InstalledMarkerName);
        if (c.Marked) Write(exe + InstalledMarkerName, "");
        ::setenv("XDG_CONFIG_HOME", (c.UserDirs ? config : At("bare")).c_str(), 1);
        const TAppFolders f = AppFoldersOf(exe);
        EXPECT_EQ(f.Installed, c.Marked);
        EXPECT_EQ(f.SettingsFile, c.Settings);
        EXPECT_EQ(f.ShippedSettingsFile, exe + "kestravo.ini");
        EXPECT_EQ(f.OutputFolder, c.Output);
        EXPECT_EQ(f.SnapshotFolder, c.Snapshot);
    }
}

TEST_F(UserSettings, FirstStartCopiesTheShippedFileWhole)
{
    Write(At("app/kestravo.ini"), Shipped);
    const std::string user = At("config/kestravo/kestravo.ini");
    PrepareUserSettingsFile(At("app/kestravo.ini"), user);
    EXPECT_EQ(Read(user), Shipped);
    // Nothing else is left beside it.
    EXPECT_EQ(std::distance(fs::directory_iterator(At("config/kestravo")), fs::directory_iterator()), 1);
}

TEST_F(UserSettings, LaterStartsKeepTheUsersFileAsItIs)
{
    Write(At("app/kestravo.ini"), Shipped);
    const std::string user = At("config/kestravo/kestravo.ini");
    PrepareUserSettingsFile(At("app/kestravo.ini"), user);
    TIniFile edited(user);
    edited.WriteInteger("Format0", "ResolutionValue", 0);
    edited.WriteInteger("Output", "Format", 1);
    edited.WriteString("Output", "Folder", "/media/films");
    edited.UpdateFile();
    const std::string before = Read(user);

    PrepareUserSettingsFile(At("app/kestravo.ini"), user);
    EXPECT_EQ(Read(user), before);
}

TEST_F(UserSettings, NewerCatalogueAddsItsNewProfilesAfterTheUsersOnes)
{
    // The user's copy: the old catalogue, its choices changed and one list edited by hand.
    const std::string user = At("config/kestravo/kestravo.ini");
    Write(user,
          "[Format]\nCount=2\n"
          "[Format0]\nName=Alpha\nExt=.mp4\nCategory=1\nResolution=320*240,640*480,1280*720\nResolutionValue=2\n"
          "[Format1]\nName=Beta\nExt=.mp3\nCategory=0\nAudioBitrate=64 kbps,128 kbps\nAudioBitrateValue=0\n"
          "[Output]\nFormat=1\nFolder=/media/films\n");
    // The newer catalogue brings Gamma between the two and Delta at its end.
    Write(At("app/kestravo.ini"),
          "[Format]\nCount=4\n"
          "[Format0]\nName=Alpha\nExt=.mp4\nCategory=1\nResolution=320*240,640*480\nResolutionValue=1\n"
          "[Format1]\nName=Gamma\nExt=.mkv\nCategory=1\nResolution=640*480\nResolutionValue=0\nVolume=300\n"
          "[Format2]\nName=Beta\nExt=.mp3\nCategory=0\nAudioBitrate=64 kbps,128 kbps\nAudioBitrateValue=1\n"
          "[Format3]\nName=Delta\nExt=.ogg\nCategory=0\n"
          "[Output]\nFormat=0\n");

    PrepareUserSettingsFile(At("app/kestravo.ini"), user);
    TIniOptions now;
    now.LoadFromFile(user);
    ASSERT_EQ(now.FormatCount, 4);
    ASSERT_EQ(now.Formats.size(), 4u);
    EXPECT_EQ(now.Formats[0].Name, "Alpha");
    EXPECT_EQ(now.Formats[0].Resolution, "320*240,640*480,1280*720");
    EXPECT_EQ(now.Formats[0].ResolutionValue, 2);
    EXPECT_EQ(now.Formats[1].Name, "Beta");
    EXPECT_EQ(now.Formats[1].AudioBitrateValue, 0);
    // The remembered profile is still the one the user chose.
    EXPECT_EQ(now.OutputFormat, 1);
    EXPECT_EQ(now.OutputFolder, "/media/films");

    TIniOptions shipped;
    shipped.LoadFromFile(At("app/kestravo.ini"));
    EXPECT_EQ(now.Formats[2], shipped.Formats[1]);
    EXPECT_EQ(now.Formats[3], shipped.Formats[3]);

    // Nothing more comes on the next start.
    const std::string merged = Read(user);
    PrepareUserSettingsFile(At("app/kestravo.ini"), user);
    EXPECT_EQ(Read(user), merged);
}

TEST_F(UserSettings, NothingToCopyOrNowhereToWrite)
{
    // No shipped file: the user's file is not made up out of nothing.
    PrepareUserSettingsFile(At("app/kestravo.ini"), At("config/kestravo/kestravo.ini"));
    EXPECT_FALSE(fs::exists(At("config")));

    // The config folder cannot be made: a file stands where it should be.
    Write(At("app/kestravo.ini"), Shipped);
    Write(At("blocked"), "");
    const std::string user = At("blocked/kestravo/kestravo.ini");
    try {
        PrepareUserSettingsFile(At("app/kestravo.ini"), user);
        ADD_FAILURE() << "no error";
    } catch (const EIniFileException& e) {
        EXPECT_EQ(std::string(e.what()), "Unable to write to " + user);
    }
}

}  // namespace
