// Batches through the controller and the batch protocol: outcomes in the records,
// progress attributed to the right file, pause and cancel across files, every shipped
// profile converting a generated clip, and the faults of a long batch (files that
// change or vanish before their turn, a folder that goes away or refuses writing, a
// thousand files within a desktop's open-file limit). In every test the sources keep
// their content and the output folder holds nothing but the outputs of the files that
// succeeded.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEvent>
#include <QObject>

#include <linux/capability.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <csignal>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/CoreApplication.h"
#include "tests/support/EventLoop.h"
#include "tests/support/VideoConvert.h"
#include "engine/FFmpegTask.h"
#include "media/AVFormatStubs.h"
#include "media/AVProbe.h"
#include "media/AVUtilStubs.h"
#include "media/MyUtils.h"
#include "workflow/BatchObserver.h"
#include "workflow/IniOptions.h"
#include "workflow/ListError.h"
#include "workflow/SourceTracks.h"
#include "workflow/ZelConvert.h"

using namespace kv::workflow;
namespace fs = std::filesystem;

namespace {

const std::string MediaDir = KV_TEST_MEDIA_DIR;
const std::string Clip = MediaDir + "/avi_mpeg4_mp2.avi";
const std::string TinyClip = MediaDir + "/tiny_64x48.avi";
const std::string LongClip = MediaDir + "/long_320x240.avi";   // 40 s: seconds of work

// FNV-1a of the file's bytes; 0 for a file that cannot be read.
std::uint64_t ContentHash(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) return 0;
    std::uint64_t h = 14695981039346656037ull;
    char buffer[65536];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        for (std::streamsize i = 0; i < in.gcount(); ++i) {
            h ^= static_cast<unsigned char>(buffer[i]);
            h *= 1099511628211ull;
        }
    }
    return h;
}

// The targets of the process's open file descriptors.
std::multiset<std::string> OpenFiles()
{
    std::multiset<std::string> targets;
    std::error_code ec;
    for (const auto& fd : fs::directory_iterator("/proc/self/fd", ec)) {
        const fs::path target = fs::read_symlink(fd.path(), ec);
        if (!ec) targets.insert(target.string());
    }
    return targets;
}

// The soft limit of open files lowered to `limit` while it lives.
class TOpenFileLimit {
public:
    explicit TOpenFileLimit(rlim_t limit)
    {
        if (::getrlimit(RLIMIT_NOFILE, &FSaved) != 0 || FSaved.rlim_max < limit) return;
        rlimit lowered = FSaved;
        lowered.rlim_cur = limit;
        Active = ::setrlimit(RLIMIT_NOFILE, &lowered) == 0;
    }
    ~TOpenFileLimit()
    {
        if (Active) ::setrlimit(RLIMIT_NOFILE, &FSaved);
    }
    TOpenFileLimit(const TOpenFileLimit&) = delete;
    TOpenFileLimit& operator=(const TOpenFileLimit&) = delete;
    bool Active = false;

private:
    rlimit FSaved{};
};

