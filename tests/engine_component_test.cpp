#include <gtest/gtest.h>

#include <QCoreApplication>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <regex>
#include <set>
#include <thread>
#include <unistd.h>

#include "tests/support/CoreApplication.h"
#include "engine/FFmpegTask.h"
#include "engine/FFmpegVCL.h"
#include "engine/LogList.h"
#include "media/AVProbe.h"
#include "media/AVUtilStubs.h"
#include "media/FFUtils.h"
#include "media/FFmpegLoader.h"
#include "platform/ThreadPriority.h"
#include "media/Previewer.h"
#include "platform/UiThread.h"

using namespace kv::engine;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

using kvtest::App;

struct TermEvent {
    int index;
    bool finished, exception;
    std::string message;
    std::uint32_t thread;
    bool operator==(const TermEvent& o) const
    {
        return index == o.index && finished == o.finished && exception == o.exception && message == o.message;
    }
};

struct LogEvent {
    int index;
    TLogLevel level;
    std::string text;
};

// Records the events of one component; the batch end releases Wait().
class Recorder {
public:
    explicit Recorder(TFFmpegVCL& vcl)
    {
        vcl.OnTerminate = [this](int index, bool finished, bool exception, const std::string& message) {
            std::lock_guard lock(lock_);
            terms_.push_back({index, finished, exception, message, kv::platform::CurrentThreadId()});
            if (index == -1) ended_ = true;
        };
        vcl.OnLog = [this](int index, TLogLevel level, const std::string& text) {
            std::lock_guard lock(lock_);
            logs_.push_back({index, level, text});
        };
    }
    // Runs the UI thread's events until the batch has ended.
    bool Wait()
    {
        auto deadline = std::chrono::steady_clock::now() + 30s;
        while (std::chrono::steady_clock::now() < deadline) {
            {
                std::lock_guard lock(lock_);
                if (ended_) return true;
            }
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            std::this_thread::sleep_for(1ms);
        }
        return false;
    }
    std::vector<TermEvent> Terms()
    {
        std::lock_guard lock(lock_);
        return terms_;
    }
    std::vector<LogEvent> Logs()
    {
        std::lock_guard lock(lock_);
        return logs_;
    }

private:
    std::mutex lock_;
    std::vector<TermEvent> terms_;
    std::vector<LogEvent> logs_;
    bool ended_ = false;
};

const std::string MediaDir = std::string(KV_TEST_MEDIA_DIR) + "/";

class EngineComponent : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        ASSERT_TRUE(kv::media::FFLoader.LoadLibs(kv::media::EngineLibraries)) << kv::media::FFLoader.LastErrMsg();
    }
    void SetUp() override
    {
        App();
        outDir_ = fs::temp_directory_path() / ("kv_engine_component_" + std::to_string(::getpid()));
        fs::create_directories(outDir_);
    }
    void TearDown() override { fs::remove_all(outDir_); }

    std::string Out(const std::string& name) const { return (outDir_ / name).string(); }

    // A task that remuxes a clip by stream copy (or with the given codec options); a paced
    // one reads its input at the clip's own rate, so it runs for the clip's length (2 s).
    int AddTask(TFFmpegVCL& vcl, bool withOutput = true, bool paced = false, const char* clip = "avi_mpeg4_mp2.avi",
                const char* codecs = "vcodec=copy\nacodec=copy")
    {
        TInputOptions input;
        if (paced) input.ExtOptions = "re=1";
        int index = vcl.AddInputFile(MediaDir + clip, &input);
        EXPECT_GE(index, 0) << vcl.LastErrMsg();
        if (withOutput && index >= 0) {
            TOutputOptions output;
            output.ExtOptions = codecs;
            EXPECT_TRUE(vcl.SetOutputFile(index, Out("out" + std::to_string(++outputs_) + ".avi"), &output))
                << vcl.LastErrMsg();
        }
        return index;
    }

    template <class Pred>
    static bool WaitFor(Pred pred)
    {
        auto deadline = std::chrono::steady_clock::now() + 30s;
        while (!pred()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(1ms);
        }
        return true;
    }

private:
    fs::path outDir_;
    int outputs_ = 0;
};

