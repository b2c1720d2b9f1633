// The loader keeps process-wide state; every test here leaves the engine's set
// loaded from the system again, so the order of the tests does not matter.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "media/AVCodecStubs.h"
#include "media/AVProbe.h"
#include "media/AVUtilStubs.h"
#include "media/FFmpegLoader.h"
#include "media/MyUtilStubs.h"
#include "platform/DynamicLibrary.h"

using namespace kv::media;

namespace {

const std::string FixtureDir = KV_TEST_FIXTURE_DIR;
constexpr TLibraryTypes AllLibraries{libAVCodec, libAVDevice, libAVFilter, libAVFormat,
                                     libAVUtil,  libSwScale,  libSwResample, libMyUtil};

std::string CurrentDirectory()
{
    std::vector<char> buf(4096);
    return ::getcwd(buf.data(), buf.size()) ? buf.data() : "";
}

class LoaderTest : public ::testing::Test {
protected:
    // The tests unload and reload the system's libraries. Pinned in memory, they
    // keep their internal allocations reachable instead of unmapping them.
    static void SetUpTestSuite()
    {
        for (int i = 0; i < LibraryTypeCount; ++i) {
            const std::string name = FFLoader.GetLibraryFileName(static_cast<TLibraryType>(i));
            ASSERT_NE(dlopen(name.c_str(), RTLD_NOW | RTLD_NODELETE), nullptr) << dlerror();
        }
    }

    void TearDown() override
    {
        FFLoader.SetLibraryPath("");
        ASSERT_TRUE(FFLoader.LoadLibs(EngineLibraries)) << FFLoader.LastErrMsg();
    }
};

TEST_F(LoaderTest, MissingFolderFallsBackToSystemLibrariesAndSecondLoadDoesNothing)
{
    FFLoader.UnloadLibs(AllLibraries);
    FFLoader.SetLibraryPath("/nonexistent/kestravo/Lib");
    ASSERT_TRUE(FFLoader.LoadLibs(EngineLibraries)) << FFLoader.LastErrMsg();
    EXPECT_TRUE(FFLoader.LibsLoaded(EngineLibraries));
    EXPECT_FALSE(FFLoader.LibLoaded(libAVDevice));
    EXPECT_NE(av::av_log, nullptr);
    EXPECT_NE(av::avcodec_open2, nullptr);

    // Loaded libraries are passed over: pointing at a folder whose avutil is
    // incomplete must not matter any more.
    const auto bound = av::av_log;
    FFLoader.SetLibraryPath(FixtureDir + "/partial");
    EXPECT_TRUE(FFLoader.LoadLibs(EngineLibraries)) << FFLoader.LastErrMsg();
    EXPECT_EQ(av::av_log, bound);
}

TEST_F(LoaderTest, MissingEntryPointNamesItAndLeavesWholeSetUnloaded)
{
    FFLoader.UnloadLibs(AllLibraries);
    FFLoader.SetLibraryPath(FixtureDir + "/partial");
    const std::string cwd = CurrentDirectory();

    const TLibraryTypes set{libAVCodec, libAVUtil};
    EXPECT_FALSE(FFLoader.LoadLibs(set));

    // The fake exports the first three names of the list; the fourth is reported.
    const std::vector<std::string> names = {
#define KV_NAME(n) #n,
        KV_AVUTIL_ENTRIES(KV_NAME)
#undef KV_NAME
    };
    ASSERT_GT(names.size(), 3u);
    const std::string expected = "Load function " + names[3] + "@" + FFLoader.GetLibraryFileName(libAVUtil) + " error: ";
    EXPECT_EQ(FFLoader.LastErrMsg().rfind(expected, 0), 0u) << FFLoader.LastErrMsg();
    EXPECT_NE(FFLoader.LastErrMsg().size(), expected.size()) << "the system's error text is missing";

    EXPECT_FALSE(FFLoader.LibLoaded(libAVCodec)) << "loaded before the failure, must be unloaded with the set";
    EXPECT_FALSE(FFLoader.LibLoaded(libAVUtil));
    EXPECT_EQ(av::av_audio_fifo_alloc, nullptr) << "names bound before the missing one must be unbound";
    EXPECT_EQ(av::avcodec_open2, nullptr);
    EXPECT_EQ(CurrentDirectory(), cwd);
}

TEST_F(LoaderTest, UnloadableFileNamesFolderAndFileAndKeepsLastErrorAfterSuccess)
{
    FFLoader.UnloadLibs(AllLibraries);
    const std::string folder = FixtureDir + "/broken";
    FFLoader.SetLibraryPath(folder);
    const std::string cwd = CurrentDirectory();
    EXPECT_FALSE(FFLoader.LoadLib(libSwScale));
    const std::string expected = "Load library " + folder + "/" + FFLoader.GetLibraryFileName(libSwScale) + " error: ";
    EXPECT_EQ(FFLoader.LastErrMsg().rfind(expected, 0), 0u) << FFLoader.LastErrMsg();
    EXPECT_EQ(CurrentDirectory(), cwd);

    FFLoader.SetLibraryPath("");
    ASSERT_TRUE(FFLoader.LoadLib(libSwScale));
    EXPECT_EQ(FFLoader.LastErrMsg().rfind(expected, 0), 0u) << "a success does not clear the last error";
}

TEST_F(LoaderTest, FileNamesCarryTheInstalledMajorVersions)
{
    EXPECT_EQ(FFLoader.GetLibraryFileName(libAVUtil), "libavutil.so." + std::to_string(LIBAVUTIL_VERSION_MAJOR));
    EXPECT_EQ(FFLoader.GetLibraryFileName(libAVCodec), "libavcodec.so." + std::to_string(LIBAVCODEC_VERSION_MAJOR));
}

TEST_F(LoaderTest, RuntimeShimBindsTheCRuntime)
{
    ASSERT_TRUE(FFLoader.LoadLibs(EngineLibraries)) << FFLoader.LastErrMsg();
    char buf[32];
    av::my_snprintf(buf, sizeof buf, "%d-%s", 42, "x");
    EXPECT_STREQ(buf, "42-x");
    char* end = nullptr;
    EXPECT_EQ(av::my_strtol("0x10 rest", &end, 0), 16);
    EXPECT_STREQ(end, " rest");
}

TEST_F(LoaderTest, ProbeNamesTheFirstLibraryNotLoaded)
{
    const struct {
        TLibraryType missing;
        const char* text;
    } cases[] = {
        {libAVCodec, "LibAVCodec not loaded."},
        {libAVFormat, "LibAVFormat not loaded."},
        {libAVUtil, "LibAVUtil not loaded."},
        {libSwScale, "LibSwScale not loaded."},
    };
    for (const auto& c : cases) {
        FFLoader.SetLibraryPath("");
        ASSERT_TRUE(FFLoader.LoadLibs(EngineLibraries));
        FFLoader.UnloadLib(c.missing);
        TAVProbe probe;
        try {
            probe.OpenFile("/nonexistent.avi");
            ADD_FAILURE() << "OpenFile did not raise for " << c.text;
        } catch (const ProbeError& e) {
            EXPECT_STREQ(e.what(), c.text);
        }
        EXPECT_THROW(probe.Attach(nullptr), ProbeError);
        EXPECT_EQ(probe.StreamCount(), -1);
        // Queries without a context answer without touching the libraries.
        TFileStreamInfo info;
        probe.GetFileStreamInfo(info);
        EXPECT_EQ(info.Duration, -1);
        EXPECT_EQ(probe.GetFileSize(), -1);
    }
}

}  // namespace