// While it lives, the folder permissions hold for this thread and the threads it starts,
// also when the tests run as root (whose file-access override it sets aside).
class TPermissionsHold {
public:
    TPermissionsHold()
    {
        if (::geteuid() != 0) {
            Active = true;
            return;
        }
        if (::syscall(SYS_capget, &FHeader, FSaved) != 0) return;
        __user_cap_data_struct lowered[2] = {FSaved[0], FSaved[1]};
        lowered[0].effective &= ~(1u << CAP_DAC_OVERRIDE);
        Active = FRestore = ::syscall(SYS_capset, &FHeader, lowered) == 0;
    }
    ~TPermissionsHold()
    {
        if (FRestore) ::syscall(SYS_capset, &FHeader, FSaved);
    }
    TPermissionsHold(const TPermissionsHold&) = delete;
    TPermissionsHold& operator=(const TPermissionsHold&) = delete;
    bool Active = false;

private:
    __user_cap_header_struct FHeader{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct FSaved[2] = {};
    bool FRestore = false;
};

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

// The tiny clip's own size and sound: the least work a conversion can be.
TFormatRec TinyProfile()
{
    TFormatRec f = TestProfile();
    f.Resolution = "64*48";
    f.SampleRate = "8000 Hz";
    f.AudioEncoder = "WAV";
    f.ChannelValue = 0;
    return f;
}

// The presenter's side: what the posted events carried.
class TPresenter : public QObject {
public:
    int Done = 0;
    std::vector<TBatchEvent> Progress;
    std::vector<int> FrameTasks;  // the task of each preview frame
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
        if (e->type() == WM_PREVIEW_FRAME) {
            FrameTasks.push_back(static_cast<const TBatchEvent&>(*e).TaskIndex);
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
    std::array<std::atomic<int>, 8> FramesOffered{};  // per task; counted on the presenter's thread
    std::atomic<int> FirstOffered{-1};                 // the task of the first frame offered

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
    void HandlePreview(int index, kv::media::TBitmap& bitmap) override
    {
        if (index >= 0 && index < static_cast<int>(FramesOffered.size())) ++FramesOffered[static_cast<std::size_t>(index)];
        int none = -1;
        FirstOffered.compare_exchange_strong(none, index);
        TBatchObserver::HandlePreview(index, bitmap);
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
        srcDir = outDir.string() + "_sources";
        fs::remove_all(outDir);
        fs::remove_all(srcDir);
        fs::create_directories(outDir);
        fs::create_directories(srcDir);
    }
    void TearDown() override
    {
        for (const auto& [path, hash] : sourceHashes) EXPECT_EQ(ContentHash(path), hash) << path << " changed";
        std::error_code ec;
        fs::permissions(outDir, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(outDir, ec);
        fs::remove_all(srcDir, ec);
    }

    // Lists the file; its content is checked again when the test ends.
    void Add(const std::string& path, std::int64_t trimLength = 1000)
    {
        const int index = converter.AddFile(path);
        ASSERT_GE(index, 0) << converter.LastAddError();
        converter.Files.Items(index).TrimLength = trimLength;
        if (!sourceHashes.count(path)) sourceHashes[path] = ContentHash(path);
    }
    // `count` sources of the same name and content, each a file of its own; one second
    // of each is enough.
    void AddFiles(int count, const std::string& clip = Clip)
    {
        for (const std::string& copy : kv::test::SeparateCopies(clip, srcDir, count)) Add(copy);
    }
    // A copy of `clip` among the sources, under `name`.
    std::string CopyOf(const std::string& clip, const std::string& name)
    {
        const std::string path = (srcDir / name).string();
        fs::copy_file(clip, path);
        return path;
    }
    std::vector<bool> TaskStates(bool (kv::engine::TFFmpeg::*state)())
    {
        std::vector<bool> states;
        for (int i = 0; i < converter.Engine.TaskCount(); ++i) states.push_back(((*converter.Engine.Task(i)).*state)());
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
    std::vector<std::string> Reasons() const
    {
        std::vector<std::string> r;
        for (int i = 0; i < converter.Files.Count(); ++i) r.push_back(converter.Files.Items(i).Reason);
        return r;
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
        ExpectOnlySucceededOutputs();
    }
    // What the result names is there, and nothing else is: no output of a file that
    // failed, was cancelled or never started.
    void ExpectOnlySucceededOutputs() const
    {
        std::set<std::string> named;
        for (int i = 0; i < converter.Files.Count(); ++i) {
            const TInputFile& f = converter.Files.Items(i);
            if (f.Status != 1) continue;
            named.insert(f.OutputOptions.FileName);
            EXPECT_GT(kv::media::GetFileSizeByName(f.OutputOptions.FileName), 0) << f.OutputOptions.FileName;
        }
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(outDir, ec))
            EXPECT_TRUE(named.count(entry.path().string())) << entry.path() << " left behind";
    }

    TZelConvert converter;
    TPresenter presenter;
    fs::path outDir, srcDir;
    std::map<std::string, std::uint64_t> sourceHashes;
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

// A finished file tells what its output could not keep.
TEST_F(Batch, FinishedFileNamesTheTracksItsOutputLeftOut)
{
    Add(CopyOf(kv::test::MediaFile("subtitles_chapters.mkv"), "film.mkv"));
    AddFiles(1);
    EXPECT_EQ(PrepareAll(), std::vector<bool>({true, true}));
    TBatchObserver observer(converter, &presenter);
    Run(observer);
    EXPECT_EQ(Statuses(), std::vector<int>({1, 1}));
    EXPECT_EQ(Reasons(), std::vector<std::string>({"2 subtitle tracks not kept: the container takes none", ""}));
}

// The sound track chosen for a file reaches its output of one track (an AVI keeps the
// track's title), and a subtitle track drawn into its picture is no track left out.
TEST_F(Batch, TheFilesTrackChoicesReachItsOutput)
{
    Add(CopyOf(kv::test::MediaFile("two_languages.mkv"), "film.mkv"));
    Add(CopyOf(kv::test::MediaFile("box_cues.mkv"), "boxes.mkv"));
    converter.Files.Items(0).SoundTrack = 0;    // English, where French is the default
    converter.Files.Items(1).BurntSubtitle = 1; // the boxes
    EXPECT_EQ(PrepareAll(), std::vector<bool>({true, true}));
    TBatchObserver observer(converter, &presenter);
    Run(observer);
    EXPECT_EQ(Statuses(), std::vector<int>({1, 1}));
    kv::media::TAVProbe probe;
    ASSERT_TRUE(probe.OpenFile(converter.Files.Items(0).OutputOptions.FileName));
    ASSERT_GE(probe.FirstAudioStream(), 0);
    const AVDictionaryEntry* title =
        av::av_dict_get(probe.FormatContext()->streams[probe.FirstAudioStream()]->metadata, "title", nullptr, 0);
    ASSERT_NE(title, nullptr);
    EXPECT_STREQ(title->value, "English");
    EXPECT_EQ(Reasons(), std::vector<std::string>({"1 sound track not kept: the container takes one",
                                                   CanBurnSubtitles() ? "1 subtitle track not kept: the container takes none"
                                                                      : "2 subtitle tracks not kept: the container takes none"}));
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
    EXPECT_EQ(Reasons()[1], "Unknown input format: no_such_format");
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
        pausedAtReport = converter.Engine.Task(1)->IsPaused();
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
    EXPECT_FALSE(converter.Engine.Task(1)->IsPaused());
    // Cancel answered No while running: paused during the question, running after it.
    bool pausedDuringQuestion = false;
    EXPECT_FALSE(observer.CancelBatch([&] {
        pausedDuringQuestion = observer.RunState == rsPaused && converter.Engine.Task(1)->IsPaused();
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

// Frames of two files in turn would flicker: while both run, the picture is one file's.
TEST_F(Batch, ThePreviewStaysWithOneFileWhileItRuns)
{
    AddFiles(2, LongClip);
    PrepareAll();
    TTestObserver observer(converter, &presenter);
    // The file whose frame came first is shown; a report of it holds it, unfinished,
    // while the other file offers frames. Its end waits for the hold: it is reported
    // under the same lock.
    std::atomic<bool> held{false}, release{false};
    observer.AfterProgress = [&](int index) {
        if (index != observer.FirstOffered || held.exchange(true)) return;
        for (int i = 0; i < 60000 && !release; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
    observer.BeginBatch(2, ".avi", 2);
    const bool isHeld = WaitFor([&] { return held.load(); }, 60);
    const int shown = observer.FirstOffered, other = 1 - shown;
    // The other file may already have ended, or wait for the lock itself: then it offers nothing.
    const int offeredBefore = observer.FramesOffered[static_cast<std::size_t>(other)];
    WaitFor([&] { return observer.FramesOffered[static_cast<std::size_t>(other)] > offeredBefore; }, 2);
    const std::vector<int> shownWhileHeld = presenter.FrameTasks;
    release = true;
    ASSERT_TRUE(isHeld);
    ASSERT_TRUE(WaitFor([&] { return presenter.Done > 0; }));
    observer.FinishBatch();
    EXPECT_EQ(Statuses(), std::vector<int>({1, 1}));
    ASSERT_FALSE(shownWhileHeld.empty());
    EXPECT_EQ(std::set<int>(shownWhileHeld.begin(), shownWhileHeld.end()), std::set<int>({shown}))
        << ::testing::PrintToString(shownWhileHeld);
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

// A file whose output cannot be written to the end fails with the system's reason, and
// what it wrote goes; the files around it convert.
TEST_F(Batch, FailedWriteRemovesItsOutputAndSaysWhy)
{
    enum { DiskFull, SizeLimit };
    for (int fault : {DiskFull, SizeLimit}) {
        SCOPED_TRACE(fault == DiskFull ? "disk full" : "size limit");
        if (fault == DiskFull && !fs::exists("/dev/full")) continue;
        converter.ClearFiles();
        fs::remove_all(outDir);
        fs::create_directories(outDir);
        presenter.Done = 0;
        AddFiles(3);
        PrepareAll();
        const std::string output = converter.Files.Items(1).OutputOptions.FileName;
        TTestObserver observer(converter, &presenter);
        // The output is made when its task starts, under the name it was given: a link made
        // now sends every write of it to a full disk.
        if (fault == DiskFull) fs::create_symlink("/dev/full", output);
        // A size limit for the second file alone: it fails part-way, with bytes written.
        const rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY}, small{8192, RLIM_INFINITY};
        const auto previous = std::signal(SIGXFSZ, SIG_IGN);
        if (fault == SizeLimit)
            observer.AfterTerminate = [&](int index) {
                if (index == 0) ::setrlimit(RLIMIT_FSIZE, &small);
                if (index == 1) ::setrlimit(RLIMIT_FSIZE, &unlimited);
            };
        Run(observer);
        std::signal(SIGXFSZ, previous);
        EXPECT_EQ(Statuses(), std::vector<int>({1, 2, 1}));
        EXPECT_EQ(Reasons()[1], "Could not write '" + output + "': " +
                                    (fault == DiskFull ? "No space left on device" : "File too large"));
        EXPECT_FALSE(fs::exists(fs::symlink_status(output)));
    }
}

TEST_F(Batch, OutputFolderRemovedMidBatch)
{
    AddFiles(3);
    PrepareAll();
    TTestObserver observer(converter, &presenter);
    std::atomic<bool> removed{false};
    observer.AfterProgress = [&](int index) {
        if (index == 0 && !removed.exchange(true)) fs::remove_all(outDir);
    };
    Run(observer);
    ASSERT_TRUE(removed);
    EXPECT_EQ(Statuses(), std::vector<int>({2, 2, 2}));
    const std::vector<std::string> reasons = Reasons();
    EXPECT_EQ(reasons[0], "Could not write '" + converter.Files.Items(0).OutputOptions.FileName +
                              "': No such file or directory");
    for (int i : {1, 2})
        EXPECT_EQ(reasons[i], "Could not open '" + converter.Files.Items(i).OutputOptions.FileName +
                                  "': No such file or directory");
    EXPECT_FALSE(fs::exists(outDir));
}

// Between admission and its turn a source is deleted, or cut to nothing: that file
// fails with its reason, the others convert.
TEST_F(Batch, SourceChangedBeforeItsTurn)
{
    const std::string deleted = CopyOf(Clip, "deleted.avi");
    const std::string emptied = CopyOf(Clip, "emptied.avi");
    Add(CopyOf(Clip, "first.avi"));
    Add(deleted);
    Add(emptied);
    Add(CopyOf(Clip, "last.avi"));
    sourceHashes.erase(deleted);
    sourceHashes.erase(emptied);
    PrepareAll();
    fs::remove(deleted);
    fs::resize_file(emptied, 0);
    TBatchObserver observer(converter, &presenter);
    Run(observer);
    EXPECT_EQ(Statuses(), std::vector<int>({1, 2, 2, 1}));
    EXPECT_EQ(Reasons()[1], deleted + ": no such file or directory");
    EXPECT_EQ(Reasons()[2].rfind(emptied + ": ", 0), 0u) << Reasons()[2];
}

TEST_F(Batch, ReadOnlyOutputFolderFailsEveryFileWithTheReason)
{
    AddFiles(2);
    fs::permissions(outDir, fs::perms(0555));
    TPermissionsHold hold;
    if (!hold.Active) GTEST_SKIP() << "cannot hold the folder's permissions";
    ASSERT_TRUE(converter.PrepareBatch(outDir.string()));
    TBatchObserver observer(converter, &presenter);
    Run(observer);
    EXPECT_EQ(Statuses(), std::vector<int>({2, 2}));
    for (int i : {0, 1})
        EXPECT_EQ(Reasons()[i], "Could not open '" + converter.Files.Items(i).OutputOptions.FileName +
                                    "': Permission denied");
}

// An output name one character longer than a file name may be fails that file with the
// reason; it had a task like every other file.
TEST_F(Batch, OutputNameTooLongFailsThatFile)
{
    const std::string longest = CopyOf(Clip, std::string(252, 'a') + ".ts");  // 255 characters
    Add(longest);
    Add(Clip);
    PrepareAll();
    TBatchObserver observer(converter, &presenter);
    Run(observer);
    EXPECT_EQ(Statuses(), std::vector<int>({2, 1}));
    EXPECT_EQ(Reasons()[0], "Could not open '" + converter.Files.Items(0).OutputOptions.FileName +
                                "': File name too long");
}

// 1001 files (copies of one tiny clip: a list takes each file once) with the 1024 open
// files of a desktop session: the first 1000 are queued without holding a file open and
// all convert; the last gets no task, keeps "-" and says why.
TEST_F(Batch, ThousandFilesWithinTheOpenFileLimit)
{
    IniOptions.Formats = {TinyProfile()};
    const TOpenFileLimit desktop(1024);
    ASSERT_TRUE(desktop.Active);
    for (int i = 0; i <= MaxBatchFiles; ++i) Add(CopyOf(TinyClip, "tiny_" + std::to_string(i) + ".avi"), 1200);
    const std::multiset<std::string> openBefore = OpenFiles();
    ASSERT_TRUE(converter.PrepareBatch(outDir.string()));
    EXPECT_EQ(OpenFiles(), openBefore) << "a queued task holds a file open";
    TBatchObserver observer(converter, &presenter);
    Run(observer, 2);
    for (int i = 0; i < MaxBatchFiles; ++i) {
        ASSERT_EQ(converter.Files.Items(i).Status, 1) << i << ": " << converter.Files.Items(i).Reason;
    }
    const TInputFile& last = converter.Files.Items(MaxBatchFiles);
    EXPECT_EQ(last.Status, 0);
    EXPECT_EQ(last.Reason, "Not converted: one batch converts at most 1000 files.");
}

}  // namespace