const TermEvent BatchEnd{-1, true, false, "", 0};
const char* const ReencodeVideo = "vcodec=mpeg4\nacodec=copy";

}  // namespace

TEST_F(EngineComponent, PropertiesAndTheirDefaults)
{
    TFFmpegVCL vcl;
    EXPECT_EQ(vcl.LogLevel(), llInfo);
    EXPECT_EQ(vcl.ProgressInterval(), 500);
    EXPECT_EQ(vcl.ThreadPriority(), tpNormal);
    EXPECT_FALSE(vcl.Preview());
    EXPECT_FALSE(vcl.PreviewBitmap());
    EXPECT_EQ(vcl.Version(), "2.3a");
    const std::pair<int, int> intervals[] = {{50, 100}, {100, 100}, {-5, 100}, {101, 101}, {500, 500}};
    for (auto [set, read] : intervals) {
        vcl.SetProgressInterval(set);
        EXPECT_EQ(vcl.ProgressInterval(), read) << set;
    }
}

TEST_F(EngineComponent, AddingAndRefusingTasks)
{
    TFFmpegVCL vcl;
    const std::string clip = MediaDir + "avi_mpeg4_mp2.avi";
    TInputOptions input;
    EXPECT_EQ(vcl.AddInputFile(clip, &input), 0) << vcl.LastErrMsg();
    EXPECT_EQ(input.FileName, clip);
    EXPECT_EQ(vcl.Task(0)->InputOptions.FileName, clip);
    // The task's probe looks at the opened input.
    kv::media::TAVProbe& probe = *vcl.Task(0)->Probe;
    EXPECT_EQ(probe.FormatContext(), vcl.Task(0)->InputFiles[0]);
    EXPECT_FALSE(probe.OwnsContext());
    EXPECT_EQ(probe.VideoStreamCount(), 1);
    EXPECT_EQ(probe.AudioStreamCount(), 1);

    // Refused inputs: a missing file, bytes of no format, a bad option value.
    const std::string missing = MediaDir + "no_such_clip.avi";
    EXPECT_EQ(vcl.AddInputFile(missing, nullptr), -1);
    EXPECT_EQ(vcl.LastErrMsg(), kv::media::OpenErrorText(missing, AVERROR(ENOENT)));
    const std::string random = MediaDir + "random.bin";
    EXPECT_EQ(vcl.AddInputFile(random, nullptr), -1);
    EXPECT_EQ(vcl.LastErrMsg().rfind(random, 0), 0u) << vcl.LastErrMsg();
    input = {};
    input.ExtOptions = "pass=3";
    EXPECT_EQ(vcl.AddInputFile(clip, &input), -1);
    EXPECT_EQ(vcl.LastErrMsg(), "pass number can be only 1 or 2");
    EXPECT_EQ(vcl.TaskCount(), 1);

    TOutputOptions output;
    const std::string unknown = Out("out.no-such-extension");
    EXPECT_FALSE(vcl.SetOutputFile(0, unknown, &output));
    EXPECT_EQ(vcl.LastErrMsg(), "Unable to find a suitable output format for '" + unknown + "'");
    EXPECT_EQ(output.FileName, unknown);
    EXPECT_FALSE(fs::exists(unknown));
    EXPECT_EQ(vcl.TaskCount(), 1);
    EXPECT_TRUE(vcl.SetOutputFile(0, Out("out.avi"), nullptr)) << vcl.LastErrMsg();
    EXPECT_THROW(vcl.SetOutputFile(3, Out("out.avi"), nullptr), std::out_of_range);
    EXPECT_THROW(vcl.RemoveTask(-1), std::out_of_range);

    vcl.ClearTasks();
    EXPECT_EQ(vcl.TaskCount(), 0);
    EXPECT_EQ(vcl.LastErrMsg(), "");
}

