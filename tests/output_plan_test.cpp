// Where outputs go and what survives a crash, without converting anything: the
// mirrored folder of a file added with a tree, the name chosen when one is taken, the
// journal of outputs being written and what it leaves after a kill, and the saved list
// read back with every field, whatever characters its file names hold.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "workflow/FileOutcome.h"
#include "workflow/InputFileList.h"
#include "workflow/OutputJournal.h"
#include "workflow/OutputPlan.h"
#include "workflow/SavedList.h"
#include "workflow/SavedText.h"

using namespace kv::workflow;
namespace fs = std::filesystem;

namespace {

class OutputPlanTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = fs::temp_directory_path() / ("kv_plan_" + std::to_string(::getpid()) + "_" +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    std::string Touch(const std::string& name, const std::string& content = "x") const
    {
        const fs::path path = dir / name;
        fs::create_directories(path.parent_path());
        std::ofstream(path) << content;
        return path.string();
    }
    static std::string Read(const std::string& path)
    {
        std::ifstream in(path);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    fs::path dir;
};

}  // namespace

TEST_F(OutputPlanTest, MirrorsOnlyFoldersBelowTheAddedOne)
{
    const std::string base = (dir / "in").string();
    const std::string out = (dir / "out").string();
    struct Case {
        std::string Source, Base;
        bool Keep;
        std::string Expected;
    } cases[] = {
        {base + "/a/b/c/clip.avi", base, true, out + "/a/b/c"},
        {base + "/a/clip.avi", base + "/", true, out + "/a"},
        {base + "/clip.avi", base, true, out},
        {base + "/a/b/c/clip.avi", base, false, out},  // not asked for
        {base + "/a/clip.avi", "", true, out},          // added alone
        {dir.string() + "/elsewhere/clip.avi", base, true, out},  // never above the output folder
    };
    for (const Case& c : cases)
        EXPECT_EQ(fs::path(OutputFolderOf(c.Source, c.Base, out, c.Keep)).lexically_normal(),
                  fs::path(c.Expected).lexically_normal())
            << c.Source << " from " << c.Base;
}

TEST_F(OutputPlanTest, ATakenNameIsNumberedSkippedOrReplacedButNeverASource)
{
    const std::string out = (dir / "out").string();
    const std::string taken = Touch("out/clip.mp4");
    Touch("out/clip_1.mp4");
    const auto none = [](const std::string&) { return false; };
    const auto isSource = [&](const std::string& p) { return p == taken; };

    const TOutputPlan number = PlanOutput("/src/clip.avi", out, ".mp4", ieNumber, none, none);
    EXPECT_EQ(number.Final, out + "/clip_2.mp4");
    EXPECT_EQ(number.Write, number.Final);

    const TOutputPlan skip = PlanOutput("/src/clip.avi", out, ".mp4", ieSkip, none, none);
    EXPECT_TRUE(skip.Skip);

    // Written beside the old file under a hidden name of the same type; the old one stays.
    const TOutputPlan replace = PlanOutput("/src/clip.avi", out, ".mp4", ieReplace, none, none);
    EXPECT_EQ(replace.Final, taken);
    EXPECT_NE(replace.Write, taken);
    EXPECT_EQ(fs::path(replace.Write).parent_path(), fs::path(out));
    EXPECT_EQ(fs::path(replace.Write).extension(), ".mp4");
    EXPECT_TRUE(IsPartialName(replace.Write));
    EXPECT_FALSE(IsPartialName(taken));

    // mp4 to mp4 in its own folder: the source itself would go.
    const TOutputPlan own = PlanOutput(taken, out, ".mp4", ieReplace, none, isSource);
    EXPECT_EQ(own.Refusal, SourceRefusalText);
    EXPECT_TRUE(own.Write.empty());

    // Another file of the same batch has the name: numbered whatever the choice.
    const auto usedInBatch = [&](const std::string& p) { return p == out + "/new.mp4"; };
    for (TIfExists choice : {ieNumber, ieSkip, ieReplace}) {
        const TOutputPlan p = PlanOutput("/src/new.avi", out, ".mp4", choice, usedInBatch, none);
        EXPECT_EQ(p.Final, out + "/new_1.mp4") << choice;
        EXPECT_EQ(p.Write, p.Final) << choice;
        EXPECT_FALSE(p.Skip) << choice;
    }
}

TEST_F(OutputPlanTest, PuttingInPlaceReplacesInOneStepOrLeavesTheOldFile)
{
    const std::string old = Touch("out/clip.mp4", "old");
    const std::string written = Touch("out/.clip.kestravo-part.mp4", "new");
    std::string reason;
    ASSERT_TRUE(PutInPlace(written, old, reason)) << reason;
    EXPECT_EQ(Read(old), "new");
    EXPECT_FALSE(fs::exists(written));

    // The target is a folder: nothing is replaced, the temporary goes.
    const std::string again = Touch("out/.x.kestravo-part.mp4", "newer");
    fs::create_directories(dir / "out" / "x.mp4");
    EXPECT_FALSE(PutInPlace(again, (dir / "out" / "x.mp4").string(), reason));
    EXPECT_FALSE(reason.empty());
    EXPECT_FALSE(fs::exists(again));
    EXPECT_TRUE(fs::is_directory(dir / "out" / "x.mp4"));
}

TEST_F(OutputPlanTest, JournalRecoveryRemovesOnlyWhatWasStillBeingWritten)
{
    const std::string done = Touch("out/done.mp4", "complete");
    const std::string partial = Touch("out/partial.mp4", "half");
    const std::string cancelled = (dir / "out" / "cancelled.mp4").string();  // removed by the engine already
    const std::string replaced = Touch("out/replaced.mp4", "old, then new");
    const std::string folderNamed = (dir / "out" / "folder.mp4").string();
    fs::create_directories(folderNamed);
    const std::string path = (dir / "kestravo.journal").string();
    {
        TOutputJournal journal(path);
        ASSERT_TRUE(journal.Record({{done, "/src/done.avi"},
                                    {partial, "/src/partial.avi"},
                                    {cancelled, "/src/cancelled.avi"},
                                    {"/out/.replaced.kestravo-part.mp4", "/src/replaced.avi"},
                                    {folderNamed, "/src/folder.avi"}}));
        EXPECT_EQ(journal.OpenCount(), 5);
        ASSERT_TRUE(journal.StrikeOff(done, true, done));
        ASSERT_TRUE(journal.StrikeOff(cancelled, false, ""));
        ASSERT_TRUE(journal.StrikeOff("/out/.replaced.kestravo-part.mp4", true, replaced));
        journal.CloseIfDone();
        EXPECT_TRUE(fs::exists(path)) << "entries are still open";
    }
    // The kill cut the last line short.
    std::ofstream(path, std::ios::app) << "-\t" << partial;

    TOutputJournal next(path);
    const TJournalRecovery r = next.Recover();
    EXPECT_TRUE(fs::exists(done));
    EXPECT_TRUE(fs::exists(replaced));
    EXPECT_FALSE(fs::exists(partial));
    EXPECT_TRUE(fs::is_directory(folderNamed)) << "only plain files are outputs";
    EXPECT_FALSE(fs::exists(path));
    ASSERT_EQ(r.Interrupted.size(), 2u);
    EXPECT_EQ(r.Interrupted[0].Source, "/src/partial.avi");
    EXPECT_EQ(r.Interrupted[1].Source, "/src/folder.avi");
    ASSERT_EQ(r.Completed.size(), 2u);
    EXPECT_EQ(r.Completed[1].Output, replaced);
    EXPECT_TRUE(r.Failures.empty());

    // Everything struck off: the journal goes at the end of the batch.
    TOutputJournal clean(path);
    ASSERT_TRUE(clean.Record({{done, "/src/done.avi"}}));
    ASSERT_TRUE(clean.StrikeOff(done, true, done));
    clean.CloseIfDone();
    EXPECT_FALSE(fs::exists(path));
}

TEST_F(OutputPlanTest, SavedListKeepsTrimsAspectsAndSuccessesOfAnyFileName)
{
    const std::string odd = Touch("in/tab\there\nand a line \\ end.avi");
    const std::string plain = Touch("in/sub/plain.avi");
    const std::string failed = Touch("in/failed.avi");
    const std::string gone = (dir / "in" / "deleted.avi").string();
    TInputFileList list;
    auto add = [&](const std::string& name, std::int64_t start, std::int64_t length, int aspect, int status,
                   const std::string& output, int sound = -1, int burnt = -1) {
        auto f = std::make_unique<TInputFile>();
        f->FileName = name;
        f->FileExt = "avi";
        f->FileSize = 1234;
        f->DurationSec = 7;
        f->TrimStart = start;
        f->TrimLength = length;
        f->AspectIndex = aspect;
        f->Status = status;
        f->OutputOptions.FileName = output;
        f->BaseFolder = (dir / "in").string();
        f->SoundTrack = sound;
        f->BurntSubtitle = burnt;
        list.Add(std::move(f));
    };
    add(odd, 1500, 2500, 2, foSucceeded, "/out/odd.mp4", 1, 0);
    add(plain, -1, 7000, 0, foInterrupted, "", -1, 2);
    add(failed, 0, 100, 4, foFailed, "/out/failed.mp4");
    add(gone, -1, 7000, 1, foSucceeded, "/out/deleted.mp4");

    TSavedList saved(dir.string());
    ASSERT_TRUE(saved.Save(list)) << saved.LastError;
    const auto written = fs::last_write_time(saved.ListPath());
    ASSERT_TRUE(saved.Save(list));
    EXPECT_EQ(fs::last_write_time(saved.ListPath()), written) << "unchanged: not written again";
    fs::remove(gone);

    TInputFileList back;
    TSavedList next(dir.string());
    ASSERT_EQ(next.Restore(back), 3) << "the deleted source is left out";
    struct Expected {
        std::string Name;
        std::int64_t Start, Length;
        int Aspect, Status;
        std::string Output;
        int Sound = -1, Burnt = -1;
    } expected[] = {
        {odd, 1500, 2500, 2, foSucceeded, "/out/odd.mp4", 1, 0},
        {plain, -1, 7000, 0, foInterrupted, "", -1, 2},
        {failed, 0, 100, 4, foNotConverted, ""},  // what did not convert is pending again
    };
    for (int i = 0; i < 3; ++i) {
        const TInputFile& f = back.Items(i);
        const Expected& e = expected[i];
        EXPECT_EQ(f.FileName, e.Name);
        EXPECT_EQ(f.TrimStart, e.Start) << e.Name;
        EXPECT_EQ(f.TrimLength, e.Length) << e.Name;
        EXPECT_EQ(f.AspectIndex, e.Aspect) << e.Name;
        EXPECT_EQ(f.Status, e.Status) << e.Name;
        EXPECT_EQ(f.OutputOptions.FileName, e.Output) << e.Name;
        EXPECT_EQ(f.InputOptions.FileName, e.Name);
        EXPECT_EQ(f.DurationSec, 7);
        EXPECT_EQ(f.BaseFolder, (dir / "in").string());
        EXPECT_TRUE(f.Identity.Known);
        EXPECT_EQ(f.SoundTrack, e.Sound) << e.Name;
        EXPECT_EQ(f.BurntSubtitle, e.Burnt) << e.Name;
    }
}

TEST_F(OutputPlanTest, ADamagedSavedListRestoresWhatReads)
{
    const std::string good = Touch("in/good.avi");
    const std::string line = JoinFields({good, "avi", "10", "3", "-1", "3000", "0", "1", "/out/good.mp4", ""});
    const std::string texts[] = {
        "",
        "not a list\n" + line,
        std::string("Kestravo list 1\n") + "garbage\n" + line + line.substr(0, line.size() / 2),
        std::string("Kestravo list 1\n") + JoinFields({good, "avi", "x", "3", "-1", "3000", "0", "1", "", ""}) + line,
        std::string("Kestravo list 1\n") + JoinFields({good, "avi", "10", "0", "-1", "3000", "0", "1", "", ""}) + line,
        std::string("Kestravo list 1\n") + JoinFields({good, "avi", "10", "3", "-1", "3000", "9", "1", "", ""}) + line,
    };
    const int restored[] = {0, 0, 1, 1, 1, 1};
    for (int i = 0; i < 6; ++i) {
        TInputFileList list;
        EXPECT_EQ(ReadListText(texts[i], list), restored[i]) << i;
        if (list.Count() == 1) {
            EXPECT_EQ(list.Items(0).OutputOptions.FileName, "/out/good.mp4");
        }
    }
}

// A list saved before the files had track choices (ten fields a line) loads with the
// file's own default tracks; a track choice that does not read loses its line.
TEST_F(OutputPlanTest, ASavedListWithoutTrackChoicesLoadsWithTheDefaultTracks)
{
    const std::string good = Touch("in/good.avi");
    const std::vector<std::string> old = {good, "avi", "10", "3", "-1", "3000", "0", "1", "/out/good.mp4", ""};
    auto with = [&](const std::string& sound, const std::string& burnt) {
        std::vector<std::string> fields = old;
        fields.push_back(sound);
        fields.push_back(burnt);
        return JoinFields(fields);
    };
    struct Case {
        std::string line;
        int restored, sound, burnt;
    } cases[] = {
        {JoinFields(old), 1, -1, -1},
        {with("2", "-1"), 1, 2, -1},
        {with("-1", "0"), 1, -1, 0},
        {with("x", "0"), 0, 0, 0},
        {with("-2", "0"), 0, 0, 0},
        {with("1", ""), 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        TInputFileList list;
        EXPECT_EQ(ReadListText(std::string("Kestravo list 1\n") + c.line, list), c.restored);
        if (list.Count() != 1) continue;
        EXPECT_EQ(list.Items(0).SoundTrack, c.sound);
        EXPECT_EQ(list.Items(0).BurntSubtitle, c.burnt);
        EXPECT_EQ(list.Items(0).TrimLength, 3000);
    }
}
