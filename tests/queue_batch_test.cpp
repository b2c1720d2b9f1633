// Batches with the queue's safeguards, read back from disk: the three choices for an
// output whose name is taken (a replace cancelled halfway keeps the old file), a
// source that would be its own output, a three-level folder mirrored under the
// output folder, and a batch process killed halfway whose partial output the next
// start removes, its file pending "Interrupted" while the file converted before it
// keeps its output and its outcome.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEvent>
#include <QObject>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "media/AVProbe.h"
#include "tests/support/CoreApplication.h"
#include "tests/support/EventLoop.h"
#include "tests/support/RunProgram.h"
#include "tests/support/VideoConvert.h"
#include "tests/support/FolderListing.h"
#include "workflow/BatchObserver.h"
#include "workflow/FileOutcome.h"
#include "workflow/IniOptions.h"
#include "workflow/SavedList.h"
#include "workflow/ZelConvert.h"

using namespace kv::workflow;
namespace fs = std::filesystem;

namespace {

const std::string MediaDir = KV_TEST_MEDIA_DIR;
const std::string TinyClip = MediaDir + "/tiny_64x48.avi";
const std::string LongClip = MediaDir + "/long_320x240.avi";

// MPEG-4 and PCM sound in AVI at the tiny clip's own size: little work per file.
TFormatRec TinyProfile()
{
    TFormatRec f;
    f.Name = "AVI test";
    f.Ext = ".avi";
    f.Category = 1;
    f.Resolution = "64*48";
    f.Framerate = "Keep original frame rate";
    f.VideoEncoder = "MPEG4";
    f.VideoBitRate = "200 kbps";
    f.SampleRate = "8000 Hz";
    f.AudioBitrate = "64 kbps";
    f.AudioEncoder = "WAV";
    f.Channel = "1 Channel Mono";
    f.Volume = 256;
    return f;
}

class TPresenter : public QObject {
public:
    int Done = 0;
    std::function<void()> OnFirstProgress;
    bool event(QEvent* e) override
    {
        if (e->type() == WM_BATCH_DONE) {
            ++Done;
            return true;
        }
        if (e->type() == WM_BATCH_PROGRESS) {
            if (OnFirstProgress) std::exchange(OnFirstProgress, nullptr)();
            return true;
        }
        return QObject::event(e);
    }
};

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Milliseconds of media the file holds as the probe reads it back; -1 when it does not open.
std::int64_t MediaMs(const std::string& path)
{
    kv::media::TAVProbe probe;
    if (!probe.OpenFile(path)) return -1;
    kv::media::TFileStreamInfo info;
    probe.GetFileStreamInfo(info);
    return info.Duration / 1000;
}

using kvtest::FilesUnder;

class QueueBatch : public ::testing::Test {
protected:
    // The outputs are read back with the probe, also in a test that converts nothing itself.
    static void SetUpTestSuite() { kv::test::LoadEngineLibraries(); }
    void SetUp() override
    {
        kvtest::App();
        dir = fs::temp_directory_path() / ("kv_queue_" + std::to_string(::getpid()) + "_" +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir / "out");
        fs::create_directories(dir / "in");
        IniOptions.Formats = {TinyProfile()};
        IniOptions.FormatCount = 1;
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string Source(const std::string& name, const std::string& clip = TinyClip) const
    {
        const fs::path path = dir / "in" / name;
        fs::create_directories(path.parent_path());
        fs::copy_file(clip, path);
        return path.string();
    }
    std::string Out(const std::string& name) const { return (dir / "out" / name).string(); }

    // One batch through the controller and the batch protocol, as the window runs it.
    static void RunBatch(TZelConvert& converter, const std::string& out, const std::function<void(TBatchObserver&)>& onFirstProgress = {})
    {
        TPresenter presenter;
        TBatchObserver observer(converter, &presenter);
        if (onFirstProgress) presenter.OnFirstProgress = [&] { onFirstProgress(observer); };
        ASSERT_TRUE(converter.PrepareBatch(out));
        observer.BeginBatch(converter.Files.Count(), ".avi", 1, false);
        ASSERT_TRUE(kvtest::WaitFor([&] { return presenter.Done > 0; })) << "the batch never ended";
        observer.FinishBatch();
    }
    static int Add(TZelConvert& converter, const std::string& path)
    {
        const int index = converter.AddFile(path);
        EXPECT_GE(index, 0) << converter.LastAddError();
        return index;
    }

    fs::path dir;
};

}  // namespace

TEST_F(QueueBatch, ATakenOutputNameIsNumberedSkippedOrReplacedWhenComplete)
{
    struct Case {
        TIfExists Choice;
        int Status;
        std::vector<std::string> Outputs;  // what the output folder holds afterwards
        bool OldKept;
    } cases[] = {
        {ieNumber, foSucceeded, {"clip.avi", "clip_1.avi"}, true},
        {ieSkip, foSkipped, {"clip.avi"}, true},
        {ieReplace, foSucceeded, {"clip.avi"}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(IfExistsChoices[c.Choice]);
        fs::remove_all(dir / "out");
        fs::remove_all(dir / "in");
        fs::create_directories(dir / "out");
        std::ofstream(Out("clip.avi")) << "the user's old file";
        TZelConvert converter;
        ASSERT_TRUE(converter.InitEngine());
        converter.Rules.IfExists = c.Choice;
        const int index = Add(converter, Source("clip.avi"));
        ASSERT_GE(index, 0);
        RunBatch(converter, (dir / "out").string());
        const TInputFile& file = converter.Files.Items(index);
        EXPECT_EQ(file.Status, c.Status) << file.Reason;
        EXPECT_EQ(FilesUnder(dir / "out"), c.Outputs);
        EXPECT_EQ(ReadAll(Out("clip.avi")) == "the user's old file", c.OldKept);
        if (c.Status == foSucceeded) {
            // The row names the file the user gets, and it is the whole clip.
            EXPECT_EQ(file.OutputOptions.FileName, Out(c.Outputs.back()));
            EXPECT_NEAR(static_cast<double>(MediaMs(file.OutputOptions.FileName)), 1200.0, 250.0);
        }
        EXPECT_EQ(OutcomeText(file.Status), c.Status == foSkipped ? "Skipped: exists" : "Success");
    }
}

TEST_F(QueueBatch, AReplaceCancelledHalfwayLeavesTheOldFileIntact)
{
    std::ofstream(Out("long.avi")) << "the user's old file";
    TZelConvert converter;
    ASSERT_TRUE(converter.InitEngine());
    // A report every tenth of a second: on a fast machine the clip converts within the
    // default half second, and the first report would be the last.
    converter.Engine.SetProgressInterval(100);
    converter.Rules.IfExists = ieReplace;
    const int index = Add(converter, Source("long.avi", LongClip));
    ASSERT_GE(index, 0);
    bool partialSeen = false;
    RunBatch(converter, (dir / "out").string(), [&](TBatchObserver& observer) {
        // The new file is being written beside the old one, under another name.
        partialSeen = FilesUnder(dir / "out").size() == 2;
        observer.CancelBatch([] { return true; });
    });
    EXPECT_TRUE(partialSeen);
    EXPECT_EQ(converter.Files.Items(index).Status, foCancelled);
    EXPECT_EQ(FilesUnder(dir / "out"), std::vector<std::string>{"long.avi"});
    EXPECT_EQ(ReadAll(Out("long.avi")), "the user's old file");
}

TEST_F(QueueBatch, ASourceIsNeverReplacedByItsOwnOutput)
{
    // An AVI converted to AVI into its own folder.
    TZelConvert converter;
    ASSERT_TRUE(converter.InitEngine());
    converter.Rules.IfExists = ieReplace;
    const std::string source = Source("clip.avi");
    const std::string before = ReadAll(source);
    const int index = Add(converter, source);
    ASSERT_GE(index, 0);
    RunBatch(converter, (dir / "in").string());
    const TInputFile& file = converter.Files.Items(index);
    EXPECT_EQ(file.Status, foFailed);
    EXPECT_EQ(file.Reason, SourceRefusalText);
    EXPECT_EQ(ReadAll(source), before);
    EXPECT_EQ(FilesUnder(dir / "in"), std::vector<std::string>{"clip.avi"});
}

TEST_F(QueueBatch, AFolderOfThreeLevelsIsMirroredUnderTheOutputFolder)
{
    TZelConvert converter;
    ASSERT_TRUE(converter.InitEngine());
    converter.Rules.KeepFolders = true;
    const std::string tree = (dir / "in" / "tree").string();
    for (const char* name : {"tree/top.avi", "tree/a/one.avi", "tree/a/b/two.avi", "tree/a/b/c/three.avi", "tree/a/b/c/clip.avi"}) {
        const int index = Add(converter, Source(name));
        ASSERT_GE(index, 0);
        converter.Files.Items(index).BaseFolder = tree;
    }
    // Added one by one: into the output folder itself, also with a name the tree has.
    ASSERT_GE(Add(converter, Source("alone/clip.avi")), 0);
    RunBatch(converter, (dir / "out").string());
    for (int i = 0; i < converter.Files.Count(); ++i) EXPECT_EQ(converter.Files.Items(i).Status, foSucceeded) << i;
    EXPECT_EQ(FilesUnder(dir / "out"),
              (std::vector<std::string>{"a/b/c/clip.avi", "a/b/c/three.avi", "a/b/two.avi", "a/one.avi", "clip.avi", "top.avi"}));
    for (const std::string& f : FilesUnder(dir / "out")) EXPECT_GT(MediaMs(Out(f)), 1000) << f;
}

// The child process of the next test: a batch of a quick file and a long one, with the
// list saved and the outputs journalled in the settings folder, until it is killed.
TEST_F(QueueBatch, ChildRunsABatchUntilKilled)
{
    const char* work = std::getenv("KV_QUEUE_CHILD");
    if (!work) GTEST_SKIP() << "only run by AKilledBatchLeavesNothingHalfWrittenAfterTheNextStart";
    const fs::path root = work;
    IniOptions.Formats = {TinyProfile()};
    IniOptions.FormatCount = 1;
    TZelConvert converter;
    ASSERT_TRUE(converter.InitEngine());
    TSavedList saved((root / "settings").string());
    TInputFileList none;
    saved.Restore(none);
    converter.Journal = saved.Journal;
    ASSERT_GE(Add(converter, (root / "in" / "quick.avi").string()), 0);
    const int slow = Add(converter, (root / "in" / "slow.avi").string());
    ASSERT_GE(slow, 0);
    converter.Files.Items(slow).TrimStart = 2000;
    converter.Files.Items(slow).AspectIndex = 2;
    ASSERT_TRUE(saved.Save(converter.Files));
    RunBatch(converter, (root / "out").string());
}

TEST_F(QueueBatch, AKilledBatchLeavesNothingHalfWrittenAfterTheNextStart)
{
    fs::create_directories(dir / "settings");
    fs::copy_file(TinyClip, dir / "in" / "quick.avi");
    fs::copy_file(LongClip, dir / "in" / "slow.avi");
    const std::string self = fs::read_symlink("/proc/self/exe").string();
    bool killedHalfway = false;
    const kv::test::TProgramRun run = kv::test::RunProgram(
        self, {"--gtest_filter=QueueBatch.ChildRunsABatchUntilKilled"}, {}, {{"KV_QUEUE_CHILD", dir.string()}},
        [&](int pid) {
            const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(120);
            // Killed once the long file's output has data in it.
            while (std::chrono::steady_clock::now() < end) {
                std::error_code ec;
                if (fs::file_size(dir / "out" / "slow.avi", ec) > 4096 && !ec) {
                    killedHalfway = true;
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            ::kill(pid, SIGKILL);
        });
    ASSERT_TRUE(killedHalfway) << run.Out << run.Err;
    ASSERT_TRUE(fs::exists(dir / "out" / "slow.avi"));
    ASSERT_TRUE(fs::exists(dir / "settings" / JournalName));

    TInputFileList list;
    TSavedList saved((dir / "settings").string());
    ASSERT_EQ(saved.Restore(list), 2);
    EXPECT_EQ(FilesUnder(dir / "out"), std::vector<std::string>{"quick.avi"});
    EXPECT_GT(MediaMs((dir / "out" / "quick.avi").string()), 1000);
    EXPECT_FALSE(fs::exists(dir / "settings" / JournalName));
    EXPECT_EQ(list.Items(0).Status, foSucceeded);
    EXPECT_EQ(list.Items(0).OutputOptions.FileName, (dir / "out" / "quick.avi").string());
    EXPECT_EQ(list.Items(1).Status, foInterrupted);
    EXPECT_EQ(OutcomeText(list.Items(1).Status), "Interrupted");
    EXPECT_EQ(list.Items(1).TrimStart, 2000);
    EXPECT_EQ(list.Items(1).AspectIndex, 2);

    // What the start found is in the saved list too: the next start sees the same.
    TInputFileList again;
    TSavedList later((dir / "settings").string());
    ASSERT_EQ(later.Restore(again), 2);
    EXPECT_EQ(again.Items(0).Status, foSucceeded);
    EXPECT_EQ(again.Items(1).Status, foInterrupted);
    EXPECT_EQ(FilesUnder(dir / "out"), std::vector<std::string>{"quick.avi"});
}