// A task queued with AddTask is checked at once but opens its files, and creates its
// output, only when it starts.
TEST_F(EngineComponent, QueuedTasksOpenTheirFilesWhenTheyStart)
{
    TFFmpegVCL vcl;
    Recorder events(vcl);
    const std::string clip = MediaDir + "avi_mpeg4_mp2.avi";
    const std::string unknown = Out("late.no-such-extension");
    EXPECT_EQ(vcl.AddTask(clip, nullptr, unknown, nullptr), -1);
    EXPECT_EQ(vcl.LastErrMsg(), "Unable to find a suitable output format for '" + unknown + "'");
    EXPECT_EQ(vcl.TaskCount(), 0);   // no task is left behind

    TOutputOptions output;
    output.ExtOptions = ReencodeVideo;
    EXPECT_EQ(vcl.AddTask(clip, nullptr, Out("late.avi"), &output), 0) << vcl.LastErrMsg();
    EXPECT_EQ(vcl.AddTask(clip, nullptr, Out("gone/late.avi"), nullptr), 1) << vcl.LastErrMsg();
    EXPECT_FALSE(fs::exists(Out("late.avi")));
    for (int i : {0, 1}) EXPECT_EQ(vcl.Task(i)->InputFileCount + vcl.Task(i)->OutputFileCount, 0);

    vcl.StartConvert(1);
    ASSERT_TRUE(events.Wait());
    const std::vector<TermEvent> expected{
        {0, true, false, "", 0},
        {1, false, true, "Could not open '" + Out("gone/late.avi") + "': No such file or directory", 0},
        BatchEnd};
    EXPECT_EQ(events.Terms(), expected);
    kv::media::TAVProbe probe;
    ASSERT_TRUE(probe.OpenFile(Out("late.avi"))) << probe.LastError();
    EXPECT_EQ(probe.VideoStreamCount(), 1);
    EXPECT_EQ(probe.AudioStreamCount(), 1);
}

TEST_F(EngineComponent, ClearingPreviewFreesTheTasksPreviewers)
{
    TFFmpegVCL vcl;
    AddTask(vcl);
    vcl.SetPreview(true);
    EXPECT_EQ(vcl.Task(0)->PreviewFlags, 1);
    vcl.Task(0)->PreviewWindow = std::make_unique<kv::media::TPreviewer>();
    vcl.SetPreviewBitmap(false);  // the other bit keeps it
    EXPECT_NE(vcl.Task(0)->PreviewWindow, nullptr);
    vcl.SetPreview(false);
    EXPECT_EQ(vcl.Task(0)->PreviewFlags, 0);
    EXPECT_EQ(vcl.Task(0)->PreviewWindow, nullptr);
}

TEST_F(EngineComponent, RemovingATaskRenumbersTheLaterOnes)
{
    TFFmpegVCL vcl;
    Recorder events(vcl);
    for (int i = 0; i < 3; ++i) AddTask(vcl);
    TFFmpeg* second = vcl.Task(1).get();
    vcl.RemoveTask(0);
    ASSERT_EQ(vcl.TaskCount(), 2);
    EXPECT_EQ(vcl.Task(0).get(), second);
    EXPECT_EQ(vcl.Task(0)->TaskIndex, 0);
    EXPECT_EQ(vcl.Task(1)->TaskIndex, 1);

    vcl.StartConvert(1);
    ASSERT_TRUE(events.Wait());
    const std::vector<TermEvent> expected{{0, true, false, "", 0}, {1, true, false, "", 0}, BatchEnd};
    EXPECT_EQ(events.Terms(), expected);
}

TEST_F(EngineComponent, AHeldTaskOutlivesItsRemovalStoppedAndClosed)
{
    for (bool clear : {false, true}) {
        TFFmpegVCL vcl;
        Recorder events(vcl);
        AddTask(vcl, true, true);
        vcl.Task(0)->SetPaused(true);   // halts at its first loop iteration
        vcl.StartConvert(1);
        const std::shared_ptr<TFFmpeg> held = vcl.Task(0);
        ASSERT_TRUE(WaitFor([&] { return held->IsRunning(); })) << clear;
        if (clear)
            vcl.ClearTasks();
        else
            vcl.RemoveTask(0);
        EXPECT_EQ(vcl.TaskCount(), 0) << clear;
        // Stopped and its files closed, still readable; it never starts again.
        EXPECT_FALSE(held->IsRunning()) << clear;
        EXPECT_EQ(held->InputFileCount + held->OutputFileCount, 0) << clear;
        EXPECT_EQ(held->Start(true, tpNormal), nullptr) << clear;
        EXPECT_THROW(vcl.Task(0), std::out_of_range) << clear;
    }
}

