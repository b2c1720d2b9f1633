// The application's dialogs and its start: one instance per user, the format
// settings dialog, the progress dialog's figures, texts and buttons, the about
// dialog, the help pages and the pictures made at build time.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QEnterEvent>
#include <QFile>
#include <QGroupBox>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSlider>
#include <QTemporaryDir>
#include <QToolButton>

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>

#include "app/AboutFrm.h"
#include "app/Application.h"
#include "app/ConvertFrm.h"
#include "app/Pictures.h"
#include "app/SettingFrm.h"
#include "app/SingleInstance.h"
#include "app/SnapShotFrm.h"
#include "app/Snapshot.h"
#include "tests/support/AppRecorders.h"
#include "tests/support/EventLoop.h"
#include "tests/support/VideoConvert.h"
#include "tests/support/WidgetApplication.h"
#include "workflow/IniOptions.h"
#include "workflow/ZelConvert.h"

namespace {

namespace fs = std::filesystem;
using kv::workflow::IniOptions;
using kv::workflow::TFormatRec;

const auto* const Env = ::testing::AddGlobalTestEnvironment(new kvtest::WidgetApplicationEnvironment);

// ---- one instance per user

TEST(SingleInstance, ASecondStartIsToldAndLeavesTheFirstRunning)
{
    kvtest::TAppRecorders recorders;
    QTemporaryDir runtime;
    const QString lock = runtime.path() + "/ZelKestravo.lock";
    kv::app::TSingleInstance first(lock);
    ASSERT_TRUE(first.Acquire());

    kv::app::TSingleInstance second(lock);
    // The whole start-up path, with files to open: it ends with 0 before any window
    // exists and before any file is looked at.
    const QStringList files = {QString::fromStdString(kv::test::MediaFile("avi_mpeg4_mp2.avi")),
                               QString::fromStdString(kv::test::MediaFile("random.bin"))};
    EXPECT_EQ(kv::app::RunKestravo(second, files), 0);
    ASSERT_EQ(recorders.Prompter.Messages.size(), 1u);
    EXPECT_EQ(recorders.Prompter.Messages[0].Text, "Larkspire Kestravo is currently running!");
    EXPECT_EQ(recorders.Prompter.Messages[0].Icon, QMessageBox::Warning);
    EXPECT_TRUE(QApplication::topLevelWidgets().isEmpty());
    // The first still holds its lock: a third start is refused as well.
    kv::app::TSingleInstance third(lock);
    EXPECT_FALSE(third.Acquire());
    EXPECT_TRUE(QFile::exists(lock));
}

TEST(SingleInstance, TheLockOfACrashedInstanceIsTakenOver)
{
    kvtest::TAppRecorders recorders;
    QTemporaryDir runtime;
    const QString lock = runtime.path() + "/ZelKestravo.lock";
    // An instance that took the lock and died without releasing it.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        kv::app::TSingleInstance crashed(lock);
        ::_exit(crashed.Acquire() ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_TRUE(QFile::exists(lock));

    kv::app::TSingleInstance next(lock);
    EXPECT_TRUE(kv::app::CheckSingleInstance(next));
    EXPECT_TRUE(recorders.Prompter.Messages.empty());
}

// ---- format settings

TFormatRec Profile(int category)
{
    TFormatRec f;
    f.Name = category == 1 ? "AVI video" : "MP3 audio";
    f.Ext = category == 1 ? ".avi" : ".mp3";
    f.Category = category;
    f.Resolution = "160*120,320*240,640*480";
    f.ResolutionValue = 2;
    f.Framerate = "15 fps,25 fps";
    f.FramerateValue = 1;
    f.VideoEncoder = "MPEG4,H.264";
    f.VideoEncoderValue = 1;
    f.VideoBitRate = "200 kbps,400 kbps";
    f.VideoBitRateValue = 0;
    f.SampleRate = "22050 Hz,44100 Hz";
    f.SampleRateValue = 1;
    f.AudioBitrate = "64 kbps,128 kbps";
    f.AudioBitrateValue = 0;
    f.AudioEncoder = "MP3 Audio,AAC";
    f.AudioEncoderValue = 0;
    f.Channel = "1 Channel Mono, 2 Channels Stereo";
    f.ChannelValue = 1;
    f.Volume = 100;
    return f;
}

class FormatSettings : public ::testing::Test {
protected:
    void SetUp() override
    {
        IniOptions = kv::workflow::TIniOptions();
        IniOptions.Formats = {Profile(1), Profile(0)};
        IniOptions.FormatCount = 2;
    }
    static QStringList Entries(const QComboBox* box)
    {
        QStringList entries;
        for (int i = 0; i < box->count(); ++i) entries << box->itemText(i);
        return entries;
    }
    kv::app::TSettingForm form;
};

TEST_F(FormatSettings, ShowsTheProfilesListsAndChoices)
{
    form.Fill(0);
    EXPECT_EQ(form.windowTitle(), "Format Settings: AVI video");
    EXPECT_TRUE(form.grpVideo->isEnabled());
    EXPECT_EQ(Entries(form.cbbResolution), QStringList({"160*120", "320*240", "640*480"}));
    EXPECT_EQ(form.cbbResolution->currentIndex(), 2);
    EXPECT_EQ(form.cbbVideoEncoder->currentText(), "H.264");
    // Entries stand as written, blanks included.
    EXPECT_EQ(Entries(form.cbbChannel), QStringList({"1 Channel Mono", " 2 Channels Stereo"}));
    EXPECT_EQ(form.cbbChannel->currentIndex(), 1);
    EXPECT_EQ(form.tbarVolume->value(), 100);
    EXPECT_EQ(form.tbarVolume->maximum(), 1280);
}

TEST_F(FormatSettings, AnAudioProfileKeepsItsVideoChoicesThroughOk)
{
    form.Fill(1);
    EXPECT_FALSE(form.grpVideo->isEnabled());
    // Not shown greyed out: not shown at all, and nothing left empty above the sound.
    EXPECT_TRUE(form.grpVideo->isHidden());
    EXPECT_EQ(form.grpAudio->y(), form.grpVideo->y());
    EXPECT_LT(form.height(), 294);
    EXPECT_TRUE(form.grpAudio->isEnabled());
    form.cbbSampleRate->setCurrentIndex(0);
    form.btnOK->click();
    EXPECT_EQ(form.result(), QDialog::Accepted);
    TFormatRec expected = Profile(0);
    expected.SampleRateValue = 0;
    EXPECT_EQ(IniOptions.GetFormat(1), expected);
}

TEST_F(FormatSettings, LosslessSoundHasNoBitRateToChoose)
{
    const struct {
        const char* ext;
        bool bitRate;
    } cases[] = {{".flac", false}, {".wav", false}, {".mp3", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ext);
        TFormatRec f = Profile(0);
        f.Ext = c.ext;
        IniOptions.Formats[1] = f;
        form.Fill(1);
        EXPECT_EQ(form.cbbAudioBitrate->isHidden(), !c.bitRate);
        EXPECT_EQ(form.lblAudioBitrate->isHidden(), !c.bitRate);
    }
    // A video profile after them shows everything again.
    form.Fill(0);
    EXPECT_FALSE(form.grpVideo->isHidden());
    EXPECT_FALSE(form.cbbAudioBitrate->isHidden());
    EXPECT_EQ(form.height(), 294);
}

TEST_F(FormatSettings, NoLabelOrEntryIsCutInTheShippedCatalogue)
{
    IniOptions = kv::workflow::TIniOptions();
    IniOptions.LoadFromFile(KV_STAGE_DIR "/kestravo.ini");
    ASSERT_GT(IniOptions.FormatCount, 24);
    for (int i = 0; i < IniOptions.FormatCount; ++i) {
        form.Fill(i);
        SCOPED_TRACE(form.windowTitle().toStdString());
        for (QComboBox* box : form.findChildren<QComboBox*>()) {
            if (box->isHidden() || box->parentWidget()->isHidden()) continue;
            // The closed box shows its longest entry ("Keep original frame rate") in full.
            EXPECT_GE(box->width(), box->sizeHint().width()) << box->currentText().toStdString();
            EXPECT_LE(box->mapTo(&form, QPoint(box->width(), 0)).x(), form.width());
        }
        for (QLabel* label : form.findChildren<QLabel*>()) {
            if (label->isHidden() || label->parentWidget()->isHidden()) continue;
            EXPECT_GE(label->width(), label->sizeHint().width()) << label->text().toStdString();
        }
        EXPECT_LE(form.btnCancel->geometry().right(), form.width());
    }
}

TEST_F(FormatSettings, TheVolumeLabelShowsPercent)
{
    form.Fill(0);
    const struct {
        int position;
        const char* text;
    } cases[] = {{100, "Volume: 39%"}, {256, "Volume: 100%"}, {1280, "Volume: 500%"}, {0, "Volume: 0%"}};
    for (const auto& c : cases) {
        form.tbarVolume->setValue(c.position);
        EXPECT_EQ(form.lblVolume->text(), c.text);
    }
    form.tbarVolume->setValue(1280);
    form.btnOK->click();
    EXPECT_EQ(IniOptions.GetFormat(0).Volume, 1280);
}

TEST_F(FormatSettings, CancelStoresNothing)
{
    form.Fill(0);
    for (QComboBox* box : {form.cbbResolution, form.cbbFrameRate, form.cbbVideoEncoder, form.cbbVideoBitRate,
                           form.cbbSampleRate, form.cbbChannel, form.cbbAudioEncoder, form.cbbAudioBitrate})
        box->setCurrentIndex(box->currentIndex() == 0 ? 1 : 0);
    form.tbarVolume->setValue(700);
    form.btnCancel->click();
    EXPECT_EQ(form.result(), QDialog::Rejected);
    EXPECT_EQ(IniOptions.GetFormat(0), Profile(1));
}

// Sizes that follow the source, constant quality, target sizes and copies are offered as
// entries like any other, say what they do, and are stored and read back.
TEST_F(FormatSettings, ShowsExplainsAndStoresTheNewEntryForms)
{
    TFormatRec f = Profile(1);
    f.Resolution = "Keep original size,Fit within 1920*1080,Fit within 1280*720";
    f.VideoEncoder = "H.264 High,Smart copy,Copy";
    f.VideoBitRate = "Quality 18 (high),Quality 23 (default),Size 25 MB";
    f.AudioEncoder = "AAC,Smart copy";
    f.AudioBitrate = "128 kbps,Quality V2 (default)";
    IniOptions.SetFormat(0, f);
    form.Fill(0);
    EXPECT_EQ(Entries(form.cbbResolution),
              QStringList({"Keep original size", "Fit within 1920*1080", "Fit within 1280*720"}));
    form.cbbResolution->setCurrentIndex(2);
    EXPECT_TRUE(form.cbbResolution->toolTip().contains("1280 x 720 either way round, never larger"));
    form.cbbVideoBitRate->setCurrentIndex(2);
    EXPECT_TRUE(form.cbbVideoBitRate->toolTip().contains("two passes"));
    form.cbbVideoBitRate->setCurrentIndex(0);
    EXPECT_TRUE(form.cbbVideoBitRate->toolTip().contains("lower numbers give a better picture"));
    form.cbbVideoEncoder->setCurrentIndex(1);
    EXPECT_TRUE(form.cbbVideoEncoder->toolTip().contains("when this container takes it"));
    form.cbbAudioEncoder->setCurrentIndex(1);
    form.cbbAudioBitrate->setCurrentIndex(1);
    // A sound's quality is heard: its words speak of sound, not of a picture.
    EXPECT_TRUE(form.cbbAudioBitrate->toolTip().contains("lower numbers give better sound"));
    EXPECT_FALSE(form.cbbAudioBitrate->toolTip().contains("picture"));
    form.btnOK->click();

    const std::string path = (std::filesystem::temp_directory_path() /
                              ("kv_forms_" + std::to_string(::getpid()) + ".ini")).string();
    IniOptions.SaveToFile(path);
    kv::workflow::TIniOptions read;
    read.FormatCount = 2;
    read.Formats = {Profile(1), Profile(0)};
    read.Formats[0] = f;
    read.LoadFromFile(path);
    std::filesystem::remove(path);
    const TFormatRec stored = read.GetFormat(0);
    EXPECT_EQ(stored.ResolutionValue, 2);
    EXPECT_EQ(stored.VideoBitRateValue, 0);
    EXPECT_EQ(stored.VideoEncoderValue, 1);
    EXPECT_EQ(stored.AudioEncoderValue, 1);
    EXPECT_EQ(stored.AudioBitrateValue, 1);
}

TEST_F(FormatSettings, AnIndexPastTheListsEndIsStoredAsNone)
{
    TFormatRec f = Profile(1);
    f.FramerateValue = 5;
    IniOptions.SetFormat(0, f);
    form.Fill(0);
    EXPECT_EQ(form.cbbFrameRate->currentIndex(), -1);
    form.btnOK->click();
    f.FramerateValue = -1;
    EXPECT_EQ(IniOptions.GetFormat(0), f);
}

// ---- the progress dialog

class ProgressDialog : public ::testing::Test {
protected:
    void SetUp() override
    {
        kv::app::SetPictureFolder(KV_STAGE_DIR "/KestravoRes");
        IniOptions = kv::workflow::TIniOptions();
        TFormatRec f = Profile(1);
        f.ResolutionValue = 0;
        f.FramerateValue = 0;
        f.VideoEncoderValue = 0;
        f.AudioEncoder = "MPEG-2 Audio";
        IniOptions.Formats = {f};
        IniOptions.FormatCount = 1;
        ASSERT_TRUE(converter.InitEngine());
        converter.SetFormatIndex(0);
        out = fs::temp_directory_path() / ("kv_progress_" + std::to_string(::getpid()) + "_" +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(out);
    }
    void TearDown() override
    {
        form.reset();
        kv::app::SetPictureFolder(QString());
        fs::remove_all(out);
    }
    // Copies of one clip: the list takes each file only once.
    void Queue(int files)
    {
        const std::vector<std::string> copies =
            kv::test::SeparateCopies(kv::test::MediaFile("avi_mpeg4_mp2.avi"), out / "sources", files);
        for (int i = 0; i < files; ++i) {
            ASSERT_EQ(converter.AddFile(copies[i]), i);
            ASSERT_TRUE(converter.PrepareFile(i, out.string(), ".avi", 1));
        }
    }
    void Start(int files, const std::string& ext)
    {
        form = std::make_unique<kv::app::TConvertForm>(converter, [this] { ++openedOutput; });
        form->StartBatch(files, ext);
    }
    void CancelAndWait()
    {
        recorders.Prompter.Answers.push_back(QMessageBox::Yes);
        form->btnCancel->click();
        ASSERT_TRUE(kvtest::WaitFor([&] { return form->Finished(); }));
    }
    void Progress(std::int64_t converted, std::int64_t total, int task)
    {
        kv::workflow::TBatchEvent e(kv::workflow::WM_BATCH_PROGRESS, converted, total, task, task);
        QCoreApplication::sendEvent(form.get(), &e);
    }

    kvtest::TAppRecorders recorders;
    kv::workflow::TZelConvert converter;
    std::unique_ptr<kv::app::TConvertForm> form;
    fs::path out;
    int openedOutput = 0;
};

TEST_F(ProgressDialog, ShowsTheCurrentFileLengthAndBars)
{
    Queue(4);
    // The second of four files, trimmed to 90 seconds.
    converter.Files.Items(1).TrimLength = 90000;
    Start(4, ".avi");
    EXPECT_EQ(form->windowTitle(), "Converting");
    Progress(45000, 2000, 1);
    EXPECT_EQ(form->lblIndex->text(), "Current: 2 / Total: 4");
    EXPECT_EQ(form->lblFileInfo->text().toStdString(), converter.Files.Items(1).OutputOptions.FileName);
    EXPECT_EQ(form->lblInfoLength->text(), "Converted length of the current file: 00:00:45 / 00:01:30");
    EXPECT_EQ(form->pBarCur->value(), 50);
    EXPECT_EQ(form->pBarAll->value(), 37);
    // Without a trim the output's length counts; a report past the end leaves the bars.
    Progress(360000000, 2000, 0);
    EXPECT_EQ(form->lblInfoLength->text(), "Converted length of the current file: 100:00:00 / 00:00:02");
    EXPECT_EQ(form->pBarCur->value(), 50);
    CancelAndWait();
}

TEST_F(ProgressDialog, SeveralFilesAtOnceGetALineEachAndNothingOverlaps)
{
    Queue(4);
    for (int jobs : {1, 2, 4}) {
        SCOPED_TRACE(jobs);
        // Each batch empties the task list: the next one queues the files again.
        form.reset();
        if (jobs > 1) {
            for (int i = 0; i < 4; ++i) ASSERT_TRUE(converter.PrepareFile(i, out.string(), ".avi", 1));
        }
        form = std::make_unique<kv::app::TConvertForm>(converter, [] {});
        form->StartBatch(4, ".avi", jobs);
        ASSERT_EQ(form->RunningLines.size(), jobs > 1 ? static_cast<std::size_t>(jobs) : 0u);
        for (QWidget* single : std::initializer_list<QWidget*>{form->lblFileInfo, form->pBarCur, form->lblInfoLength})
            EXPECT_EQ(single->isHidden(), jobs > 1);
        std::vector<QWidget*> shown = {form->lblIndex, form->pBarAll, form->lblSpeed, form->chkShutdown,
                                       form->chkOpenOutput, form->btnPause, form->btnCancel};
        if (jobs == 1) shown.insert(shown.end(), {form->lblFileInfo, form->pBarCur, form->lblInfoLength});
        for (const auto& line : form->RunningLines) shown.insert(shown.end(), {line.Name, line.Bar});
        for (std::size_t a = 0; a < shown.size(); ++a) {
            EXPECT_TRUE(form->rect().contains(shown[a]->geometry())) << a;
            for (std::size_t b = a + 1; b < shown.size(); ++b)
                EXPECT_FALSE(shown[a]->geometry().intersects(shown[b]->geometry())) << a << " and " << b;
        }
        CancelAndWait();
    }
}

TEST_F(ProgressDialog, PauseResumeAndAnsweringNoToCancel)
{
    Queue(4);
    Start(4, ".avi");
    form->btnPause->click();
    EXPECT_EQ(form->btnPause->text(), "&Resume");
    EXPECT_EQ(form->windowTitle(), "Converting (Paused)");
    form->btnPause->click();
    EXPECT_EQ(form->btnPause->text(), "&Pause");
    EXPECT_EQ(form->windowTitle(), "Converting");

    bool pausedWhileAsked = false;
    recorders.Prompter.DuringQuestion = [&] { pausedWhileAsked = form->Observer.RunState == kv::workflow::rsPaused; };
    recorders.Prompter.Answers.push_back(QMessageBox::No);
    form->btnCancel->click();
    EXPECT_TRUE(pausedWhileAsked);
    EXPECT_EQ(form->Observer.RunState, kv::workflow::rsRunning);
    EXPECT_EQ(form->btnPause->text(), "&Pause");
    EXPECT_FALSE(form->Observer.Cancelled);

    // Escape asks the same question.
    recorders.Prompter.DuringQuestion = nullptr;
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    recorders.Prompter.Answers.push_back(QMessageBox::Yes);
    QCoreApplication::sendEvent(form.get(), &escape);
    ASSERT_TRUE(kvtest::WaitFor([&] { return form->Finished(); }));
    EXPECT_TRUE(form->Observer.Cancelled);
    EXPECT_TRUE(recorders.Prompter.Texts().back().startsWith("The conversion was cancelled.\nConverted: "));
    EXPECT_EQ(openedOutput, 0);
    EXPECT_EQ(converter.Engine.TaskCount(), 0);
}

TEST_F(ProgressDialog, PreviewIsOfferedForOutputsWithPictures)
{
    const struct {
        const char* ext;
        bool preview;
    } cases[] = {{".mp3", false}, {".M4A", false}, {".wav", false}, {".avi", true}, {".mp4", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ext);
        // No task: the batch ends at once, after the dialog has set itself up.
        Start(0, c.ext);
        EXPECT_EQ(form->chkPreview->isEnabled(), c.preview);
        EXPECT_EQ(form->chkPreview->isChecked(), c.preview);
        EXPECT_EQ(converter.Engine.PreviewBitmap(), c.preview);
        EXPECT_EQ(form->imgConverting->isHidden(), c.preview);
        EXPECT_FALSE(form->imgConverting->size().isEmpty());
        ASSERT_TRUE(kvtest::WaitFor([&] { return form->Finished(); }));
        EXPECT_TRUE(recorders.Prompter.Texts().back().startsWith("Conversion completed.\nConverted: 0, failed: 0"));
    }
}

TEST_F(ProgressDialog, FramesArePaintedOnlyWhilePreviewIsOn)
{
    Queue(1);
    Start(1, ".avi");
    form->Observer.FrameBitmap = kv::media::TBitmap(4, 2);
    form->Observer.FrameBitmap.ScanLine(1)[3] = 0x10;  // blue, green, red of the second row's second pixel
    form->Observer.FrameBitmap.ScanLine(1)[4] = 0x20;
    form->Observer.FrameBitmap.ScanLine(1)[5] = 0x30;
    kv::workflow::TBatchEvent frame(kv::workflow::WM_PREVIEW_FRAME);
    QCoreApplication::sendEvent(form.get(), &frame);
    ASSERT_TRUE(form->pnlPreview->HasFrame());
    EXPECT_EQ(form->pnlPreview->Frame().pixel(1, 1), qRgb(0x30, 0x20, 0x10));

    form->chkPreview->click();
    EXPECT_FALSE(converter.Engine.PreviewBitmap());
    EXPECT_FALSE(form->imgConverting->isHidden());
    EXPECT_FALSE(form->pnlPreview->HasFrame());
    QCoreApplication::sendEvent(form.get(), &frame);
    EXPECT_FALSE(form->pnlPreview->HasFrame());
    CancelAndWait();
}

// ---- about

TEST(AboutBox, VersionTextIsTheFirstThreeParts)
{
    const struct {
        const char* version;
        const char* text;
    } cases[] = {{"2.1.5.300", "2.1.5"}, {"1.0.0", "1.0.0"}, {"3.2", "3.2"}, {"", ""}};
    for (const auto& c : cases) EXPECT_EQ(kv::app::TAboutBox::VersionText(c.version), c.text) << c.version;
}

TEST(AboutBox, ShowsTheVersionAndOpensItsLinksInTheBrowser)
{
    kvtest::TAppRecorders recorders;
    kv::app::SetPictureFolder(KV_STAGE_DIR "/KestravoRes");
    kv::app::TAboutBox box;
    kv::app::SetPictureFolder(QString());
    EXPECT_EQ(box.lblVersion->text(), QString("Product Version: %1").arg(KV_PROJECT_VERSION));
    EXPECT_FALSE(box.imgTop->pixmap().isNull());
    EXPECT_EQ(box.lbProductlHome->toolTip(), kv::app::ProductPageAddress);
    EXPECT_EQ(box.lblHomePage->toolTip(), kv::app::HomePageAddress);
    EXPECT_TRUE(QString(kv::app::ProductPageAddress).contains("example.org"));

    QEnterEvent enter(QPointF(2, 2), QPointF(2, 2), QPointF(2, 2));
    QCoreApplication::sendEvent(box.lblHomePage, &enter);
    EXPECT_TRUE(box.lblHomePage->font().underline());
    QEvent leave(QEvent::Leave);
    QCoreApplication::sendEvent(box.lblHomePage, &leave);
    EXPECT_FALSE(box.lblHomePage->font().underline());

    for (QLabel* link : {static_cast<QLabel*>(box.lbProductlHome), static_cast<QLabel*>(box.lblHomePage)}) {
        QMouseEvent release(QEvent::MouseButtonRelease, QPointF(2, 2), link->mapToGlobal(QPointF(2, 2)),
                            Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
        QCoreApplication::sendEvent(link, &release);
    }
    EXPECT_EQ(recorders.Shell.Urls, QStringList({kv::app::ProductPageAddress, kv::app::HomePageAddress}));
}

TEST(AboutBox, ClosesByClickEscapeAndItsButton)
{
    const struct {
        const char* how;
        QDialog::DialogCode result;
    } cases[] = {{"panel", QDialog::Accepted}, {"escape", QDialog::Rejected}, {"button", QDialog::Rejected}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.how);
        // No pictures at hand: the banner stays empty and the dialog still works.
        kv::app::SetPictureFolder("/nonexistent");
        kv::app::TAboutBox box;
        kv::app::SetPictureFolder(QString());
        EXPECT_TRUE(box.imgTop->pixmap().isNull());
        box.open();
        ASSERT_TRUE(box.isVisible());
        const std::string how = c.how;
        if (how == "panel") {
            QMouseEvent release(QEvent::MouseButtonRelease, QPointF(30, 140), QPointF(30, 140), Qt::LeftButton,
                                Qt::NoButton, Qt::NoModifier);
            QCoreApplication::sendEvent(box.pnlClient, &release);
        } else if (how == "escape") {
            QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
            QCoreApplication::sendEvent(&box, &escape);
        } else {
            box.btnClose->click();
        }
        EXPECT_FALSE(box.isVisible());
        EXPECT_EQ(box.result(), c.result);
    }
}

// ---- help pages and pictures, as the build stages them

TEST(HelpPages, EveryLinkLeadsToAPageOrAPlaceOfOne)
{
    const QDir help(KV_STAGE_DIR "/help");
    const QStringList pages = help.entryList({"*.html"}, QDir::Files);
    for (const char* page : {"welcome.html", "adding-files.html", "profiles.html", "trimming.html", "preview.html",
                             "converting.html", "command-line.html"})
        EXPECT_TRUE(pages.contains(page)) << page;
    const QRegularExpression href("href=\"([^\"]+)\"");
    for (const QString& page : pages) {
        QFile file(help.filePath(page));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(file.readAll());
        EXPECT_TRUE(text.contains("<title>")) << page.toStdString();
        for (auto it = href.globalMatch(text); it.hasNext();) {
            const QString link = it.next().captured(1);
            if (link.startsWith("http")) continue;
            const QString target = link.section('#', 0, 0).isEmpty() ? page : link.section('#', 0, 0);
            EXPECT_TRUE(help.exists(target)) << page.toStdString() << " -> " << link.toStdString();
            const QString anchor = link.section('#', 1);
            if (anchor.isEmpty() || !help.exists(target)) continue;
            QFile linked(help.filePath(target));
            ASSERT_TRUE(linked.open(QIODevice::ReadOnly));
            EXPECT_TRUE(QString::fromUtf8(linked.readAll()).contains(QString("name=\"%1\"").arg(anchor)))
                << page.toStdString() << " -> " << link.toStdString();
        }
    }
}

TEST(Pictures, EveryPictureTheWindowsLoadIsMade)
{
    const struct {
        const char* name;
        QSize size;  // empty: any
    } pictures[] = {
        {"MainImage.png", {730, 60}},  {"AboutImage.png", {460, 120}}, {"MainPreview.png", {280, 220}},
        {"About.png", {}},             {"Convert.png", {}},            {"AddFolder.png", {}},
        {"AddFile.png", {}},           {"EditFile.png", {}},           {"Remove.png", {}},
        {"Clear.png", {}},             {"MoveUp.png", {}},             {"MoveDown.png", {}},
        {"Play.png", {}},              {"Stop.png", {}},               {"Previous.png", {}},
        {"Next.png", {}},              {"Snapshot.png", {}},           {"Open.png", {}},
        {"SnapOption.png", {}},        {"EPlay.png", {32, 32}},        {"EStop.png", {32, 32}},
        {"EPlaySection.png", {32, 32}}, {"Start.png", {32, 32}},       {"End.png", {32, 32}},
        {"AudioFile.png", {16, 16}},   {"VideoFile.png", {16, 16}},    {"Web.png", {24, 24}},
        {"Home.png", {24, 24}},        {"Close.png", {24, 24}},        {"Help.png", {24, 24}},
        {"Pause.png", {}},             {"EPause.png", {32, 32}},       {"EPrevFrame.png", {32, 32}},
        {"ENextFrame.png", {32, 32}},
        {"Kestravo.png", {256, 256}},
        {KV_BUILD_DIR "/icons/hicolor/48x48/apps/kestravo.png", {48, 48}},
        {KV_BUILD_DIR "/icons/hicolor/256x256/apps/kestravo.png", {256, 256}},
    };
    for (const auto& p : pictures) {
        const QString path = QString(p.name).startsWith('/') ? QString(p.name) : QString(KV_STAGE_DIR "/KestravoRes/") + p.name;
        QImageReader reader(path);
        const QImage image = reader.read();
        ASSERT_FALSE(image.isNull()) << p.name << ": " << reader.errorString().toStdString();
        if (!p.size.isEmpty()) {
            EXPECT_EQ(image.size(), p.size) << p.name;
        }
        // Drawn, not blank.
        EXPECT_NE(image.pixel(image.width() / 2, image.height() / 2), image.pixel(0, 0)) << p.name;
    }
    QImageReader animation(KV_STAGE_DIR "/KestravoRes/Converting.gif");
    EXPECT_TRUE(animation.supportsAnimation());
    EXPECT_EQ(animation.imageCount(), 12);
    EXPECT_EQ(animation.size(), QSize(386, 236));
}

// ---- snapshot options and names

struct TSnapshotSettings {
    int Format;
    std::string Folder;
    int Naming;
    bool operator==(const TSnapshotSettings&) const = default;
};

std::ostream& operator<<(std::ostream& os, const TSnapshotSettings& s)
{
    return os << "format " << s.Format << " folder " << s.Folder << " naming " << s.Naming;
}

TSnapshotSettings StoredSnapshotSettings()
{
    return {IniOptions.SnapshotFormat, IniOptions.SnapshotFolder, IniOptions.SnapshotNaming};
}

TEST(SnapshotOptions, StoresTheChoicesOnOkOnly)
{
    struct Case {
        const char* name;
        std::function<void(kv::app::TSnapShotForm&)> close;
        TSnapshotSettings stored;
    } cases[] = {
        {"ok unchanged", [](auto& f) { f.btnOK->click(); }, {0, "/tmp/shots", 0}},
        {"ok changed",
         [](auto& f) {
             f.cbbSnapShotFormat->setCurrentIndex(1);
             f.rbTime->setChecked(true);
             f.edtSnapShotFolder->setText("/tmp/not/yet/there");
             f.btnOK->click();
         },
         {1, "/tmp/not/yet/there", 1}},
        {"cancel",
         [](auto& f) {
             f.cbbSnapShotFormat->setCurrentIndex(1);
             f.rbTime->setChecked(true);
             f.btnCancel->click();
         },
         {0, "/tmp/shots", 0}},
        {"close box",
         [](auto& f) {
             f.rbTime->setChecked(true);
             f.close();
         },
         {0, "/tmp/shots", 0}},
        // A format the settings file made up shows no choice; OK stores JPEG, which is what was saved.
        {"unknown format", [](auto& f) {
             IniOptions.SnapshotFormat = 7;
             kv::app::TSnapShotForm again;
             EXPECT_EQ(again.cbbSnapShotFormat->currentIndex(), -1);
             again.btnOK->click();
             f.reject();
         },
         {0, "/tmp/shots", 0}},
    };
    for (const Case& c : cases) {
        IniOptions = kv::workflow::TIniOptions();
        IniOptions.SnapshotFormat = 0;
        IniOptions.SnapshotFolder = "/tmp/shots";
        IniOptions.SnapshotNaming = 0;
        kv::app::TSnapShotForm form;
        EXPECT_EQ(form.windowTitle(), "Snapshot Options");
        EXPECT_EQ(form.cbbSnapShotFormat->currentText(), "JPEG image (*.jpg)");
        EXPECT_EQ(form.edtSnapShotFolder->text(), "/tmp/shots");
        EXPECT_TRUE(form.rbFileName->isChecked());
        form.show();
        c.close(form);
        EXPECT_EQ(StoredSnapshotSettings(), c.stored) << c.name;
    }
}

TEST(SnapshotNames, AfterTheSourceCountUpAfterTheTimeGiveEighteenDigits)
{
    QTemporaryDir dir;
    const QDateTime taken(QDate(2009, 3, 7), QTime(8, 5, 9, 42));
    struct Case {
        const char* caption;
        int naming, format;
        QStringList existing;
        QString name;
    } cases[] = {
        {"clip.avi", 0, 0, {}, "clip.jpg"},
        {"clip.avi", 0, 0, {"clip.jpg"}, "clip_1.jpg"},
        {"clip.avi", 0, 0, {"clip.jpg", "clip_1.jpg"}, "clip_2.jpg"},
        {"clip.avi", 0, 1, {"clip.jpg"}, "clip.bmp"},
        {"my.holiday.mkv", 0, 0, {}, "my.holiday.jpg"},
        {"clip.avi", 1, 0, {}, "20090307 080509042.jpg"},
        {"clip.avi", 1, 1, {}, "20090307 080509042.bmp"},
        // Namings and formats the settings file made up: after the source, as JPEG.
        {"clip.avi", 5, 9, {}, "clip.jpg"},
    };
    for (const Case& c : cases) {
        for (const QString& name : QDir(dir.path()).entryList(QDir::Files)) QFile::remove(dir.filePath(name));
        for (const QString& name : c.existing) QFile(dir.filePath(name)).open(QIODevice::WriteOnly);
        EXPECT_EQ(kv::app::SnapshotPath(dir.path(), c.caption, c.naming, c.format, taken), dir.filePath(c.name))
            << c.caption << " " << c.naming;
    }
}

TEST(SnapshotFiles, DecodeWithTheBitmapsSizeAndColours)
{
    QTemporaryDir dir;
    kv::media::TBitmap bitmap(64, 48);
    for (int y = 0; y < 48; ++y)
        for (int x = 0; x < 64; ++x) {
            std::uint8_t* p = bitmap.ScanLine(y) + 3 * x;
            p[0] = y < 24 ? 200 : 20, p[1] = 40, p[2] = x < 32 ? 220 : 30;  // blue, green, red
        }
    for (int format : {0, 1}) {
        const QString path = dir.filePath(format == 1 ? "a.bmp" : "a.jpg");
        ASSERT_TRUE(kv::app::SaveSnapshot(bitmap, path, format));
        const QImage image(path);
        ASSERT_EQ(image.size(), QSize(64, 48)) << format;
        EXPECT_EQ(QImageReader(path).format(), format == 1 ? "bmp" : "jpeg");
        const struct { int x, y, r, b; } points[] = {{8, 8, 220, 200}, {56, 8, 30, 200}, {8, 40, 220, 20}, {56, 40, 30, 20}};
        for (const auto& pt : points) {
            const QColor c = image.pixelColor(pt.x, pt.y);
            EXPECT_NEAR(c.red(), pt.r, 8) << format;
            EXPECT_NEAR(c.green(), 40, 8) << format;
            EXPECT_NEAR(c.blue(), pt.b, 8) << format;
        }
    }
    // A picture of nothing is not written.
    EXPECT_FALSE(kv::app::SaveSnapshot(kv::media::TBitmap(0, 0), dir.filePath("none.jpg"), 0));
    EXPECT_FALSE(QFileInfo::exists(dir.filePath("none.jpg")));
}

}  // namespace
