// kestravo-cli convert as a user runs it: one result row per file given, in that order,
// with the reason of every file that did not convert; an interrupt cancels, ends with
// 128 + the signal and leaves only the outputs the result names.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;

namespace {

const std::string Cli = std::string(KV_STAGE_DIR) + "/kestravo-cli";
const std::string MediaDir = std::string(KV_TEST_MEDIA_DIR) + "/";
const char* const Profile = "WAV - PCM Audio(*.wav)";

class CliConvert : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!fs::exists(Cli)) GTEST_SKIP() << "no " << Cli;
        dir = fs::temp_directory_path() / ("kv_cli_" + std::to_string(::getpid()) + "_" +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir / "in");
        fs::create_directories(dir / "out");
    }
    void TearDown() override { fs::remove_all(dir); }

    // Starts `kestravo-cli convert` on the files; its standard output goes to a file.
    pid_t Start(const std::vector<std::string>& files)
    {
        std::vector<std::string> args{Cli, "convert", "--profile", Profile, "--output", (dir / "out").string()};
        args.insert(args.end(), files.begin(), files.end());
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, (dir / "stdout.txt").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        pid_t pid = -1;
        EXPECT_EQ(posix_spawn(&pid, Cli.c_str(), &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        return pid;
    }
    static int Wait(pid_t pid)
    {
        int status = 0;
        ::waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 200 + WTERMSIG(status);
    }
    std::vector<std::string> Lines() const
    {
        std::ifstream in(dir / "stdout.txt");
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }
    // The result rows: from the header to the end.
    std::vector<std::string> Table() const
    {
        const std::vector<std::string> lines = Lines();
        for (std::size_t i = 0; i < lines.size(); ++i)
            if (lines[i].rfind("Source ", 0) == 0) return {lines.begin() + static_cast<std::ptrdiff_t>(i) + 1, lines.end()};
        return {};
    }
    // Every file in the output folder is named by a "Success" row.
    void ExpectOnlyNamedOutputs() const
    {
        std::set<std::string> named;
        for (const std::string& row : Table()) {
            std::istringstream words(row);
            std::vector<std::string> w{std::istream_iterator<std::string>(words), {}};
            if (w.size() == 6 && w[4] == "Success") named.insert(w[5]);
        }
        for (const auto& entry : fs::directory_iterator(dir / "out"))
            EXPECT_TRUE(named.count(entry.path().filename().string())) << entry.path() << " left behind";
    }
    std::string In(const std::string& name, const std::string& clip = "tiny_64x48.avi")
    {
        const fs::path path = dir / "in" / name;
        fs::copy_file(MediaDir + clip, path);
        return path.string();
    }

    fs::path dir;
};

}  // namespace

// A refused file and a file whose output cannot be made appear in the result, in the
// order given, each with its reason.
TEST_F(CliConvert, EveryFileGivenHasARowAndEveryFailureItsReason)
{
    const std::string good = In("good.avi");
    const std::string longest = In(std::string(252, 'l') + ".ts");   // its output name is one too long
    const std::string unsupported = In("noise.avi", "random.bin");
    EXPECT_EQ(Wait(Start({good, unsupported, longest})), 1);
    const std::vector<std::string> table = Table();
    ASSERT_EQ(table.size(), 5u) << (Lines().empty() ? "" : Lines().back());
    EXPECT_EQ(table[0].rfind("good.avi ", 0), 0u) << table[0];
    EXPECT_NE(table[0].find(" Success "), std::string::npos) << table[0];
    EXPECT_EQ(table[1].rfind("noise.avi ", 0), 0u) << table[1];
    EXPECT_EQ(table[2], "    " + unsupported + ": Error while parsing header");
    EXPECT_NE(table[3].find(" Failed "), std::string::npos) << table[3];
    EXPECT_EQ(table[4], "    Could not open '" + (dir / "out" / (std::string(252, 'l') + ".wav")).string() +
                            "': File name too long");
    ExpectOnlyNamedOutputs();
}

TEST_F(CliConvert, InterruptCancelsAndEndsWithTheSignal)
{
    for (int signal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(signal == SIGINT ? "SIGINT" : "SIGTERM");
        fs::remove_all(dir / "in");
        fs::remove_all(dir / "out");
        fs::create_directories(dir / "in");
        fs::create_directories(dir / "out");
        // Enough files that the batch is still running when the first output appears.
        std::vector<std::string> files{In("clip.avi")};
        for (int i = 1; i < 200; ++i) {
            files.push_back((dir / "in" / ("clip_" + std::to_string(i) + ".avi")).string());
            fs::create_hard_link(files[0], files.back());
        }
        const pid_t pid = Start(files);
        ASSERT_GT(pid, 0);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (fs::is_empty(dir / "out") && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        ::kill(pid, signal);
        EXPECT_EQ(Wait(pid), 128 + signal);
        const std::vector<std::string> table = Table();
        ASSERT_EQ(table.size(), files.size());
        EXPECT_NE(table.back().find(" Canceled"), std::string::npos) << table.back();
        ExpectOnlyNamedOutputs();
    }
}