TEST_F(EngineComponent, WithoutAPreviewWindowPreviewsStopAndTheConversionFinishes)
{
    // No program installed a preview window here (media/FramePreview.h).
    TFFmpegVCL vcl;
    Recorder events(vcl);
    vcl.SetPreview(true);
    AddTask(vcl, true, false, "avi_mpeg4_mp2.avi", ReencodeVideo);
    vcl.StartConvert(1);
    ASSERT_TRUE(events.Wait());
    const std::vector<TermEvent> expected{{0, true, false, "", 0}, BatchEnd};
    EXPECT_EQ(events.Terms(), expected);
    EXPECT_EQ(vcl.Task(0)->PreviewFlags & 1, 0);
    EXPECT_EQ(vcl.Task(0)->PreviewWindow, nullptr);
}

TEST_F(EngineComponent, ATaskWithoutOutputFailsAndTheBatchGoesOn)
{
    for (int threads : {0, 1}) {
        TFFmpegVCL vcl;
        Recorder events(vcl);
        AddTask(vcl, false);
        AddTask(vcl);
        vcl.StartConvert(threads);
        ASSERT_TRUE(events.Wait()) << threads;
        const std::vector<TermEvent> expected{
            {0, false, true, "At least one output file must be specified", 0}, {1, true, false, "", 0}, BatchEnd};
        EXPECT_EQ(events.Terms(), expected) << threads;
        auto logs = events.Logs();
        ASSERT_FALSE(logs.empty());
        EXPECT_EQ(logs[0].index, 0);
        EXPECT_EQ(logs[0].level, llQuiet);
        EXPECT_EQ(logs[0].text, "At least one output file must be specified");

        // Terminated tasks never run again, and raise no second batch end.
        vcl.StartConvert(1);
        QCoreApplication::processEvents();
        EXPECT_EQ(events.Terms().size(), 3u);
    }
}

TEST_F(EngineComponent, StopEndsUnstartedTasksFromTheirOwnThreads)
{
    TFFmpegVCL vcl;
    Recorder events(vcl);
    AddTask(vcl);
    AddTask(vcl);
    vcl.StopConvert();
    ASSERT_TRUE(events.Wait());
    auto terms = events.Terms();
    ASSERT_EQ(terms.size(), 3u);
    EXPECT_EQ(terms.back(), BatchEnd);
    std::vector<int> indexes{terms[0].index, terms[1].index};
    std::sort(indexes.begin(), indexes.end());
    EXPECT_EQ(indexes, (std::vector<int>{0, 1}));
    for (int i = 0; i < 2; ++i) {
        EXPECT_FALSE(terms[i].finished);
        EXPECT_FALSE(terms[i].exception);
        EXPECT_EQ(terms[i].message, "");
        EXPECT_NE(terms[i].thread, kv::platform::CurrentThreadId());
    }
    vcl.StopConvert();  // a second stop reports nothing twice
    QCoreApplication::processEvents();
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(events.Terms().size(), 3u);
}

TEST_F(EngineComponent, StartingAnEmptyListReportsNothing)
{
    for (int threads : {0, 1, 2}) {
        TFFmpegVCL vcl;
        Recorder events(vcl);
        vcl.StartConvert(threads);
        QCoreApplication::processEvents();
        EXPECT_TRUE(events.Terms().empty()) << threads;
    }
}

TEST_F(EngineComponent, SynchronousModeRunsEachTaskOnTheUiThreadFromATimer)
{
    TFFmpegVCL vcl;
    Recorder events(vcl);
    for (int i = 0; i < 3; ++i) AddTask(vcl);
    vcl.StartConvert(0);
    EXPECT_TRUE(events.Terms().empty());  // nothing runs inside the call itself
    ASSERT_TRUE(events.Wait());
    const std::vector<TermEvent> expected{
        {0, true, false, "", 0}, {1, true, false, "", 0}, {2, true, false, "", 0}, BatchEnd};
    auto terms = events.Terms();
    EXPECT_EQ(terms, expected);
    const std::uint32_t ui = kv::platform::CurrentThreadId();
    for (const auto& t : terms) EXPECT_EQ(t.thread, ui);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(vcl.Task(i)->ThreadID, ui);
}

