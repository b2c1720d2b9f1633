// Batches through the controller and the batch protocol: outcomes in the records,
// progress attributed to the right file, pause and cancel across files, and every
// shipped profile converting a generated clip.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEvent>
#include <QObject>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/CoreApplication.h"
#include "tests/support/EventLoop.h"
#include "tests/support/VideoConvert.h"
#include "media/AVProbe.h"
#include "workflow/BatchObserver.h"
#include "workflow/IniOptions.h"
#include "workflow/ListError.h"
#include "workflow/ZelConvert.h"

using namespace kv::workflow;
namespace fs = std::filesystem;

namespace {

const std::string MediaDir = KV_TEST_MEDIA_DIR;
const std::string Clip = MediaDir + "/avi_mpeg4_mp2.avi";

using kvtest::App;
using kvtest::WaitFor;

// A small, fast video profile: MPEG-4 and MPEG audio layer 2 in AVI.
TFormatRec TestProfile()
{
    TFormatRec f;
    f.Name = "AVI test";
    f.Ext = ".avi";
    f.Category = 1;
    f.Resolution = "160*120,320*240";
    f.Framerate = "15 fps,Keep original frame rate";
    f.FramerateValue = 1;
    f.VideoEncoder = "MPEG4";
    f.VideoBitRate = "200 kbps";
    f.SampleRate = "22050 Hz,44100 Hz";
    f.AudioBitrate = "64 kbps";
    f.AudioEncoder = "MPEG-2 Audio";
    f.Channel = "1 Channel Mono, 2 Channels Stereo";
    f.ChannelValue = 1;
    f.Volume = 256;
    return f;
}

// The presenter's side: what the posted events carried.
class TPresenter : public QObject {
public:
    int Done = 0;
    std::vector<TBatchEvent> Progress;
    std::function<void(const TBatchEvent&)> OnProgress;
    bool event(QEvent* e) override
    {
        if (e->type() == WM_BATCH_DONE) {
            ++Done;
            return true;
        }
        if (e->type() == WM_BATCH_PROGRESS) {
            const auto& b = static_cast<const TBatchEvent&>(*e);
            Progress.push_back(b);
            if (OnProgress) OnProgress(b);
            return true;
        }
        return QObject::event(e);
    }
};

// An observer whose engine-side handlers let a test act at an exact point of the batch.
class TTestObserver : public TBatchObserver {
public:
    using TBatchObserver::TBatchObserver;
    std::function<void(int)> AfterProgress, AfterTerminate;

protected:
    void HandleProgress(int index, int current, int total) override
    {
        TBatchObserver::HandleProgress(index, current, total);
        if (AfterProgress) AfterProgress(index);
    }
    void HandleTerminate(int index, bool finished, bool exception) override
    {
        TBatchObserver::HandleTerminate(index, finished, exception);
        if (AfterTerminate) AfterTerminate(index);
    }
};

class Batch : public ::testing::Test {
protected:
    void SetUp() override
    {
        App();
        ASSERT_TRUE(converter.InitEngine()) << converter.Engine.LastErrMsg();
        IniOptions.Formats = {TestProfile()};
        IniOptions.FormatCount = 1;
        converter.SetFormatIndex(0);
        outDir = fs::temp_directory_path() / ("kv_batch_" + std::to_string(::getpid()) + "_" +
                                              ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(outDir);
        fs::create_directories(outDir);
    }
    void TearDown() override { fs::remove_all(outDir); }

    // `count` sources of the same name and content, each a file of its own.
    void AddFiles(int count)
    {
        const std::vector<std::string> copies = kv::test::SeparateCopies(Clip, outDir, count);
        for (int i = 0; i < count; ++i) {
            ASSERT_EQ(converter.AddFile(copies[i]), i);
            converter.Files.Items(i).TrimLength = 1000;  // one second is enough
        }
    }
    std::vector<bool> TaskStates(bool (kv::engine::TFFmpeg::*state)())
    {
        std::vector<bool> states;
        for (int i = 0; i < converter.Engine.TaskCount(); ++i) states.push_back((converter.Engine.Task(i).*state)());
        return states;
    }
    std::vector<bool> PrepareAll()
    {
        std::vector<bool> queued;
        for (int i = 0; i < converter.Files.Count(); ++i)
            queued.push_back(converter.PrepareFile(i, outDir.string(), ".avi", 1));
        return queued;
    }
    std::vector<int> Statuses() const
    {
        std::vector<int> s;
        for (int i = 0; i < converter.Files.Count(); ++i) s.push_back(converter.Files.Items(i).Status);
        return s;
    }
    // Runs the batch to its end and lets the presenter finish it.
    void Run(TBatchObserver& observer, int threads = 1)
    {
        observer.BeginBatch(converter.Files.Count(), ".avi", threads);
        ASSERT_TRUE(WaitFor([&] { return presenter.Done > 0; })) << "the batch never ended";
        observer.FinishBatch();
        EXPECT_EQ(presenter.Done, 1);
        EXPECT_EQ(observer.RunState, rsTerminated);
        EXPECT_EQ(converter.Engine.TaskCount(), 0);
    }

    TZelConvert converter;
    TPresenter presenter;
    fs::path outDir;
};

TEST_F(Batch, ThreeFilesAllSucceed)
{
    AddFiles(3);
    EXPECT_EQ(PrepareAll(), std::vector<bool>({true, true, true}));
    TBatchObserver observer(converter, &presenter);
    Run(observer);
    EXPECT_EQ(Statuses(), std::vector<int>({1, 1, 1}));
    EXPECT_FALSE(observer.Cancelled);
    std::set<std::string> names;
    for (int i = 0; i < 3; ++i) {
        const std::string out = converter.Files.Items(i).OutputOptions.FileName;
        names.insert(fs::path(out).filename().string());
        kv::media::TAVProbe probe;
        ASSERT_TRUE(probe.OpenFile(out)) << out;
        EXPECT_GT(probe.GetFileSize(), 0);
    }
    EXPECT_EQ(names, std::set<std::string>({"avi_mpeg4_mp2.avi", "avi_mpeg4_mp2_1.avi", "avi_mpeg4_mp2_2.avi"}));
    for (const TBatchEvent& e : presenter.Progress) {
        EXPECT_EQ(e.FileIndex, e.TaskIndex);
        const TBatchProgress p = observer.Progress(e);
        EXPECT_EQ(p.Position, e.TaskIndex + 1);
        EXPECT_EQ(p.Total, 3);
        EXPECT_EQ(p.TotalSec, 1);
    }
}

TEST_F(Batch, CancelDuringSecondFile)
{
    AddFiles(3);
    PrepareAll();
    TTestObserver observer(converter, &presenter);
    // Confirmed at the second file's first report, on its own thread, so that the
    // file cannot end before the stop reaches it.
    std::atomic<bool> asked{false};
    observer.AfterProgress = [&](int index) {
        if (index == 1 && !asked.exchange(true)) {
            EXPECT_TRUE(observer.CancelBatch([] { return true; }));
        }
    };
    Run(observer);
    EXPECT_TRUE(asked);
    EXPECT_TRUE(observer.Cancelled);
    EXPECT_EQ(Statuses(), std::vector<int>({1, 3, 3}));
}

TEST_F(Batch, RefusedFileInTheMiddleKeepsNoOutcome)
{
    AddFiles(3);
    // The engine refuses this input: its forced format does not exist.
    converter.Files.Items(1).InputOptions.ForceFormat = "no_such_format";
    EXPECT_EQ(PrepareAll(), std::vector<bool>({true, false, true}));
    EXPECT_EQ(converter.FileIndexOfTask(0), 0);
    EXPECT_EQ(converter.FileIndexOfTask(1), 2);
    TBatchObserver observer(converter, &presenter);
    Run(observer);
    EXPECT_EQ(Statuses(), std::vector<int>({1, 0, 1}));
    ASSERT_FALSE(presenter.Progress.empty());
    for (const TBatchEvent& e : presenter.Progress) {
        EXPECT_EQ(e.FileIndex, e.TaskIndex == 0 ? 0 : 2);
        EXPECT_EQ(observer.Progress(e).Total, 2);
    }
    EXPECT_TRUE(fs::exists(converter.Files.Items(2).OutputOptions.FileName));
}

TEST_F(Batch, PauseAndResumeAfterFirstFileEnded)
{
    AddFiles(3);
    PrepareAll();
    TTestObserver observer(converter, &presenter);
    // Paused between the first file's end and the start of the second.
    std::atomic<int> stateAfterFirst{0};
    observer.AfterTerminate = [&](int index) {
        if (index != 0) return;
        observer.TogglePause();
        stateAfterFirst = observer.RunState;
    };
    // The second file's first report holds its thread until the checks below are done.
    std::atomic<bool> reached{false}, release{false}, pausedAtReport{false};
    observer.AfterProgress = [&](int index) {
        if (index != 1 || reached) return;
        pausedAtReport = converter.Engine.Task(1).IsPaused();
        reached = true;
        for (int i = 0; i < 60000 && !release; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
    observer.BeginBatch(3, ".avi");
    ASSERT_TRUE(WaitFor([&] { return reached.load(); }));
    EXPECT_EQ(stateAfterFirst, rsPaused);
    // The second file started after the pause and was paused at its first report.
    EXPECT_TRUE(pausedAtReport);
    EXPECT_EQ(converter.Files.Items(0).Status, 1);
    EXPECT_EQ(converter.Files.Items(1).Status, 0);
    // Cancel answered No while paused: still paused.
    EXPECT_FALSE(observer.CancelBatch([] { return false; }));
    EXPECT_EQ(observer.RunState, rsPaused);
    observer.TogglePause();
    EXPECT_EQ(observer.RunState, rsRunning);
    EXPECT_FALSE(converter.Engine.Task(1).IsPaused());
    // Cancel answered No while running: paused during the question, running after it.
    bool pausedDuringQuestion = false;
    EXPECT_FALSE(observer.CancelBatch([&] {
        pausedDuringQuestion = observer.RunState == rsPaused && converter.Engine.Task(1).IsPaused();
        return false;
    }));
    EXPECT_TRUE(pausedDuringQuestion);
    EXPECT_EQ(observer.RunState, rsRunning);
    release = true;
    ASSERT_TRUE(WaitFor([&] { return presenter.Done > 0; }));
    observer.FinishBatch();
    EXPECT_EQ(Statuses(), std::vector<int>({1, 1, 1}));
    EXPECT_FALSE(observer.Cancelled);
}

// Two files at once: never more running, every file converted, and the figures
// counting the files started and the media time of all files.
TEST_F(Batch, TwoAtOnce)
{
    AddFiles(4);
    PrepareAll();
    TTestObserver observer(converter, &presenter);
    std::atomic<int> mostRunning{0};
    observer.AfterProgress = [&](int) {
        int running = 0;
        for (bool r : TaskStates(&kv::engine::TFFmpeg::IsRunning)) running += r ? 1 : 0;
        if (running > mostRunning) mostRunning = running;
    };
    std::vector<int> positions, percents;
    presenter.OnProgress = [&](const TBatchEvent& e) {
        const TBatchProgress p = observer.Progress(e);
        positions.push_back(p.Position);
        percents.push_back(p.BatchPercent);
        EXPECT_EQ(p.Total, 4);
        const TBatchSnapshot s = observer.Snapshot();
        EXPECT_LE(s.Running.size(), 2u);
        for (const TRunningFile& r : s.Running) {
            EXPECT_EQ(r.FileIndex, r.TaskIndex);
            EXPECT_EQ(r.TotalSec, 1);
        }
    };
    Run(observer, 2);
    EXPECT_EQ(Statuses(), std::vector<int>({1, 1, 1, 1}));
    EXPECT_LE(mostRunning, 2);
    ASSERT_FALSE(positions.empty());
    EXPECT_TRUE(std::is_sorted(positions.begin(), positions.end()));
    EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end()));
    EXPECT_GE(positions.front(), 1);
    EXPECT_LE(positions.back(), 4);
    const TBatchSnapshot end = observer.Snapshot();
    EXPECT_EQ(end.Started, 4);
    EXPECT_TRUE(end.Running.empty());
    EXPECT_EQ(end.TotalMs, 4000);
    EXPECT_EQ(end.ConvertedMs, 4000);
    EXPECT_EQ(end.Percent, 100);
    // The batch's clock stopped with it.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(observer.Snapshot().ElapsedMs, end.ElapsedMs);
    for (int i = 0; i < 4; ++i) {
        kv::media::TAVProbe probe;
        EXPECT_TRUE(probe.OpenFile(converter.Files.Items(i).OutputOptions.FileName)) << i;
    }
}

TEST_F(Batch, PauseResumeAndCancelActOnEveryRunningFile)
{
    AddFiles(4);
    PrepareAll();
    TBatchObserver observer(converter, &presenter);
    // Each running file waits on this thread for its first preview hand-off, so none
    // can end before this thread lets it.
    observer.BeginBatch(4, ".avi", 2);
    using kv::engine::TFFmpeg;
    const std::vector<bool> firstTwo{true, true, false, false}, none(4, false);
    EXPECT_EQ(TaskStates(&TFFmpeg::IsRunning), firstTwo);
    observer.TogglePause();
    EXPECT_EQ(TaskStates(&TFFmpeg::IsPaused), firstTwo);
    const std::int64_t elapsed = observer.Snapshot().ElapsedMs;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(observer.Snapshot().ElapsedMs, elapsed);  // paused time is not running time
    observer.TogglePause();
    EXPECT_EQ(TaskStates(&TFFmpeg::IsPaused), none);
    bool pausedDuringQuestion = false;
    EXPECT_TRUE(observer.CancelBatch([&] {
        pausedDuringQuestion = TaskStates(&TFFmpeg::IsPaused) == firstTwo;
        return true;
    }));
    EXPECT_TRUE(pausedDuringQuestion);
    ASSERT_TRUE(WaitFor([&] { return presenter.Done > 0; }));
    observer.FinishBatch();
    EXPECT_EQ(Statuses(), std::vector<int>({3, 3, 3, 3}));
    EXPECT_EQ(observer.Snapshot().Started, 2);
}

TEST_F(Batch, PreparationErrorClearsQueuedTasks)
{
    AddFiles(2);
    EXPECT_TRUE(converter.PrepareFile(0, outDir.string(), ".avi", 1));
    EXPECT_EQ(converter.Engine.TaskCount(), 1);
    IniOptions.Formats[0].SampleRateValue = 5;  // no such entry
    EXPECT_THROW(converter.PrepareFile(1, outDir.string(), ".avi", 1), EListError);
    EXPECT_EQ(converter.Engine.TaskCount(), 0);
    EXPECT_EQ(converter.TaskCount(), 0);
}

TEST_F(Batch, NoTaskStillEndsTheBatch)
{
    AddFiles(1);
    converter.Files.Items(0).InputOptions.ForceFormat = "no_such_format";
    EXPECT_EQ(PrepareAll(), std::vector<bool>({false}));
    TBatchObserver observer(converter, &presenter);
    Run(observer);
    EXPECT_EQ(Statuses(), std::vector<int>({0}));
}

// Every profile of the shipped catalogue converts a generated clip into a file
// that opens again with the streams the profile promises.
TEST_F(Batch, EveryShippedProfileConverts)
{
    const std::string ini = std::string(KV_STAGE_DIR) + "/kestravo.ini";
    if (!fs::exists(ini)) GTEST_SKIP() << "no staged catalogue at " << ini;
    TIniOptions catalogue;
    catalogue.LoadFromFile(ini);
    ASSERT_GT(catalogue.FormatCount, 0);
    IniOptions.Formats = catalogue.Formats;
    IniOptions.FormatCount = catalogue.FormatCount;
    AddFiles(1);
    for (int i = 0; i < catalogue.FormatCount; ++i) {
        const TFormatRec& f = catalogue.Formats[static_cast<std::size_t>(i)];
        SCOPED_TRACE(f.Name);
        converter.SetFormatIndex(i);
        converter.Files.Items(0).Status = 0;
        ASSERT_TRUE(converter.PrepareFile(0, outDir.string(), f.Ext, f.Category)) << converter.Engine.LastErrMsg();
        presenter.Done = 0;
        TBatchObserver observer(converter, &presenter);
        Run(observer);
        EXPECT_EQ(converter.Files.Items(0).Status, 1);
        const std::string out = converter.Files.Items(0).OutputOptions.FileName;
        kv::media::TAVProbe probe;
        ASSERT_TRUE(probe.OpenFile(out)) << out;
        EXPECT_EQ(probe.AudioStreamCount(), 1);
        EXPECT_EQ(probe.VideoStreamCount(), f.Category == 1 ? 1 : 0);
        kv::media::TFileStreamInfo info;
        probe.GetFileStreamInfo(info);
        EXPECT_GT(info.Duration, 500000);
        probe.Close();
        fs::remove(out);
    }
}

}  // namespace
