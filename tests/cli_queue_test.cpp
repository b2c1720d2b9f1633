// kestravo-cli convert with a folder, its tree mirrored (--keep-folders), and run
// again over its own outputs with each --if-exists choice.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/RunProgram.h"
#include "tests/support/VideoConvert.h"
#include "tests/support/FolderListing.h"

using namespace kv::test;
namespace fs = std::filesystem;

namespace {

const std::string Cli = std::string(KV_STAGE_DIR) + "/kestravo-cli";

using kvtest::FilesUnder;

class CliQueue : public TOutputFolderTest {
protected:
    void SetUp() override
    {
        TOutputFolderTest::SetUp();
        if (!fs::exists(Cli)) GTEST_SKIP() << "no " << Cli;
        for (const char* name : {"tree/top.avi", "tree/a/one.avi", "tree/a/b/two.avi"}) {
            fs::create_directories((dir / "in" / name).parent_path());
            fs::copy_file(MediaFile("tiny_64x48.avi"), dir / "in" / name);
        }
        // Not media: a folder holds such files too.
        std::ofstream(dir / "in" / "tree" / "a" / "notes.txt") << "a shopping list";
    }
    TProgramRun Convert(const std::vector<std::string>& options)
    {
        std::vector<std::string> args{"convert", "--profile", "WAV - PCM Audio(*.wav)", "--output", Out("out")};
        args.insert(args.end(), options.begin(), options.end());
        args.push_back(Out("in/tree"));
        return RunProgram(Cli, args);
    }
};

}  // namespace

TEST_F(CliQueue, AFolderIsMirroredAndItsOutputsNumberedSkippedOrReplaced)
{
    const std::vector<std::string> mirrored{"a/b/two.wav", "a/one.wav", "top.wav"};
    const TProgramRun first = Convert({"--keep-folders"});
    EXPECT_EQ(first.Status, 0) << first.Out << first.Err;
    EXPECT_NE(first.Err.find("3 file(s) loaded, 1 file(s) failed."), std::string::npos) << first.Err;
    ASSERT_EQ(FilesUnder(dir / "out"), mirrored);
    const auto written = fs::last_write_time(dir / "out" / "a" / "one.wav");

    const TProgramRun skip = Convert({"--keep-folders", "--if-exists", "skip"});
    EXPECT_EQ(skip.Status, 0) << skip.Out << skip.Err;
    EXPECT_NE(skip.Out.find("Skipped: exists"), std::string::npos) << skip.Out;
    EXPECT_EQ(FilesUnder(dir / "out"), mirrored);
    EXPECT_EQ(fs::last_write_time(dir / "out" / "a" / "one.wav"), written);

    const TProgramRun replace = Convert({"--keep-folders", "--if-exists", "replace"});
    EXPECT_EQ(replace.Status, 0) << replace.Out << replace.Err;
    EXPECT_EQ(FilesUnder(dir / "out"), mirrored) << "no temporary name is left";
    EXPECT_NE(fs::last_write_time(dir / "out" / "a" / "one.wav"), written);

    const TProgramRun number = Convert({"--if-exists", "number"});
    EXPECT_EQ(number.Status, 0) << number.Out << number.Err;
    EXPECT_EQ(FilesUnder(dir / "out"),
              (std::vector<std::string>{"a/b/two.wav", "a/one.wav", "one.wav", "top.wav", "top_1.wav", "two.wav"}));

    const TProgramRun wrong = Convert({"--if-exists", "overwrite"});
    EXPECT_EQ(wrong.Status, 2);
    EXPECT_NE(wrong.Err.find("--if-exists: one of number, skip, replace"), std::string::npos) << wrong.Err;
}