TEST_F(EngineComponent, OneWorkerAtATimeWithOneThread)
{
    TFFmpegVCL vcl;
    Recorder events(vcl);
    std::mutex lock;
    std::set<int> active;
    std::size_t mostActive = 0;
    vcl.OnProgress = [&](int index, int, int, int, float, float, std::int64_t, int) {
        std::lock_guard guard(lock);
        active.insert(index);
        mostActive = std::max(mostActive, active.size());
    };
    auto onTerminate = vcl.OnTerminate;
    vcl.OnTerminate = [&, onTerminate](int index, bool finished, bool exception, const std::string& message) {
        {
            std::lock_guard guard(lock);
            active.erase(index);
        }
        onTerminate(index, finished, exception, message);
    };
    for (int i = 0; i < 3; ++i) AddTask(vcl);
    vcl.StartConvert(1);
    ASSERT_TRUE(events.Wait());
    EXPECT_EQ(mostActive, 1u);
    std::set<std::uint32_t> ids;
    for (int i = 0; i < 3; ++i) ids.insert(vcl.Task(i)->ThreadID);
    EXPECT_EQ(ids.size(), 3u);
    EXPECT_FALSE(ids.count(0));
    EXPECT_FALSE(ids.count(kv::platform::CurrentThreadId()));
    EXPECT_EQ(events.Terms().size(), 4u);
}

TEST_F(EngineComponent, TwoThreadsKeepTwoTasksInFlight)
{
    TFFmpegVCL vcl;
    Recorder events(vcl);
    for (int i = 0; i < 3; ++i) {
        AddTask(vcl);
        vcl.Task(i)->SetPaused(true);  // each task halts at its first loop iteration
    }
    vcl.StartConvert(2);
    EXPECT_TRUE(vcl.Task(0)->IsRunning());
    EXPECT_TRUE(vcl.Task(1)->IsRunning());
    EXPECT_FALSE(vcl.Task(2)->IsRunning());
    EXPECT_FALSE(vcl.Task(2)->IsTerminated());
    vcl.Task(2)->SetPaused(false);
    vcl.Task(0)->SetPaused(false);
    ASSERT_TRUE(WaitFor([&] { return vcl.Task(2)->IsTerminated(); }));  // started when task 0 ended
    EXPECT_TRUE(vcl.Task(1)->IsRunning());
    vcl.Task(1)->SetPaused(false);
    ASSERT_TRUE(events.Wait());
    auto terms = events.Terms();
    ASSERT_EQ(terms.size(), 4u);
    EXPECT_EQ(terms[0].index, 0);
    EXPECT_EQ(terms[1].index, 2);
    EXPECT_EQ(terms[2].index, 1);
    EXPECT_EQ(terms[3], BatchEnd);
}

TEST_F(EngineComponent, PauseHoldsTheWorkerAndResumeOrStopReleasesIt)
{
    for (bool stop : {false, true}) {
        TFFmpegVCL vcl;
        Recorder events(vcl);
        std::atomic<int> progress{0};
        vcl.OnProgress = [&](int, int, int, int, float, float, std::int64_t, int) { ++progress; };
        AddTask(vcl, true, true);
        vcl.StartConvert(1);
        ASSERT_TRUE(WaitFor([&] { return progress > 0; }));
        vcl.PauseConvert();
        EXPECT_TRUE(vcl.Task(0)->IsPaused());
        EXPECT_TRUE(vcl.Task(0)->IsRunning());
        if (stop)
            vcl.StopConvert();
        else
            vcl.ResumeConvert();
        EXPECT_FALSE(vcl.Task(0)->IsPaused());
        ASSERT_TRUE(events.Wait());
        // A stopped task still closes its output properly; only a finished one says so.
        const std::vector<TermEvent> expected{{0, !stop, false, "", 0}, BatchEnd};
        EXPECT_EQ(events.Terms(), expected) << stop;
    }
}

