// The main window's queue that survives: the list comes back at the next start with
// its trims, aspects and outcomes (and its Keep folder structure and if-exists choices),
// a folder's tree is mirrored under the output folder, an existing output is skipped
// with the row saying so, what a killed run left is cleaned up with its row saying
// "Interrupted", and the watch folder dialog converts what arrives while it is on.
#include <gtest/gtest.h>

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTableWidget>
#include <QTimer>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "app/Pictures.h"
#include "app/WatchFolderFrm.h"
#include "app/ZelMainFrm.h"
#include "tests/support/AppRecorders.h"
#include "tests/support/EventLoop.h"
#include "tests/support/VideoConvert.h"
#include "tests/support/WidgetApplication.h"
#include "tests/support/FolderListing.h"
#include "workflow/IniOptions.h"
#include "workflow/OutputJournal.h"
#include "workflow/SavedList.h"

namespace {

namespace fs = std::filesystem;
using kv::app::TZelMainForm;
using kv::workflow::IniOptions;

const auto* const Env = ::testing::AddGlobalTestEnvironment(new kvtest::WidgetApplicationEnvironment);

// One video profile that converts fast.
const char* const Catalogue = R"([Format]
Count=1
[Format0]
Name=AVI test(*.avi)
Ext=.avi
Category=1
Resolution=160*120
ResolutionValue=0
Framerate=Keep original frame rate
FramerateValue=0
VideoEncoder=MPEG4
VideoEncoderValue=0
VideoBitRate=200 kbps
VideoBitRateValue=0
SampleRate=22050 Hz
SampleRateValue=0
AudioBitrate=64 kbps
AudioBitrateValue=0
AudioEncoder=MPEG-2 Audio
AudioEncoderValue=0
Channel=1 Channel Mono
ChannelValue=0
Volume=256
)";

// The outputs a user sees: the hidden temporary of a replace left out.
std::vector<std::string> FilesUnder(const fs::path& folder) { return kvtest::FilesUnder(folder, false); }

class MainWindowQueue : public ::testing::Test {
protected:
    void SetUp() override
    {
        IniOptions = kv::workflow::TIniOptions();
        kv::app::SetPictureFolder(KV_STAGE_DIR "/KestravoRes");
        dir = fs::temp_directory_path() / ("kv_mainq_" + std::to_string(::getpid()) + "_" +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir / "settings");
        places.SettingsFile = (dir / "settings" / "kestravo.ini").string();
        places.DefaultOutputFolder = (dir / "out").string();
        places.HelpFolder = KV_STAGE_DIR "/help";
        std::ofstream(places.SettingsFile) << Catalogue << "[Output]\nFormat=0\nFolder=" << (dir / "out").string() << "\n";
    }
    void TearDown() override
    {
        window.reset();
        kv::app::SetPictureFolder(QString());
        fs::remove_all(dir);
    }
    void Open()
    {
        window.reset();
        IniOptions = kv::workflow::TIniOptions();
        window = std::make_unique<TZelMainForm>(places);
        ASSERT_TRUE(window->InitEngine());
    }
    std::string Source(const std::string& name) const
    {
        const fs::path path = dir / "in" / name;
        fs::create_directories(path.parent_path());
        fs::copy_file(kv::test::MediaFile("avi_mpeg4_mp2.avi"), path);
        return path.string();
    }
    void Convert()
    {
        window->actConvert->trigger();
        EXPECT_EQ(window->ProgressForm, nullptr);
    }
    QStringList Column(int column) const
    {
        QStringList texts;
        for (int r = 0; r < window->lvFileList->rowCount(); ++r) texts << window->lvFileList->item(r, column)->text();
        return texts;
    }

    kvtest::TAppRecorders recorders;
    fs::path dir;
    kv::app::TAppPlaces places;
    std::unique_ptr<TZelMainForm> window;
};

}  // namespace

