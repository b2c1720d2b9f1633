// kestravo-cli watch as a user runs it: a file copied in slowly is converted once it
// is complete, and only once, also across a restart; SIGTERM during a conversion ends
// the watch with nothing half-written left; a file that does not open as media is
// recorded as failed and left alone until it changes; a folder that goes away is
// waited for.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "media/AVProbe.h"
#include "tests/support/RunProgram.h"
#include "tests/support/VideoConvert.h"
#include "tests/support/FolderListing.h"
#include "workflow/WatchState.h"

using namespace kv::test;
namespace fs = std::filesystem;

namespace {

const std::string Cli = std::string(KV_STAGE_DIR) + "/kestravo-cli";
const char* const QuickProfile = "WAV - PCM Audio(*.wav)";
const char* const SlowProfile = "AVI - MPEG-4 Video(*.avi)";

using Clock = std::chrono::steady_clock;

bool WaitUntil(const std::function<bool()>& done, int seconds)
{
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    while (!done()) {
        if (Clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

// The files a user sees in the folder: hidden ones (the watch's state) left out.
std::vector<std::string> Visible(const fs::path& folder) { return kvtest::FilesUnder(folder, false); }

std::vector<std::string> Hidden(const fs::path& folder)
{
    std::vector<std::string> files;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(folder, ec))
        if (e.path().filename().string()[0] == '.') files.push_back(e.path().filename().string());
    std::sort(files.begin(), files.end());
    return files;
}

int CountLines(const std::string& text, const std::string& prefix)
{
    std::istringstream in(text);
    int n = 0;
    for (std::string line; std::getline(in, line);) n += line.rfind(prefix, 0) == 0 ? 1 : 0;
    return n;
}

class CliWatch : public TOutputFolderTest {
protected:
    void SetUp() override
    {
        TOutputFolderTest::SetUp();
        if (!fs::exists(Cli)) GTEST_SKIP() << "no " << Cli;
        fs::create_directories(dir / "in");
    }
    // Runs the watch until `whileRunning` returns, then sends it SIGTERM. The test acts
    // once the watch listens for the folder's notices (it has taken its first look then).
    TProgramRun Watch(const std::string& profile, const std::function<void()>& whileRunning,
                      const std::vector<std::string>& more = {})
    {
        std::vector<std::string> args{"watch", Out("in"), "--profile", profile, "--output", Out("out")};
        args.insert(args.end(), more.begin(), more.end());
        return RunProgram(Cli, args, {}, {}, [&](int pid) {
            EXPECT_TRUE(WaitUntil([pid] { return Listening(pid); }, 120)) << "the watch never started";
            whileRunning();
            ::kill(pid, SIGTERM);
        });
    }
    static bool Listening(int pid)
    {
        std::error_code ec;
        for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
            std::error_code lec;
            if (fs::read_symlink(fd.path(), lec).string() == "anon_inode:inotify") return true;
        }
        return false;
    }
    bool Exists(const std::string& name) const { return fs::exists(dir / "out" / name); }
    // The watch's state says the source converted: its output is complete.
    bool Converted(const std::string& source) const
    {
        std::ifstream in(dir / "out" / kv::workflow::WatchStateName);
        for (std::string line; std::getline(in, line);)
            if (line.rfind(Out("in/" + source) + "\t", 0) == 0 && line.find("\tconverted\t") != std::string::npos) return true;
        return false;
    }
};

}  // namespace

TEST_F(CliWatch, AFileCopiedInSlowlyIsConvertedOnceCompleteAndOnlyOnce)
{
    const std::string clip = [] {
        std::ifstream in(MediaFile("tiny_64x48.avi"), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }();
    bool convertedEarly = false;
    const TProgramRun first = Watch(QuickProfile, [&] {
        // Written in five pieces over five seconds, in a sub-folder made meanwhile.
        fs::create_directories(dir / "in" / "phone");
        std::ofstream out(dir / "in" / "phone" / "clip.avi", std::ios::binary);
        const std::size_t piece = clip.size() / 5 + 1;
        for (std::size_t at = 0; at < clip.size(); at += piece) {
            out.write(clip.data() + at, static_cast<std::streamsize>(std::min(piece, clip.size() - at)));
            out.flush();
            std::this_thread::sleep_for(std::chrono::seconds(1));
            convertedEarly = convertedEarly || !Visible(dir / "out").empty();
        }
        out.close();
        WaitUntil([&] { return Converted("phone/clip.avi"); }, 60);
        // Long enough for a second conversion, if there were one.
        std::this_thread::sleep_for(std::chrono::seconds(4));
    }, {"--keep-folders"});
    EXPECT_EQ(first.Status, 0) << first.Err;
    EXPECT_FALSE(convertedEarly) << "converted before it was complete";
    EXPECT_EQ(Visible(dir / "out"), std::vector<std::string>{"phone/clip.wav"}) << first.Out;
    EXPECT_EQ(CountLines(first.Out, "Converted: "), 1) << first.Out;
    kv::media::TAVProbe probe;
    ASSERT_TRUE(probe.OpenFile(Out("out/phone/clip.wav")));
    kv::media::TFileStreamInfo info;
    probe.GetFileStreamInfo(info);
    EXPECT_NEAR(static_cast<double>(info.Duration) / 1e6, 1.2, 0.15);

    // A restart remembers it; the output stays as it was.
    const auto written = fs::last_write_time(dir / "out" / "phone" / "clip.wav");
    const TProgramRun second = Watch(QuickProfile, [] { std::this_thread::sleep_for(std::chrono::seconds(6)); },
                                     {"--keep-folders"});
    EXPECT_EQ(second.Status, 0) << second.Err;
    EXPECT_EQ(CountLines(second.Out, "Converted: "), 0) << second.Out;
    EXPECT_EQ(Visible(dir / "out"), std::vector<std::string>{"phone/clip.wav"});
    EXPECT_EQ(fs::last_write_time(dir / "out" / "phone" / "clip.wav"), written);
}

TEST_F(CliWatch, SigtermDuringAConversionLeavesNothingHalfWritten)
{
    fs::copy_file(MediaFile("long_320x240.avi"), dir / "in" / "long.avi");
    bool caughtHalfway = false;
    const TProgramRun run = Watch(SlowProfile, [&] {
        caughtHalfway = WaitUntil([&] {
            std::error_code ec;
            return fs::file_size(dir / "out" / "long.avi", ec) > 0 && !ec;
        }, 120);
    });
    ASSERT_TRUE(caughtHalfway) << run.Out << run.Err;
    EXPECT_EQ(run.Status, 0) << run.Err;
    EXPECT_TRUE(Visible(dir / "out").empty()) << run.Out;
    // The cancelled file is not remembered: the next watch converts it.
    EXPECT_EQ(Hidden(dir / "out"), std::vector<std::string>{}) << run.Out;
    EXPECT_EQ(CountLines(run.Out, "Canceled: "), 1) << run.Out;
}

TEST_F(CliWatch, AFileThatIsNoMediaIsRecordedAndTriedAgainOnlyWhenItChanges)
{
    std::ofstream(dir / "in" / "notes.avi") << "not a video at all";
    const TProgramRun first = Watch(QuickProfile, [&] {
        WaitUntil([&] { return fs::exists(dir / "out" / kv::workflow::WatchStateName); }, 60);
        std::this_thread::sleep_for(std::chrono::seconds(1));
    });
    EXPECT_EQ(CountLines(first.Out, "Failed: "), 1) << first.Out;
    const TProgramRun same = Watch(QuickProfile, [] { std::this_thread::sleep_for(std::chrono::seconds(5)); });
    EXPECT_EQ(CountLines(same.Out, "Failed: "), 0) << same.Out;

    // Replaced by a real clip under the same name: converted now.
    fs::remove(dir / "in" / "notes.avi");
    fs::copy_file(MediaFile("tiny_64x48.avi"), dir / "in" / "notes.avi");
    const TProgramRun changed = Watch(QuickProfile, [&] { WaitUntil([&] { return Converted("notes.avi"); }, 60); });
    EXPECT_EQ(CountLines(changed.Out, "Converted: "), 1) << changed.Out;
}

TEST_F(CliWatch, AFolderThatGoesAwayIsWaitedForWithoutSpinning)
{
    const TProgramRun run = Watch(QuickProfile, [&] {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        fs::remove_all(dir / "in");
        std::this_thread::sleep_for(std::chrono::seconds(2));
        fs::create_directories(dir / "in");
        fs::copy_file(MediaFile("tiny_64x48.avi"), dir / "in" / "back.avi");
        WaitUntil([&] { return Converted("back.avi"); }, 60);
    });
    EXPECT_EQ(run.Status, 0) << run.Err;
    EXPECT_EQ(CountLines(run.Out, "Cannot read the watched folder"), 1) << run.Out;
    EXPECT_EQ(CountLines(run.Out, "Watching \""), 2) << run.Out;
    EXPECT_TRUE(Exists("back.wav")) << run.Out;
}

TEST_F(CliWatch, NewOnlyLeavesTheFilesThatWereThereAtStart)
{
    fs::copy_file(MediaFile("tiny_64x48.avi"), dir / "in" / "old.avi");
    const TProgramRun run = Watch(QuickProfile, [&] {
        // After the first look: what arrives during it was there at start.
        std::this_thread::sleep_for(std::chrono::seconds(3));
        fs::copy_file(MediaFile("tiny_64x48.avi"), dir / "in" / "new.avi");
        WaitUntil([&] { return Converted("new.avi"); }, 60);
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }, {"--new-only"});
    EXPECT_EQ(run.Status, 0) << run.Err;
    EXPECT_EQ(Visible(dir / "out"), std::vector<std::string>{"new.wav"}) << run.Out;
}