TEST_F(EngineComponent, PreviewBitmapsRunOnTheUiThreadWhileTheWorkerWaits)
{
    TFFmpegVCL vcl;
    Recorder events(vcl);
    vcl.SetPreviewBitmap(true);
    std::atomic<int> shown{0};
    std::atomic<bool> elsewhere{false};
    vcl.OnPreviewBitmap = [&](int index, kv::media::TBitmap& bitmap, int frame, std::int64_t) {
        if (!kv::platform::IsUiThread() || index != 0 || bitmap.Width() != 320 || frame < 1) elsewhere = true;
        ++shown;
    };
    // Previews are of encoded pictures: the video is re-encoded.
    AddTask(vcl, true, false, "avi_mpeg4_mp2.avi", ReencodeVideo);
    EXPECT_EQ(vcl.Task(0)->PreviewFlags, 2);
    vcl.StartConvert(1);
    ASSERT_TRUE(events.Wait());
    EXPECT_GT(shown, 0);
    EXPECT_FALSE(elsewhere);
}

TEST_F(EngineComponent, DestroyingWhileAWorkerWaitsForTheUiThread)
{
    for (bool removeFirst : {false, true}) {
        auto vcl = std::make_unique<TFFmpegVCL>();
        std::atomic<int> shown{0};
        vcl->SetPreviewBitmap(true);
        vcl->OnPreviewBitmap = [&](int, kv::media::TBitmap&, int, std::int64_t) { ++shown; };
        AddTask(*vcl, true, true, "avi_mpeg4_mp2.avi", ReencodeVideo);
        vcl->StartConvert(1);
        // This thread is the UI thread and does not run its events: the worker stays in the hand-off.
        ASSERT_TRUE(WaitFor([] { return kv::platform::HasPendingUiCalls(); }));
        if (removeFirst) vcl->RemoveTask(0);
        vcl.reset();
        EXPECT_EQ(shown, 0);
        EXPECT_FALSE(kv::platform::HasPendingUiCalls());
        QCoreApplication::processEvents();  // the cancelled hand-off's queued event is harmless
        EXPECT_EQ(shown, 0);
    }
}

class EngineLog : public EngineComponent {
protected:
    void SetUp() override
    {
        EngineComponent::SetUp();
        ASSERT_TRUE(kv::media::FFLoader.LoadLibs(kv::media::EngineLibraries)) << kv::media::FFLoader.LastErrMsg();
    }
};

namespace {
const char* TestItemName(void*)
{
    return "Tst";
}
const AVClass TestClass = {"Tst", TestItemName, nullptr, LIBAVUTIL_VERSION_INT};
struct TestContext {
    const AVClass* avClass = &TestClass;
};
}  // namespace

TEST_F(EngineLog, LibraryLinesAreJoinedPrefixedAndFiltered)
{
    TFFmpegVCL vcl;
    Recorder events(vcl);
    ASSERT_TRUE(vcl.LoadAVLib(""));
    av::av_log(nullptr, AV_LOG_INFO, "abc");
    av::av_log(nullptr, AV_LOG_WARNING, "d%sf\nrest", "e");
    TestContext context;
    av::av_log(&context, AV_LOG_ERROR, "joined\n");  // pending text: no prefix
    av::av_log(&context, AV_LOG_ERROR, "hi %d\n", 5);
    av::av_log(nullptr, AV_LOG_DEBUG, "dropped at info\n");
    vcl.SetLogLevel(llDebug);
    av::av_log(nullptr, AV_LOG_DEBUG, "kept at debug\n");
    vcl.SetLogLevel(llInfo);

    auto logs = events.Logs();
    ASSERT_EQ(logs.size(), 4u);
    EXPECT_EQ(logs[0].index, -1);
    EXPECT_EQ(logs[0].text, "abcdef");
    EXPECT_EQ(logs[0].level, llInfo);
    EXPECT_EQ(logs[1].text, "restjoined");
    EXPECT_EQ(logs[1].level, llError);
    EXPECT_TRUE(std::regex_match(logs[2].text, std::regex(R"(\[Tst @ [0-9A-F]{16}\]hi 5)"))) << logs[2].text;
    EXPECT_EQ(logs[3].text, "kept at debug");
    EXPECT_EQ(logs[3].level, llDebug);
}

