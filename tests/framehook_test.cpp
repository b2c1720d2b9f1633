#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "engine/FrameHook.h"
#include "media/AVUtilStubs.h"
#include "media/FFmpegLoader.h"

using namespace kv::engine;
namespace fs = std::filesystem;

namespace {

const std::string HookDir = std::string(KV_TEST_FIXTURE_DIR) + "/hooks/";
const std::string BoxHook = HookDir + "kvtest_box_hook.so";

std::mutex logLock;
std::string logText;

void CaptureLog(void*, int level, const char* format, va_list args)
{
    char line[1024];
    std::vsnprintf(line, sizeof line, format, args);
    std::lock_guard<std::mutex> guard(logLock);
    logText.append("<").append(std::to_string(level)).append(">").append(line);
}

std::string TakeLog()
{
    std::lock_guard<std::mutex> guard(logLock);
    return std::exchange(logText, std::string());
}

// A symbol of a plug-in the hook chain has already loaded (never loads it itself).
template <typename T>
T* PluginSymbol(const std::string& path, const char* name)
{
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (!module) return nullptr;
    T* symbol = static_cast<T*>(dlsym(module, name));
    dlclose(module);  // drops only the reference NOLOAD took
    return symbol;
}

class FrameHookTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        ASSERT_TRUE(kv::media::FFLoader.LoadLibs(kv::media::EngineLibraries)) << kv::media::FFLoader.LastErrMsg();
        av::av_log_set_callback(CaptureLog);
    }
    void SetUp() override { TakeLog(); }
    void TearDown() override
    {
        ReleaseFrameHooks(chain);
        ReleaseFrameHooks(otherChain);
    }

    TFrameHookChain chain;
    TFrameHookChain otherChain;
    std::string buffer;
};

int ChainLength(const TFrameHookChain& chain)
{
    int n = 0;
    for (TFrameHookEntry* h = chain.Next; h; h = h->Next) ++n;
    return n;
}

TEST_F(FrameHookTest, OptionValueIsSplitAtBarsOrBlanks)
{
    // A folder with a blank in its name is reachable only with "|" separators.
    const fs::path blankDir = fs::path(testing::TempDir()) / "kv hooks with blank";
    fs::create_directories(blankDir);
    const std::string blankHook = (blankDir / "kvtest_box_hook.so").string();
    fs::copy_file(BoxHook, blankHook, fs::copy_options::overwrite_existing);

    std::string many = BoxHook;
    std::string expectedMany = "[" + BoxHook + "]";
    for (int i = 1; i < 70; ++i) {
        many += " a" + std::to_string(i);
        if (i < MaxFrameHookArguments) expectedMany += "[a" + std::to_string(i) + "]";
    }
    expectedMany += "$";

    struct Case {
        std::string value, plugin, expected;
    } cases[] = {
        {BoxHook + " -x 1  -y 2", BoxHook, "[" + BoxHook + "][-x][1][-y][2]$"},
        {BoxHook + "|-t| a  b |", BoxHook, "[" + BoxHook + "][-t][ a  b ]$"},
        {BoxHook + "||-t|tag with blanks||-x|3|", BoxHook, "[" + BoxHook + "][-t][tag with blanks][-x][3]$"},
        {"   " + BoxHook + "   ", BoxHook, "[" + BoxHook + "]$"},
        {blankHook + "|-t|a b", blankHook, "[" + blankHook + "][-t][a b]$"},
        {many, BoxHook, expectedMany},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        ASSERT_EQ(AddFrameHookFromOption(chain, c.value, buffer), 0) << TakeLog();
        EXPECT_EQ(buffer, c.value);
        const char* arguments = PluginSymbol<const char>(c.plugin, "LastArguments");
        ASSERT_NE(arguments, nullptr);
        EXPECT_EQ(std::string(arguments), c.expected);
    }
    EXPECT_EQ(ChainLength(chain), static_cast<int>(std::size(cases)));
}

