// kestravo-cli's manners on the command line: help on request to standard output,
// the version, and the usage on standard error with status 2 for what it does not know.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/RunProgram.h"

namespace {

const std::string Cli = std::string(KV_STAGE_DIR) + "/kestravo-cli";

TEST(CliUsage, HelpAndVersionOnStandardOutput)
{
    struct TCase {
        std::vector<std::string> Args;
        std::string Shows;
    };
    const TCase cases[] = {
        {{"--help"}, "kestravo-cli convert [--profile"},
        {{"-h"}, "kestravo-cli transcode [NAME=VALUE"},
        {{"convert", "--help"}, "kestravo-cli convert [--profile"},
        {{"probe", "-h"}, "kestravo-cli probe FILE..."},
        {{"--version"}, "kestravo-cli (Larkspire Kestravo) "},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Args.front() + (c.Args.size() > 1 ? " " + c.Args[1] : ""));
        const auto run = kv::test::RunProgram(Cli, c.Args);
        EXPECT_EQ(run.Status, 0);
        EXPECT_NE(run.Out.find(c.Shows), std::string::npos) << run.Out;
        EXPECT_EQ(run.Err, "");
    }
}

TEST(CliUsage, UnknownWordsGetTheUsageOnStandardError)
{
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"--bogus"},
        {"frobnicate"},
        {"convert", "--bogus", "clip.avi"},
        {"probe", "--bogus", "clip.avi"},
        {"transcode", "-i", "clip.avi", "out.mp4"},
        {"profiles", "extra"},
    };
    for (const auto& args : cases) {
        std::string trace;
        for (const std::string& a : args) trace += a + " ";
        SCOPED_TRACE(trace);
        const auto run = kv::test::RunProgram(Cli, args);
        EXPECT_EQ(run.Status, 2);
        EXPECT_NE(run.Err.find("usage:"), std::string::npos) << run.Err;
        EXPECT_EQ(run.Out, "");
    }
}

}  // namespace
