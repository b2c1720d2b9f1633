// The installed application: this build's install rules into a prefix of the test's
// own, its programs run from elsewhere, its settings kept per user, and the Debian
// package made from the same rules.
#include <gtest/gtest.h>

#include <QImage>

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "media/AVProbe.h"
#include "tests/support/RunProgram.h"
#include "tests/support/VideoConvert.h"
#include "workflow/AppPaths.h"
#include "workflow/IniFile.h"

using namespace kv;
using kv::test::RunProgram;
namespace fs = std::filesystem;

namespace {

class Installed : public kv::test::TOutputFolderTest {
protected:
    void SetUp() override
    {
        TOutputFolderTest::SetUp();
        prefix = dir / "prefix";
        app = prefix / "lib/kestravo";
        cli = (prefix / "bin/kestravo-cli").string();
        // The user of these runs has a home and a config folder of their own.
        fs::create_directories(dir / "home");
        fs::create_directories(dir / "work");
        env = {{"HOME", (dir / "home").string()}, {"XDG_CONFIG_HOME", (dir / "config").string()}};
    }

    void Install()
    {
        const auto run = RunProgram(KV_CMAKE_COMMAND, {"--install", KV_BUILD_DIR, "--prefix", prefix.string()});
        ASSERT_EQ(run.Status, 0) << run.Out << run.Err;
    }

    kv::test::TProgramRun Cli(const std::vector<std::string>& args)
    {
        return RunProgram(cli, args, (dir / "work").string(), env);
    }

    std::string UserSettings() const { return (dir / "config/kestravo/kestravo.ini").string(); }

