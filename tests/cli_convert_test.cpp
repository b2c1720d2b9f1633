// kestravo-cli convert as a user runs it: one result row per file given, in that order,
// with the reason of every file that did not convert; an interrupt cancels, ends with
// 128 + the signal and leaves only the outputs the result names.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/RunProgram.h"
#include "tests/support/VideoConvert.h"

using namespace kv::test;
namespace fs = std::filesystem;

namespace {

const std::string Cli = std::string(KV_STAGE_DIR) + "/kestravo-cli";

class CliConvert : public TOutputFolderTest {
protected:
    void SetUp() override
    {
        TOutputFolderTest::SetUp();
        if (!fs::exists(Cli)) GTEST_SKIP() << "no " << Cli;
        fs::create_directories(dir / "in");
        fs::create_directories(dir / "out");
    }

    // convert with the fastest profile of the shipped catalogue into dir/out.
    TProgramRun Convert(const std::vector<std::string>& files, const std::function<void(int)>& whileRunning = {})
    {
        std::vector<std::string> args{"convert", "--profile", "WAV - PCM Audio(*.wav)", "--output", Out("out")};
        args.insert(args.end(), files.begin(), files.end());
        return RunProgram(Cli, args, {}, {}, whileRunning);
    }
    // The result rows: the lines after the header.
    static std::vector<std::string> Table(const TProgramRun& run)
    {
        std::istringstream text(run.Out);
        std::vector<std::string> rows;
        bool header = false;
        for (std::string line; std::getline(text, line);) {
            if (header) rows.push_back(line);
            header = header || line.rfind("Source ", 0) == 0;
        }
        return rows;
    }
    // Every file in the output folder is named by a "Success" row.
    void ExpectOnlyNamedOutputs(const TProgramRun& run) const
    {
        std::set<std::string> named;
        for (const std::string& row : Table(run)) {
            std::istringstream words(row);
            const std::vector<std::string> w{std::istream_iterator<std::string>(words), {}};
            if (w.size() == 6 && w[4] == "Success") named.insert(w[5]);
        }
        for (const auto& entry : fs::directory_iterator(dir / "out"))
            EXPECT_TRUE(named.count(entry.path().filename().string())) << entry.path() << " left behind";
    }
    std::string In(const std::string& name, const std::string& clip = "tiny_64x48.avi") const
    {
        const fs::path path = dir / "in" / name;
        fs::copy_file(MediaFile(clip), path);
        return path.string();
    }
};

}  // namespace

// A refused file and a file whose output cannot be made appear in the result, in the
// order given, each with its reason.
TEST_F(CliConvert, EveryFileGivenHasARowAndEveryFailureItsReason)
{
    const std::string good = In("good.avi");
    const std::string longest = In(std::string(252, 'l') + ".ts");   // its output name is one too long
    const std::string unsupported = In("noise.avi", "random.bin");
    const TProgramRun run = Convert({good, unsupported, longest});
    EXPECT_EQ(run.Status, 1) << run.Err;
    const std::vector<std::string> table = Table(run);
    ASSERT_EQ(table.size(), 5u) << run.Out;
    EXPECT_EQ(table[0].rfind("good.avi ", 0), 0u) << table[0];
    EXPECT_NE(table[0].find(" Success "), std::string::npos) << table[0];
    EXPECT_EQ(table[1].rfind("noise.avi ", 0), 0u) << table[1];
    EXPECT_EQ(table[2], "    " + unsupported + ": Error while parsing header");
    EXPECT_NE(table[3].find(" Failed "), std::string::npos) << table[3];
    EXPECT_EQ(table[4], "    Could not open '" + Out("out/" + std::string(252, 'l') + ".wav") +
                            "': File name too long");
    ExpectOnlyNamedOutputs(run);
}

TEST_F(CliConvert, InterruptCancelsAndEndsWithTheSignal)
{
    // Enough files that the batch still runs when the first output appears.
    std::vector<std::string> files;
    for (int i = 0; i < 200; ++i) files.push_back(In("clip_" + std::to_string(i) + ".avi"));
    for (int signal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(signal == SIGINT ? "SIGINT" : "SIGTERM");
        fs::remove_all(dir / "out");
        fs::create_directories(dir / "out");
        const TProgramRun run = Convert(files, [&](int pid) {
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
            while (fs::is_empty(dir / "out") && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            ::kill(pid, signal);
        });
        EXPECT_EQ(run.Status, 128 + signal) << run.Err;
        const std::vector<std::string> table = Table(run);
        ASSERT_EQ(table.size(), files.size()) << run.Out;
        EXPECT_NE(table.back().find(" Canceled"), std::string::npos) << table.back();
        ExpectOnlyNamedOutputs(run);
    }
}
