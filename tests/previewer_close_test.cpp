// The previewer window of a running conversion, as the user meets it: closing it
// stops the previews of that task, never the conversion.
#include <gtest/gtest.h>

#include <QApplication>
#include <QEvent>
#include <QPointer>
#include <QWidget>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>
#include <unistd.h>

#include "engine/FFmpegTask.h"
#include "engine/FFmpegVCL.h"
#include "media/FFmpegLoader.h"
#include "media/Previewer.h"
#include "platform/UiThread.h"
#include "tests/support/WidgetApplication.h"

using namespace kv::engine;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// The previewer needs a widget application on this (the test's main) thread.
[[maybe_unused]] ::testing::Environment* const environment =
    ::testing::AddGlobalTestEnvironment(new kvtest::WidgetApplicationEnvironment);

// Counts what reaches a window after it was closed: a new frame changes its caption.
class FrameCounter : public QObject {
public:
    std::atomic<int> Captions{0};

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::WindowTitleChange) ++Captions;
        return false;
    }
};

QWidget* VisibleTopLevel()
{
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->isVisible()) return w;
    return nullptr;
}

class PreviewerClose : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(kv::media::FFLoader.LoadLibs(kv::media::EngineLibraries)) << kv::media::FFLoader.LastErrMsg();
        kv::media::InstallFramePreviewer();
        outDir_ = fs::temp_directory_path() / ("kv_previewer_close_" + std::to_string(::getpid()));
        fs::create_directories(outDir_);
    }
    void TearDown() override { fs::remove_all(outDir_); }

    // A re-encoding task that reads its clip at the clip's own rate (2 s), so that
    // previews keep coming for a while.
    void AddPacedTask(TFFmpegVCL& vcl, const std::string& output)
    {
        TInputOptions input;
        input.ExtOptions = "re=1";
        ASSERT_EQ(vcl.AddInputFile(std::string(KV_TEST_MEDIA_DIR) + "/avi_mpeg4_mp2.avi", &input), 0)
            << vcl.LastErrMsg();
        TOutputOptions options;
        options.ExtOptions = "vcodec=mpeg4\nacodec=copy";
        ASSERT_TRUE(vcl.SetOutputFile(0, output, &options)) << vcl.LastErrMsg();
    }

    fs::path outDir_;
};

}  // namespace

TEST_F(PreviewerClose, ClosingTheWindowStopsPreviewsButNotTheConversion)
{
    TFFmpegVCL vcl;
    std::mutex lock;
    bool ended = false, finished = false, exception = false;
    std::string message;
    vcl.OnTerminate = [&](int index, bool aFinished, bool aException, const std::string& aMessage) {
        std::lock_guard guard(lock);
        if (index == -1) {
            ended = true;
        } else {
            finished = aFinished;
            exception = aException;
            message = aMessage;
        }
    };
    vcl.SetPreview(true);
    const std::string output = (outDir_ / "closed.avi").string();
    AddPacedTask(vcl, output);
    vcl.StartConvert(1);

    FrameCounter counter;
    QPointer<QWidget> window;
    bool closed = false;
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    for (;;) {
        {
            std::lock_guard guard(lock);
            if (ended) break;
        }
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the conversion never ended";
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        if (!closed && (window = VisibleTopLevel())) {
            // The first frame is on screen; the user closes the window.
            window->installEventFilter(&counter);
            EXPECT_TRUE(window->close());
            closed = true;
        }
        std::this_thread::sleep_for(1ms);
    }

    ASSERT_TRUE(closed) << "no preview window was shown";
    EXPECT_TRUE(finished) << message;
    EXPECT_FALSE(exception);
    EXPECT_GT(fs::file_size(output), 0u);
    EXPECT_EQ(counter.Captions, 0) << "frames reached the closed window";
    // The engine let go of the window and of the preview bit; nothing is left on screen.
    EXPECT_TRUE(window.isNull());
    EXPECT_EQ(VisibleTopLevel(), nullptr);
    EXPECT_EQ(vcl.Task(0)->PreviewFlags & 1, 0);
    EXPECT_EQ(vcl.Task(0)->PreviewWindow, nullptr);
}

TEST_F(PreviewerClose, DestroyingTheComponentWhileAFrameWaitsForTheWindow)
{
    auto vcl = std::make_unique<TFFmpegVCL>();
    vcl->SetPreview(true);
    AddPacedTask(*vcl, (outDir_ / "destroyed.avi").string());
    vcl->StartConvert(1);
    // This thread does not run its events: the worker stays in the hand-off of its first frame.
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (!kv::platform::HasPendingUiCalls()) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "no frame was handed to the window";
        std::this_thread::sleep_for(1ms);
    }
    vcl.reset();
    EXPECT_FALSE(kv::platform::HasPendingUiCalls());
    QCoreApplication::processEvents();
    EXPECT_EQ(VisibleTopLevel(), nullptr);
}