    fs::path prefix, app;
    std::string cli;
    kv::test::TEnvironment env;
};

TEST_F(Installed, RunnableFolderWithLinksAndADesktopEntry)
{
    ASSERT_NO_FATAL_FAILURE(Install());
    for (const std::string p : {"kestravo-cli", "kestravo"}) {
        SCOPED_TRACE(p);
        EXPECT_TRUE(fs::is_regular_file(app / p));
        const fs::path link = prefix / "bin" / p;
        ASSERT_TRUE(fs::is_symlink(link));
        EXPECT_EQ(fs::canonical(link), fs::canonical(app / p));
    }
    for (const char* file : {"kestravo.ini", workflow::InstalledMarkerName}) EXPECT_TRUE(fs::is_regular_file(app / file)) << file;
    for (const char* folder : {"Lib", "KestravoRes"}) EXPECT_TRUE(fs::is_directory(app / folder)) << folder;
    EXPECT_FALSE(fs::exists(app / "output"));

    const fs::path entry = prefix / "share/applications/kestravo.desktop";
    ASSERT_TRUE(fs::is_regular_file(entry));
    ASSERT_TRUE(fs::exists("/usr/bin/desktop-file-validate")) << "desktop-file-utils is missing: tools/install-deps.sh";
    const auto check = RunProgram("/usr/bin/desktop-file-validate", {entry.string()});
    EXPECT_EQ(check.Status, 0);
    EXPECT_EQ(check.Out + check.Err, "");

    // The icon the entry names, in the theme's sizes.
    const fs::path icons = prefix / "share/icons/hicolor";
    std::ifstream svg(icons / "scalable/apps/kestravo.svg");
    const std::string drawing((std::istreambuf_iterator<char>(svg)), std::istreambuf_iterator<char>());
    EXPECT_NE(drawing.find("<svg"), std::string::npos);
    for (int size : {48, 256}) {
        SCOPED_TRACE(size);
        const std::string size_ = std::to_string(size);
        const QImage icon(QString::fromStdString((icons / (size_ + "x" + size_) / "apps/kestravo.png").string()));
        EXPECT_EQ(icon.size(), QSize(size, size));
    }
}

// The desktop application of an installed copy starts with the user's own settings,
// made from the shipped catalogue, and the user's default output folder.
TEST_F(Installed, TheApplicationStartsWithTheUsersSettings)
{
    ASSERT_NO_FATAL_FAILURE(Install());
    fs::create_directories(dir / "runtime");
    fs::permissions(dir / "runtime", fs::perms::owner_all);
    // Its own single-instance lock, and no display but Qt's own.
    env.push_back({"XDG_RUNTIME_DIR", (dir / "runtime").string()});
    env.push_back({"QT_QPA_PLATFORM", "offscreen"});
    const fs::path outputs = dir / "home/Videos/Kestravo";
    const auto run = RunProgram((prefix / "bin/kestravo").string(), {}, (dir / "work").string(), env, [&](int pid) {
        // Ended once its window is up, which has made the output folder by then.
        for (int i = 0; i < 2400 && !fs::is_directory(outputs); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ::kill(pid, SIGTERM);
    });
    // Still running when it was ended: the window was up.
    EXPECT_EQ(run.Status, -1) << run.Out << run.Err;
    ASSERT_TRUE(fs::is_regular_file(UserSettings()));
    const workflow::TIniFile user(UserSettings()), shipped((app / "kestravo.ini").string());
    EXPECT_GT(shipped.ReadInteger("Format", "Count", 0), 0);
    EXPECT_EQ(user.ReadInteger("Format", "Count", 0), shipped.ReadInteger("Format", "Count", 0));
    EXPECT_TRUE(fs::is_directory(outputs));
    EXPECT_FALSE(fs::exists(app / "output"));
}

TEST_F(Installed, ConvertsFromAnotherFolderIntoThatFolder)
{
    ASSERT_NO_FATAL_FAILURE(Install());
    const auto run = Cli({"convert", kv::test::MediaFile("avi_mpeg4_mp2.avi")});
    ASSERT_EQ(run.Status, 0) << run.Out << run.Err;

    // The shipped remembered profile: H.264 and AAC in MP4 at the source's own size.
    const std::string out = (dir / "work/avi_mpeg4_mp2.mp4").string();
    const kv::test::TDecodedVideo video = kv::test::DecodeVideo(out);
    ASSERT_TRUE(video.Ok) << out;
    EXPECT_EQ(video.Codec, AV_CODEC_ID_H264);
    EXPECT_EQ(video.Width, 320);
    EXPECT_EQ(video.Height, 240);
    EXPECT_GT(video.OtherStreamPackets, 0);
    media::TAVProbe probe;
    ASSERT_TRUE(probe.OpenFile(out));
    EXPECT_EQ(probe.VideoStreamCount(), 1);
    EXPECT_EQ(probe.AudioStreamCount(), 1);
    media::TFileStreamInfo info;
    probe.GetFileStreamInfo(info);
    EXPECT_NEAR(info.Duration / 1e6, 2.0, 0.1);

    // An installed copy writes nothing beside itself.
    EXPECT_FALSE(fs::exists(app / "output"));
}

TEST_F(Installed, EachUserKeepsTheirSettingsAndGetsNewProfiles)
{
    ASSERT_NO_FATAL_FAILURE(Install());
    // First start: the user's settings are the shipped ones.
    auto run = Cli({"profiles"});
    ASSERT_EQ(run.Status, 0) << run.Err;
    ASSERT_TRUE(fs::is_regular_file(UserSettings()));
    EXPECT_NE(run.Out.find("\n*24 "), std::string::npos) << run.Out;

    // The user chooses another profile and another frame size of it.
    {
        workflow::TIniFile user(UserSettings());
        user.WriteInteger("Output", "Format", 2);
        user.WriteInteger("Format2", "ResolutionValue", 0);
        user.UpdateFile();
    }
    run = Cli({"profiles"});
    ASSERT_EQ(run.Status, 0) << run.Err;
    EXPECT_NE(run.Out.find("\n*2 "), std::string::npos) << run.Out;

    // An update ships a catalogue with one more profile.
    {
        workflow::TIniFile shipped((app / "kestravo.ini").string());
        const int count = shipped.ReadInteger("Format", "Count", 0);
        const std::string section = "Format" + std::to_string(count);
        shipped.WriteString(section, "Name", "MKV - Added Video(*.mkv)");
        shipped.WriteString(section, "Ext", ".mkv");
        shipped.WriteInteger("Format", "Count", count + 1);
        shipped.UpdateFile();
    }
    run = Cli({"profiles"});
    ASSERT_EQ(run.Status, 0) << run.Err;
    EXPECT_NE(run.Out.find("MKV - Added Video(*.mkv)"), std::string::npos) << run.Out;
    EXPECT_NE(run.Out.find("\n*2 "), std::string::npos) << run.Out;
    const workflow::TIniFile user(UserSettings());
    EXPECT_EQ(user.ReadInteger("Format2", "ResolutionValue", -1), 0);
}

TEST_F(Installed, UnmarkedCopyStaysPortable)
{
    ASSERT_NO_FATAL_FAILURE(Install());
    fs::remove(app / workflow::InstalledMarkerName);
    const auto run = Cli({"profiles"});
    ASSERT_EQ(run.Status, 0) << run.Err;
    EXPECT_NE(run.Out.find("\n*24 "), std::string::npos) << run.Out;
    EXPECT_FALSE(fs::exists(dir / "config"));
}

TEST_F(Installed, DebianPackageHoldsTheCopyAndNamesWhatItLoads)
{
    if (!fs::exists(KV_CPACK_COMMAND)) GTEST_SKIP() << "no cpack";
    ASSERT_TRUE(fs::exists("/usr/bin/dpkg-deb"));
    const fs::path out = dir / "package";
    const auto pack = RunProgram(KV_CPACK_COMMAND, {"--config", std::string(KV_BUILD_DIR) + "/CPackConfig.cmake",
                                                    "-G", "DEB", "-B", out.string()});
    ASSERT_EQ(pack.Status, 0) << pack.Out << pack.Err;
    fs::path deb;
    for (const auto& e : fs::directory_iterator(out))
        if (e.path().extension() == ".deb") deb = e.path();
    ASSERT_FALSE(deb.empty());
    EXPECT_EQ(deb.filename().string().rfind("kestravo_", 0), 0u) << deb;

    // What is loaded at run time, beside what the executables link.
    const auto depends = RunProgram("/usr/bin/dpkg-deb", {"-f", deb.string(), "Depends"});
    ASSERT_EQ(depends.Status, 0);
    for (const char* package : {"libavcodec59", "libavformat59", "libavutil57", "libavfilter8", "libavdevice59",
                                "libswscale6", "libswresample4", "libsdl1.2debian", "libqt6core6", "libc6"})
        EXPECT_NE(depends.Out.find(package), std::string::npos) << package << " in " << depends.Out;

    // Unpacked, it is an installed copy that runs.
    const auto unpack = RunProgram("/usr/bin/dpkg-deb", {"-x", deb.string(), (dir / "root").string()});
    ASSERT_EQ(unpack.Status, 0) << unpack.Err;
    EXPECT_TRUE(fs::is_regular_file(dir / "root/usr/share/applications/kestravo.desktop"));
    cli = (dir / "root/usr/bin/kestravo-cli").string();
    const auto run = Cli({"profiles"});
    EXPECT_EQ(run.Status, 0) << run.Err;
    EXPECT_TRUE(fs::is_regular_file(UserSettings()));
}

}  // namespace