TEST_F(FrameHookTest, HooksShareOneModuleAndRunInChainOrder)
{
    ASSERT_EQ(AddFrameHookFromOption(chain, BoxHook + " -t a -x 0 -y 0 -w 2 -h 2 -l 200", buffer), 0);
    int* configureCalls = PluginSymbol<int>(BoxHook, "ConfigureCalls");
    int* processCalls = PluginSymbol<int>(BoxHook, "ProcessCalls");
    int* releaseCalls = PluginSymbol<int>(BoxHook, "ReleaseCalls");
    char* events = PluginSymbol<char>(BoxHook, "EventLog");
    ASSERT_TRUE(configureCalls && processCalls && releaseCalls && events);
    const int configured = *configureCalls, processed = *processCalls, released = *releaseCalls;
    events[0] = '\0';

    ASSERT_EQ(AddFrameHookFromOption(chain, BoxHook + " -t b -x 1 -y 1 -w 2 -h 2 -l 100", buffer), 0);
    // Another task naming the same file, with its name in other letter case.
    const std::string upperName = HookDir + "KVTEST_BOX_HOOK.SO";
    ASSERT_EQ(AddFrameHookFromOption(otherChain, upperName + " -t c -x 6 -y 3 -w 5 -h 5 -l 50", buffer), 0);
    // One module served all hooks, each configured with its own context.
    EXPECT_EQ(*configureCalls - configured, 2);

    // 8 x 4 luma plane with 8 bytes of padding per row; padding must stay untouched.
    constexpr int width = 8, height = 4, stride = 16;
    std::vector<std::uint8_t> luma(stride * height, 0);
    auto at = [&](int x, int y) { return int(luma[y * stride + x]); };
    std::uint8_t* data[4] = {luma.data(), nullptr, nullptr, nullptr};
    int linesize[4] = {stride, 0, 0, 0};

    ProcessFrameHooks(chain, data, linesize, 0, width, height, 40000);
    EXPECT_EQ(at(0, 0), 200);
    EXPECT_EQ(at(1, 1), 100);  // the later hook paints over the earlier one
    EXPECT_EQ(at(2, 2), 100);
    EXPECT_EQ(at(3, 3), 0);
    ProcessFrameHooks(otherChain, data, linesize, 0, width, height, 40000);
    EXPECT_EQ(at(7, 3), 50);
    EXPECT_EQ(at(8, 3), 0);  // clipped to the picture's width

    EXPECT_EQ(*processCalls - processed, 3);
    ReleaseFrameHooks(chain);
    EXPECT_EQ(chain.Next, nullptr);
    ReleaseFrameHooks(otherChain);
    EXPECT_EQ(std::string(events), "Pa Pb Pc Ra Rb Rc ");
    EXPECT_EQ(*releaseCalls - released, 3);
}

TEST_F(FrameHookTest, FailuresGiveTheirCodeAndMessage)
{
    const std::string notALibrary = (fs::path(testing::TempDir()) / "kvtest_text_hook.so").string();
    std::ofstream(notALibrary) << "not a shared object\n";
    const std::string noProcess = HookDir + "kvtest_noprocess_hook.so";
    const std::string noConfigure = HookDir + "kvtest_noconfigure_hook.so";
    const std::string failing = HookDir + "kvtest_failing_hook.so";

    struct Case {
        std::string value;
        int code;
        std::string log;  // exact, or a part of the system's text for load failures
        bool exact;
    } cases[] = {
        {"", -2, "", true},
        {"  ", -2, "", true},
        {"||", -2, "", true},
        {HookDir + "kvtest_missing_hook.so", -1, "kvtest_missing_hook.so", false},
        {"kvtest_missing_hook.so -x 1", -1, "kvtest_missing_hook.so", false},
        {notALibrary, -1, "kvtest_text_hook.so", false},
        {noProcess, -2, "<0>Failed to find Process entrypoint in " + noProcess + "\n", true},
        {noConfigure + " -x 1", -2, "<0>Failed to find Configure entrypoint in " + noConfigure + "\n", true},
        {failing + " -x 1", -22, "<0>Failed to Configure " + failing + "\n", true},
        {failing, -22, "<0>Failed to Configure " + failing + "\n", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(AddFrameHookFromOption(chain, c.value, buffer), c.code);
        const std::string log = TakeLog();
        if (c.exact) {
            EXPECT_EQ(log, c.log);
        } else {
            EXPECT_EQ(log.rfind("<0>", 0), 0u) << log;
            EXPECT_NE(log.find(c.log), std::string::npos) << log;
        }
        EXPECT_EQ(chain.Next, nullptr);
    }
    EXPECT_EQ(AddFrameHook(chain, 0, nullptr), -2);
    EXPECT_EQ(*PluginSymbol<int>(failing, "FailingConfigureCalls"), 2);
    EXPECT_EQ(*PluginSymbol<int>(failing, "FailingReleaseCalls"), 0);

    // Without Configure, a hook that names only its file is fine.
    EXPECT_EQ(AddFrameHookFromOption(chain, noConfigure, buffer), 0);
    EXPECT_EQ(TakeLog(), "");
    std::uint8_t pixel = 0;
    std::uint8_t* data[4] = {&pixel};
    int linesize[4] = {1};
    ProcessFrameHooks(chain, data, linesize, 0, 1, 1, 0);
    EXPECT_EQ(*PluginSymbol<int>(noConfigure, "BareProcessCalls"), 1);
}

TEST_F(FrameHookTest, LibrariesBesideThePluginAreFound)
{
    const std::string dependent = HookDir + "kvtest_dependent_hook.so";
    // The helper is on no search path: loading the plug-in by itself fails.
    void* direct = dlopen(dependent.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_EQ(direct, nullptr) << "the helper library must not be found without the plug-in's folder";

    ASSERT_EQ(AddFrameHookFromOption(chain, dependent, buffer), 0) << TakeLog();
    std::uint8_t pixel = 0;
    std::uint8_t* data[4] = {&pixel};
    int linesize[4] = {1};
    ProcessFrameHooks(chain, data, linesize, 0, 1, 1, 0);
    EXPECT_EQ(pixel, 42);
}

}  // namespace