TEST_F(EngineLog, LongMessagesAreCutAtTheBuffer)
{
    TLogList list;
    std::string longText(3000, 'x');
    auto collect = [&](const char* format, ...) {
        va_list args;
        va_start(args, format);
        auto lines = CollectLogLines(list, 7, nullptr, format, args);
        va_end(args);
        return lines;
    };
    collect("head ");
    auto lines = collect("%s", longText.c_str());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "head " + std::string(LogBufferSize - 1 - 5, 'x'));
    // The cut text does not stay pending, so the thread's later lines still arrive.
    EXPECT_EQ(collect("tail\n"), std::vector<std::string>{"tail"});
    EXPECT_EQ(list.Count(), 1);
}

TEST_F(EngineLog, LevelsMeetTheLibrariesLevelsBothWays)
{
    const std::pair<TLogLevel, int> ours[] = {
        {llQuiet, AV_LOG_QUIET}, {llError, AV_LOG_ERROR}, {llInfo, AV_LOG_INFO}, {llDebug, AV_LOG_DEBUG},
        {llAll, AV_LOG_TRACE}};
    for (auto [level, library] : ours) {
        EXPECT_EQ(LibraryLevel(level), library) << level;
        EXPECT_EQ(LogLevelFromLibrary(library), level) << level;
    }
    // The libraries' finer levels fall into the engine's coarser ones.
    const std::pair<int, TLogLevel> theirs[] = {
        {AV_LOG_PANIC, llError}, {AV_LOG_FATAL, llError}, {AV_LOG_WARNING, llInfo}, {AV_LOG_VERBOSE, llDebug}};
    for (auto [library, level] : theirs) EXPECT_EQ(LogLevelFromLibrary(library), level) << library;
}

TEST_F(EngineLog, TaskLevelsAndAttributionByThread)
{
    TFFmpegVCL vcl;
    Recorder events(vcl);
    ASSERT_TRUE(vcl.LoadAVLib(""));
    AddTask(vcl);
    const std::size_t before = events.Logs().size();  // what opening the files logged
    const std::pair<int, TLogLevel> levels[] = {{-1, llQuiet}, {0, llError}, {1, llInfo}, {2, llDebug}, {7, llAll}};
    // The numbers are those of the "v" option.
    for (auto [level, expected] : levels) vcl.Task(0)->Log(LogLevelFromNumber(level), "level " + std::to_string(level));
    auto logs = events.Logs();
    ASSERT_EQ(logs.size(), before + 5);
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(logs[before + i].index, 0);
        EXPECT_EQ(logs[before + i].level, levels[i].second);
        EXPECT_EQ(logs[before + i].text, "level " + std::to_string(levels[i].first));
    }

    // A task's own level is the libraries' level, and the callback filters on it at once.
    vcl.Task(0)->SetLogLevel(llDebug);
    EXPECT_EQ(CachedLogLevel(), AV_LOG_DEBUG);
    vcl.Task(0)->SetLogLevel(llError);
    EXPECT_EQ(CachedLogLevel(), AV_LOG_ERROR);
    av::av_log(nullptr, AV_LOG_INFO, "dropped at error\n");
    EXPECT_EQ(events.Logs().size(), before + 5);

    // A library line written on the thread that runs a task belongs to that task.
    bool logged = false;
    vcl.OnProgress = [&](int, int, int, int, float, float, std::int64_t, int) {
        if (!logged) av::av_log(nullptr, AV_LOG_INFO, "inside the task\n");
        logged = true;
    };
    vcl.StartConvert(0);
    ASSERT_TRUE(events.Wait());
    av::av_log(nullptr, AV_LOG_INFO, "after the batch\n");  // the UI thread's task id is stale: still task 0
    logs = events.Logs();
    auto inside = std::find_if(logs.begin(), logs.end(), [](const LogEvent& e) { return e.text == "inside the task"; });
    ASSERT_NE(inside, logs.end());
    EXPECT_EQ(inside->index, 0);
    std::thread other([] { av::av_log(nullptr, AV_LOG_INFO, "no task here\n"); });
    other.join();
    logs = events.Logs();
    EXPECT_EQ(logs.back().index, -1);
    EXPECT_EQ(logs.back().text, "no task here");
}
