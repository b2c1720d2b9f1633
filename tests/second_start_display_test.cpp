// A second start of the application while it runs ("Open with" in a file manager):
// the second process hands its files to the running window and ends; the window adds
// them and comes to the front. Two processes on the virtual display.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTableWidget>
#include <QTemporaryDir>

#include <filesystem>
#include <functional>
#include <memory>

#include "app/Application.h"
#include "app/Pictures.h"
#include "app/SingleInstance.h"
#include "app/ZelMainFrm.h"
#include "tests/support/AppRecorders.h"
#include "tests/support/VideoConvert.h"
#include "tests/support/WidgetApplication.h"
#include "workflow/IniOptions.h"

namespace {

const auto* const Env = ::testing::AddGlobalTestEnvironment(new kvtest::WidgetApplicationEnvironment);

bool WaitFor(const std::function<bool()>& done, int ms)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > ms) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

QStringList Rows(const kv::app::TZelMainForm& window)
{
    QStringList rows;
    for (int r = 0; r < window.lvFileList->rowCount(); ++r) rows << window.lvFileList->item(r, 0)->text();
    return rows;
}

TEST(SecondStart, HandsItsFilesToTheRunningWindowWhichComesToTheFront)
{
    kvtest::TAppRecorders recorders;
    kv::workflow::IniOptions = kv::workflow::TIniOptions();
    kv::app::SetPictureFolder(KV_STAGE_DIR "/KestravoRes");
    QTemporaryDir runtime;  // the user's runtime folder: made for the user alone
    ASSERT_TRUE(runtime.isValid());
    kv::app::TAppPlaces places;
    places.SettingsFile = (runtime.path() + "/kestravo.ini").toStdString();
    places.DefaultOutputFolder = (runtime.path() + "/output").toStdString();

    kv::app::TSingleInstance first(runtime.path() + "/ZelKestravo.lock");
    ASSERT_TRUE(first.Acquire());
    const std::unique_ptr<kv::app::TZelMainForm> window = kv::app::OpenMainWindow({}, places);
    ASSERT_NE(window, nullptr);
    kv::app::ServeSecondStarts(first, window.get());
    window->showMinimized();
    ASSERT_TRUE(WaitFor([&] { return window->isMinimized(); }, 5000));

    const QString clip = QString::fromStdString(kv::test::MediaFile("avi_mpeg4_mp2.avi"));
    QProcess second;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_RUNTIME_DIR", runtime.path());
    second.setProcessEnvironment(env);
    // A relative name, as a shell gives it.
    second.setWorkingDirectory(QString::fromStdString(std::filesystem::path(clip.toStdString()).parent_path().string()));
    second.start(KV_STAGE_DIR "/kestravo", {"avi_mpeg4_mp2.avi"});
    ASSERT_TRUE(second.waitForStarted(10000));
    const bool ended = WaitFor([&] { return second.state() == QProcess::NotRunning; }, 30000);
    if (!ended) second.kill();
    ASSERT_TRUE(ended) << "the second start did not end";
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.exitCode(), 0) << second.readAllStandardError().toStdString();

    ASSERT_TRUE(WaitFor([&] { return window->lvFileList->rowCount() == 1; }, 5000));
    EXPECT_EQ(Rows(*window), QStringList({"avi_mpeg4_mp2.avi"}));
    EXPECT_EQ(QString::fromStdString(window->Converter->Files.Items(0).FileName), clip);
    EXPECT_TRUE(WaitFor([&] { return !window->isMinimized() && window->isVisible(); }, 5000));
    EXPECT_TRUE(recorders.Prompter.Messages.empty()) << recorders.Prompter.Texts().join('\n').toStdString();
    kv::app::SetPictureFolder(QString());
}

}  // namespace