TEST_F(MainWindowQueue, TheListComesBackWithTrimsAspectsOutcomesAndMirroredOutputs)
{
    Source("library/top.avi");
    Source("library/2026/summer/beach.avi");
    const std::string alone = Source("alone.avi");
    Open();
    window->chkKeepFolders->setChecked(true);
    window->cbbIfExists->setCurrentIndex(kv::workflow::ieReplace);
    window->AddFolder(QString::fromStdString((dir / "in" / "library").string()));
    window->AddFiles({QString::fromStdString(alone)});
    ASSERT_EQ(window->lvFileList->rowCount(), 3);
    // As the edit dialog leaves it.
    kv::workflow::TInputFile& beach = window->Converter->Files.Items(0);
    beach.TrimStart = 500;
    beach.TrimLength = 1000;
    beach.AspectIndex = 2;
    window->SaveList();
    Convert();
    EXPECT_EQ(Column(kv::app::colStatus), QStringList({"Success", "Success", "Success"}));
    EXPECT_EQ(FilesUnder(dir / "out"),
              (std::vector<std::string>{"2026/summer/beach.avi", "alone.avi", "top.avi"}));

    // A restart: the rows, their records and the choices are as they were.
    Open();
    EXPECT_EQ(Column(kv::app::colSource), QStringList({"beach.avi", "top.avi", "alone.avi"}));
    EXPECT_EQ(Column(kv::app::colStatus), QStringList({"Success", "Success", "Success"}));
    EXPECT_EQ(Column(kv::app::colDestination), QStringList({"beach.avi", "top.avi", "alone.avi"}));
    EXPECT_EQ(Column(kv::app::colTrimmed)[0], "00:00:01");
    const kv::workflow::TInputFile& back = window->Converter->Files.Items(0);
    EXPECT_EQ(back.TrimStart, 500);
    EXPECT_EQ(back.TrimLength, 1000);
    EXPECT_EQ(back.AspectIndex, 2);
    EXPECT_TRUE(window->chkKeepFolders->isChecked());
    EXPECT_EQ(window->cbbIfExists->currentIndex(), kv::workflow::ieReplace);

    // Removing a row is saved too.
    window->lvFileList->selectRow(1);
    window->actRemoveFile->trigger();
    Open();
    EXPECT_EQ(Column(kv::app::colSource), QStringList({"beach.avi", "alone.avi"}));
}

TEST_F(MainWindowQueue, AnExistingOutputIsSkippedWhenTheUserSaysSo)
{
    const std::string clip = Source("clip.avi");
    fs::create_directories(dir / "out");
    std::ofstream(dir / "out" / "clip.avi") << "older";
    Open();
    window->cbbIfExists->setCurrentIndex(kv::workflow::ieSkip);
    window->AddFiles({QString::fromStdString(clip)});
    Convert();
    EXPECT_EQ(Column(kv::app::colStatus), QStringList({"Skipped: exists"}));
    EXPECT_EQ(FilesUnder(dir / "out"), std::vector<std::string>{"clip.avi"});
    EXPECT_EQ(fs::file_size(dir / "out" / "clip.avi"), 5u);
}

TEST_F(MainWindowQueue, WhatAKilledRunLeftIsRemovedAndItsRowSaysInterrupted)
{
    const std::string done = Source("done.avi");
    const std::string cut = Source("cut.avi");
    Open();
    window->AddFiles({QString::fromStdString(done), QString::fromStdString(cut)});
    window.reset();
    // A run killed while it wrote the second file's output.
    fs::create_directories(dir / "out");
    std::ofstream(dir / "out" / "done.avi") << "complete";
    std::ofstream(dir / "out" / "cut.avi") << "half";
    {
        kv::workflow::TOutputJournal journal((dir / "settings" / kv::workflow::JournalName).string());
        ASSERT_TRUE(journal.Record({{(dir / "out" / "done.avi").string(), done}, {(dir / "out" / "cut.avi").string(), cut}}));
        ASSERT_TRUE(journal.StrikeOff((dir / "out" / "done.avi").string(), true, (dir / "out" / "done.avi").string()));
    }
    Open();
    EXPECT_EQ(Column(kv::app::colStatus), QStringList({"Success", "Interrupted"}));
    EXPECT_EQ(FilesUnder(dir / "out"), std::vector<std::string>{"done.avi"});
    EXPECT_FALSE(fs::exists(dir / "settings" / kv::workflow::JournalName));
}

TEST_F(MainWindowQueue, TheWatchFolderDialogConvertsWhatArrivesWhileItIsOn)
{
    fs::create_directories(dir / "drop");
    Open();
    window->actWatchFolder->trigger();
    auto* form = static_cast<kv::app::TWatchFolderForm*>(window->WatchFolderForm);
    ASSERT_NE(form, nullptr);
    form->SetFolder(QString::fromStdString((dir / "drop").string()));
    form->chkWatching->setChecked(true);
    ASSERT_TRUE(form->Watching()) << recorders.Prompter.Texts().join("\n").toStdString();
    fs::copy_file(kv::test::MediaFile("avi_mpeg4_mp2.avi"), dir / "drop" / "arrived.avi");
    EXPECT_TRUE(kvtest::WaitFor([&] { return form->memLines->toPlainText().contains("Converted: "); }, 120))
        << form->memLines->toPlainText().toStdString();
    EXPECT_EQ(FilesUnder(dir / "out"), std::vector<std::string>{"arrived.avi"});
    form->chkWatching->setChecked(false);
    EXPECT_FALSE(form->Watching());
    // Off: nothing more is converted.
    fs::copy_file(kv::test::MediaFile("avi_mpeg4_mp2.avi"), dir / "drop" / "later.avi");
    kvtest::WaitFor([] { return false; }, 5);
    EXPECT_EQ(FilesUnder(dir / "out"), std::vector<std::string>{"arrived.avi"});
}