// Below the loader: loading by path from a folder.
namespace {

class FolderLoadTest : public ::testing::Test {};

TEST_F(FolderLoadTest, DependencyIsTakenFromTheSameFolderAndCurrentDirectoryKept)
{
    using namespace kv::platform;
    const std::string cwd = CurrentDirectory();
    // A relative folder as well as an absolute one.
    ASSERT_EQ(::chdir(FixtureDir.c_str()), 0);
    for (const std::string& folder : {std::string("chain/"), FixtureDir + "/chain/"}) {
        ModuleHandle h = LoadLibraryFromFolder(folder, "libkvmain.so.1");
        ASSERT_NE(h, nullptr) << folder << ": " << LastLoadErrorText();
        EXPECT_EQ(CurrentDirectory(), FixtureDir);
        auto value = reinterpret_cast<int (*)()>(FindSymbol(h, "kv_fixture_main_value"));
        ASSERT_NE(value, nullptr);
        EXPECT_EQ(value(), 42);
        Dl_info where{};
        ASSERT_NE(dladdr(FindSymbol(h, "kv_fixture_main_value"), &where), 0);
        EXPECT_NE(std::string(where.dli_fname).find("/chain/libkvmain.so.1"), std::string::npos);
        EXPECT_EQ(FindSymbol(h, "no_such_entry_point"), nullptr);
        EXPECT_NE(LastLoadErrorText(), "");
        FreeLibrary(h);
    }
    EXPECT_EQ(LoadLibraryFromFolder(FixtureDir + "/chain/", "libkvnothing.so.1"), nullptr);
    EXPECT_EQ(CurrentDirectory(), FixtureDir);
    ASSERT_EQ(::chdir(cwd.c_str()), 0);
}

}  // namespace
