// The main window as a user drives it: start-up with and without settings, adding
// files and folders, the list's actions and their enabling, and batches run through
// the window to their outcomes in the rows and on disk.
#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QTextBrowser>
#include <QTimer>
#include <QToolButton>
#include <QUrl>

#include <unistd.h>

#include <csignal>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "app/Application.h"
#include "app/ConvertFrm.h"
#include "app/EndSignals.h"
#include "app/FileTypes.h"
#include "app/HelpWindow.h"
#include "app/ListColumns.h"
#include "app/Pictures.h"
#include "app/ProfileBox.h"
#include "app/ZelMainFrm.h"
#include "tests/support/AppRecorders.h"
#include "tests/support/EventLoop.h"
#include "tests/support/VideoConvert.h"
#include "tests/support/WidgetApplication.h"
#include "workflow/IniFile.h"
#include "workflow/IniOptions.h"

extern "C" {
#include <libavcodec/codec_id.h>
}

namespace {

namespace fs = std::filesystem;
using kv::app::TZelMainForm;
using kv::workflow::IniOptions;

const auto* const Env = ::testing::AddGlobalTestEnvironment(new kvtest::WidgetApplicationEnvironment);

QString Media(const char* name)
{
    return QString::fromStdString(kv::test::MediaFile(name));
}

// A video profile that converts fast and an audio-only one.
const char* const Catalogue = R"([Format]
Count=2
[Format0]
Name=AVI test(*.avi)
Ext=.avi
Category=1
Resolution=160*120,320*240
ResolutionValue=0
Framerate=15 fps,Keep original frame rate
FramerateValue=1
VideoEncoder=MPEG4
VideoEncoderValue=0
VideoBitRate=200 kbps
VideoBitRateValue=0
SampleRate=22050 Hz,44100 Hz
SampleRateValue=0
AudioBitrate=64 kbps
AudioBitrateValue=0
AudioEncoder=MPEG-2 Audio
AudioEncoderValue=0
Channel=1 Channel Mono,2 Channels Stereo
ChannelValue=1
Volume=256
[Format1]
Name=MP3 test(*.mp3)
Ext=.mp3
Category=0
SampleRate=44100 Hz
SampleRateValue=0
AudioBitrate=128 kbps
AudioBitrateValue=0
AudioEncoder=MP3 Audio
AudioEncoderValue=0
Channel=2 Channels Stereo
ChannelValue=0
Volume=256
)";

struct TActionState {
    bool Remove, Edit, Clear, Convert, Up, Down;
    bool operator==(const TActionState&) const = default;
};

std::ostream& operator<<(std::ostream& os, const TActionState& s)
{
    return os << "remove " << s.Remove << " edit " << s.Edit << " clear " << s.Clear << " convert " << s.Convert
              << " up " << s.Up << " down " << s.Down;
}

class MainWindow : public ::testing::Test {
protected:
    void SetUp() override
    {
        IniOptions = kv::workflow::TIniOptions();
        kv::app::SetPictureFolder(KV_STAGE_DIR "/KestravoRes");
        dir = fs::temp_directory_path() /
              ("kv_main_" + std::to_string(::getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
        places.SettingsFile = (dir / "kestravo.ini").string();
        places.DefaultOutputFolder = (dir / "output").string();
        places.HelpFolder = KV_STAGE_DIR "/help";
    }
    void TearDown() override
    {
        window.reset();
        kv::app::SetPictureFolder(QString());
        fs::remove_all(dir);
    }

    void WriteCatalogue(int format, const std::string& folder, const std::string& moreOutput = "")
    {
        std::ofstream(places.SettingsFile) << Catalogue << "[Output]\nFormat=" << format << "\n"
                                           << (folder.empty() ? "" : "Folder=" + folder + "\n") << moreOutput;
    }
    // Copies of one clip, each a file of its own: the list takes a file only once.
    QStringList Copies(int count) const
    {
        QStringList paths;
        for (const std::string& copy : kv::test::SeparateCopies(kv::test::MediaFile("avi_mpeg4_mp2.avi"), dir, count))
            paths << QString::fromStdString(copy);
        return paths;
    }
    void Open()
    {
        window = std::make_unique<TZelMainForm>(places);
        ASSERT_TRUE(window->InitEngine());
    }
    QString Cell(int row, int column) const { return window->lvFileList->item(row, column)->text(); }
    QStringList Column(int column) const
    {
        QStringList texts;
        for (int r = 0; r < window->lvFileList->rowCount(); ++r) texts << Cell(r, column);
        return texts;
    }
    // The record behind each row, by its file name: rows and list must stay in step.
    QStringList ListedNames() const
    {
        QStringList names;
        for (int i = 0; i < window->Converter->Files.Count(); ++i)
            names << QFileInfo(QString::fromStdString(window->Converter->Files.Items(i).FileName)).fileName();
        return names;
    }
    TActionState Actions() const
    {
        return {window->actRemoveFile->isEnabled(), window->actEdit->isEnabled(), window->actClear->isEnabled(),
                window->actConvert->isEnabled(),    window->actMoveUp->isEnabled(), window->actMoveDown->isEnabled()};
    }
    static bool SamePicture(const QIcon& icon, const char* picture)
    {
        const QImage shown = icon.pixmap(16, 16).toImage().convertToFormat(QImage::Format_ARGB32);
        return !shown.isNull() && shown == kv::app::LoadPicture(picture).toImage().convertToFormat(QImage::Format_ARGB32);
    }
    // Runs Convert; `whileShown` acts once on the progress dialog as soon as it is up.
    void Convert(const std::function<void(kv::app::TConvertForm&)>& whileShown = {})
    {
        bool acted = false;
        QTimer watch;
        QObject::connect(&watch, &QTimer::timeout, [&] {
            if (acted || !window->ProgressForm || !window->ProgressForm->isVisible()) return;
            acted = true;
            if (whileShown) whileShown(*window->ProgressForm);
        });
        watch.start(5);
        window->actConvert->trigger();
        EXPECT_EQ(window->ProgressForm, nullptr);
        EXPECT_EQ(window->Converter->Engine.TaskCount(), 0);
    }

    kvtest::TAppRecorders recorders;
    fs::path dir;
    kv::app::TAppPlaces places;
    std::unique_ptr<TZelMainForm> window;
};

TEST_F(MainWindow, StartsWithoutSettingsFileAndMakesTheDefaultOutputFolder)
{
    Open();
    EXPECT_EQ(window->windowTitle(), "Larkspire Kestravo");
    EXPECT_EQ(window->cbbFormatEx->count(), 0);
    EXPECT_EQ(window->edtOutputFolder->text().toStdString(), places.DefaultOutputFolder);
    EXPECT_TRUE(fs::is_directory(places.DefaultOutputFolder));
    EXPECT_FALSE(window->imgTop->pixmap().isNull());
    EXPECT_FALSE(window->windowIcon().isNull());
    EXPECT_EQ(Actions(), (TActionState{false, false, false, false, false, false}));
    EXPECT_TRUE(recorders.Prompter.Messages.empty());
}

TEST_F(MainWindow, StartsWithoutItsPictures)
{
    kv::app::SetPictureFolder(QString::fromStdString((dir / "no-pictures").string()));
    Open();
    EXPECT_TRUE(window->imgTop->pixmap().isNull());
    EXPECT_EQ(window->btnAddFile->text(), "Add Files");
    EXPECT_EQ(window->btnAddFile->toolButtonStyle(), Qt::ToolButtonTextOnly);
    window->AddFiles({Media("avi_mpeg4_mp2.avi")});
    EXPECT_EQ(window->lvFileList->rowCount(), 1);
    EXPECT_TRUE(window->lvFileList->item(0, 0)->icon().isNull());
}

TEST_F(MainWindow, RemembersProfileAndOutputFolderAcrossStarts)
{
    const std::string chosen = (dir / "chosen").string();
    WriteCatalogue(1, chosen);
    Open();
    ASSERT_EQ(window->cbbFormatEx->count(), 2);
    EXPECT_EQ(window->cbbFormatEx->itemText(0), "AVI test(*.avi)");
    EXPECT_EQ(window->SelectedProfile(), 1);
    EXPECT_EQ(window->cbbFormatEx->currentText(), "MP3 test(*.mp3)");
    EXPECT_TRUE(SamePicture(window->cbbFormatEx->itemIcon(0), "VideoFile.png"));
    EXPECT_TRUE(SamePicture(window->cbbFormatEx->itemIcon(1), "AudioFile.png"));
    EXPECT_EQ(window->edtOutputFolder->text().toStdString(), chosen);
    // The default folder is made only when it is the one in use.
    EXPECT_FALSE(fs::exists(places.DefaultOutputFolder));

    const std::string other = (dir / "other").string();
    window->SelectProfile(0);
    window->SetOutputFolder(QString::fromStdString(other));
    window.reset();
    const kv::workflow::TIniFile saved(places.SettingsFile);
    EXPECT_EQ(saved.ReadInteger("Output", "Format", -1), 0);
    EXPECT_EQ(saved.ReadString("Output", "Folder", ""), other);
    EXPECT_EQ(saved.ReadString("Format1", "Name", ""), "MP3 test(*.mp3)");

    IniOptions = kv::workflow::TIniOptions();
    Open();
    EXPECT_EQ(window->SelectedProfile(), 0);
    EXPECT_EQ(window->cbbFormatEx->currentText(), "AVI test(*.avi)");
    EXPECT_EQ(window->edtOutputFolder->text().toStdString(), other);
}

TEST_F(MainWindow, ARememberedProfileTheCatalogueLacksFallsBackToTheFirst)
{
    WriteCatalogue(7, "");
    Open();
    EXPECT_EQ(window->SelectedProfile(), 0);
    EXPECT_EQ(window->cbbFormatEx->currentText(), "AVI test(*.avi)");
    EXPECT_EQ(IniOptions.OutputFormat, 0);
}

TEST_F(MainWindow, AddFilesReportsRefusedFilesInOneMessageAndSelectsTheLastAdded)
{
    Open();
    const QString missing = QString::fromStdString((dir / "gone.avi").string());
    recorders.Prompter.Files = {Media("avi_mpeg4_mp2.avi"), Media("random.bin"), Media("mp4_h264_aac.mp4"),
                                Media("short_0999ms.avi"), Media("empty.avi"), Media("avi_mpeg4_mp2.avi"),
                                missing, Media("mp3_tagged.mp3")};
    window->actAddFile->trigger();

    // Every refused file in one message, each with its reason.
    ASSERT_EQ(recorders.Prompter.Messages.size(), 1u);
    const QStringList lines = recorders.Prompter.Messages[0].Text.split('\n');
    ASSERT_EQ(lines.size(), 6) << recorders.Prompter.Messages[0].Text.toStdString();
    EXPECT_EQ(lines[0], "4 files were not added:");
    EXPECT_EQ(lines[1], "");
    EXPECT_TRUE(lines[2].startsWith(Media("random.bin") + ": not a media file that can be read (")) << lines[2].toStdString();
    EXPECT_EQ(lines[3], Media("empty.avi") + ": the file is empty");
    EXPECT_EQ(lines[4], Media("avi_mpeg4_mp2.avi") + ": already in the list");
    EXPECT_EQ(lines[5], missing + ": the file does not exist");
    EXPECT_EQ(recorders.Prompter.Messages[0].Icon, QMessageBox::Information);
    EXPECT_EQ(recorders.Prompter.Messages[0].Owner, window.get());

    // Shorter than a second is still a file to convert.
    EXPECT_EQ(Column(kv::app::colSource),
              QStringList({"avi_mpeg4_mp2.avi", "mp4_h264_aac.mp4", "short_0999ms.avi", "mp3_tagged.mp3"}));
    EXPECT_EQ(ListedNames(), Column(kv::app::colSource));
    EXPECT_EQ(Column(kv::app::colType), QStringList({"avi", "mp4", "avi", "mp3"}));
    EXPECT_EQ(Column(kv::app::colOriginal), QStringList({"00:00:02", "00:00:02", "00:00:00", "00:00:02"}));
    EXPECT_EQ(Column(kv::app::colTrimmed), Column(kv::app::colOriginal));
    EXPECT_EQ(Column(kv::app::colStatus), QStringList({"-", "-", "-", "-"}));
    EXPECT_EQ(Column(kv::app::colDestination), QStringList({"", "", "", ""}));
    EXPECT_TRUE(SamePicture(window->lvFileList->item(0, 0)->icon(), "VideoFile.png"));
    EXPECT_TRUE(SamePicture(window->lvFileList->item(3, 0)->icon(), "AudioFile.png"));
    EXPECT_EQ(window->SelectedRow(), 3);
    EXPECT_EQ(window->lblPreviewInfo->text(), "Preview: mp3_tagged.mp3");
}

TEST_F(MainWindow, AddFolderSearchesTheTreeForVideoAndAudioFiles)
{
    const fs::path videos = dir / "videos";
    fs::create_directories(videos / "sub");
    fs::create_directories(videos / ".hidden");
    fs::create_symlink(kv::test::MediaFile("avi_mpeg4_mp2.avi"), videos / "b_clip.avi");
    fs::create_symlink(kv::test::MediaFile("mp4_h264_aac.mp4"), videos / "A_CLIP.MP4");
    fs::create_symlink(kv::test::MediaFile("mp3_tagged.mp3"), videos / "song.mp3");
    fs::create_symlink(kv::test::MediaFile("empty.avi"), videos / "broken.avi");
    fs::create_symlink(kv::test::MediaFile("mkv_subtitle.mkv"), videos / "sub" / "inner.mkv");
    fs::create_symlink(kv::test::MediaFile("avi_mpeg4_mp2.avi"), videos / ".hidden" / "secret.avi");
    fs::create_symlink(videos, videos / "sub" / "loop");
    std::ofstream(videos / "notes.txt") << "not a video\n";

    Open();
    window->AddFiles({Media("wav_pcm.wav")});
    recorders.Prompter.Folder = QString::fromStdString(videos.string());
    window->actAddFolder->trigger();

    EXPECT_EQ(recorders.Prompter.Texts(),
              QStringList({QString("4 files added from \"%1\".\n\n1 file was not added:\n\n%2/broken.avi: the file is empty")
                               .arg(recorders.Prompter.Folder, recorders.Prompter.Folder)}));
    EXPECT_EQ(Column(kv::app::colSource),
              QStringList({"wav_pcm.wav", "A_CLIP.MP4", "b_clip.avi", "song.mp3", "inner.mkv"}));
    EXPECT_EQ(ListedNames(), Column(kv::app::colSource));
    // The first row the folder added.
    EXPECT_EQ(window->SelectedRow(), 1);
}

TEST_F(MainWindow, AddFolderWithoutMediaFilesSaysSoAndSelectsNothing)
{
    fs::create_directories(dir / "papers");
    std::ofstream(dir / "papers" / "notes.txt") << "not a video\n";
    Open();
    const QString papers = QString::fromStdString((dir / "papers").string());
    window->AddFolder(papers);
    EXPECT_EQ(recorders.Prompter.Texts(), QStringList({QString("No video or audio files were found in \"%1\".").arg(papers)}));
    EXPECT_EQ(window->lvFileList->rowCount(), 0);
    EXPECT_EQ(window->SelectedRow(), -1);
}

TEST_F(MainWindow, ListActionsKeepRowsAndListInStep)
{
    Open();
    window->AddFiles({Media("avi_mpeg4_mp2.avi"), Media("mp4_h264_aac.mp4"), Media("mkv_subtitle.mkv")});
    const QString a = "avi_mpeg4_mp2.avi", b = "mp4_h264_aac.mp4", c = "mkv_subtitle.mkv";
    struct TStep {
        const char* what;
        std::function<void()> act;
        QStringList rows;
        int selected;
        TActionState actions;
    };
    const std::vector<TStep> steps = {
        {"added", [] {}, {a, b, c}, 2, {true, true, true, true, true, false}},
        {"first selected", [&] { window->lvFileList->selectRow(0); }, {a, b, c}, 0, {true, true, true, true, false, true}},
        {"first moved down", [&] { window->actMoveDown->trigger(); }, {b, a, c}, 1, {true, true, true, true, true, true}},
        {"and up again", [&] { window->actMoveUp->trigger(); }, {a, b, c}, 0, {true, true, true, true, false, true}},
        {"middle removed", [&] { window->lvFileList->selectRow(1); window->actRemoveFile->trigger(); }, {a, c}, 1,
         {true, true, true, true, true, false}},
        {"last removed", [&] { window->actRemoveFile->trigger(); }, {a}, 0, {true, true, true, true, false, false}},
        {"only row removed", [&] { window->actRemoveFile->trigger(); }, {}, -1, {false, false, false, false, false, false}},
        {"two added", [&] { window->AddFiles({Media("avi_mpeg4_mp2.avi"), Media("mkv_subtitle.mkv")}); }, {a, c}, 1,
         {true, true, true, true, true, false}},
        {"cleared", [&] { window->actClear->trigger(); }, {}, -1, {false, false, false, false, false, false}},
    };
    for (const TStep& step : steps) {
        SCOPED_TRACE(step.what);
        step.act();
        EXPECT_EQ(Column(kv::app::colSource), step.rows);
        EXPECT_EQ(ListedNames(), step.rows);
        EXPECT_EQ(window->SelectedRow(), step.selected);
        EXPECT_EQ(Actions(), step.actions);
    }
    EXPECT_EQ(window->PreviewIndex, -1);
    EXPECT_EQ(window->lblPreviewInfo->text(), "Preview:");
}

TEST_F(MainWindow, PreviewAndEditFollowTheHighlightedRowAfterRemove)
{
    Open();
    window->AddFiles(Copies(4));
    const QStringList names = Column(kv::app::colSource);
    // Row selected before Remove, and the row highlighted after it.
    const struct {
        int remove;
        int highlighted;
    } steps[] = {{1, 1}, {2, 1}, {0, 0}};
    for (const auto& step : steps) {
        SCOPED_TRACE(step.remove);
        window->lvFileList->selectRow(step.remove);
        window->actRemoveFile->trigger();
        EXPECT_EQ(window->SelectedRow(), step.highlighted);
        EXPECT_EQ(window->PreviewIndex, step.highlighted);
        EXPECT_EQ(window->lblPreviewInfo->text(), "Preview: " + Cell(step.highlighted, kv::app::colSource));
        EXPECT_EQ(ListedNames(), Column(kv::app::colSource));
    }
    window->actRemoveFile->trigger();
    EXPECT_EQ(window->PreviewIndex, -1);
    EXPECT_EQ(window->lblPreviewInfo->text(), "Preview:");
}

TEST_F(MainWindow, SeveralSelectedRowsMoveAndGoTogether)
{
    Open();
    window->AddFiles(Copies(5));
    const QStringList n = Column(kv::app::colSource);
    const auto select = [&](std::initializer_list<int> rows) {
        window->lvFileList->clearSelection();
        for (int r : rows)
            window->lvFileList->selectionModel()->select(window->lvFileList->model()->index(r, 0),
                                                         QItemSelectionModel::Select | QItemSelectionModel::Rows);
    };
    select({1, 3});
    window->actMoveUp->trigger();
    EXPECT_EQ(Column(kv::app::colSource), QStringList({n[1], n[0], n[3], n[2], n[4]}));
    EXPECT_EQ(window->SelectedRows(), QList<int>({0, 2}));
    // The block cannot move above the top.
    EXPECT_FALSE(window->actMoveUp->isEnabled());
    window->actMoveDown->trigger();
    EXPECT_EQ(Column(kv::app::colSource), n);
    EXPECT_EQ(window->SelectedRows(), QList<int>({1, 3}));
    EXPECT_EQ(ListedNames(), Column(kv::app::colSource));

    window->actRemoveFile->trigger();
    EXPECT_EQ(Column(kv::app::colSource), QStringList({n[0], n[2], n[4]}));
    EXPECT_EQ(ListedNames(), Column(kv::app::colSource));
    EXPECT_EQ(window->SelectedRow(), 1);
    window->lvFileList->selectAll();
    EXPECT_EQ(window->SelectedRows().size(), 3);
    window->actRemoveFile->trigger();
    EXPECT_EQ(window->lvFileList->rowCount(), 0);
    EXPECT_EQ(window->Converter->Files.Count(), 0);
}

TEST_F(MainWindow, ClearAsksBeforeDroppingTrimsOrOutcomes)
{
    Open();
    window->AddFiles(Copies(2));
    window->actClear->trigger();
    EXPECT_TRUE(recorders.Prompter.Messages.empty());
    EXPECT_EQ(window->lvFileList->rowCount(), 0);

    window->AddFiles(Copies(2));
    window->Converter->Files.Items(1).TrimStart = 500;
    recorders.Prompter.Answers = {QMessageBox::No, QMessageBox::Yes};
    window->actClear->trigger();
    EXPECT_EQ(window->lvFileList->rowCount(), 2);
    window->actClear->trigger();
    EXPECT_EQ(window->lvFileList->rowCount(), 0);
    EXPECT_EQ(window->Converter->Files.Count(), 0);
    ASSERT_EQ(recorders.Prompter.Messages.size(), 2u);
    EXPECT_EQ(recorders.Prompter.Messages[0].Icon, QMessageBox::Question);
}

TEST_F(MainWindow, EveryExtensionIsOfferedCollectedAndTypedByTheProbe)
{
    const QStringList filters = kv::app::OpenFileFilters();
    ASSERT_EQ(filters.size(), 4);
    EXPECT_TRUE(filters[0].startsWith("All Supported Files ("));
    EXPECT_EQ(filters[3], "All Files (*)");
    const fs::path folder = dir / "mixed";
    fs::create_directories(folder);
    int made = 0;
    for (const QStringList* list : {&kv::app::VideoExtensions(), &kv::app::AudioExtensions()}) {
        const bool video = list == &kv::app::VideoExtensions();
        for (const QString& ext : *list) {
            SCOPED_TRACE(ext.toStdString());
            for (const QString& pattern : {"*." + ext, "*." + ext.toUpper()}) {
                EXPECT_TRUE(filters[0].contains(pattern + " ") || filters[0].contains(pattern + ")"));
                EXPECT_TRUE(filters[video ? 1 : 2].contains(pattern + " ") || filters[video ? 1 : 2].contains(pattern + ")"));
            }
            // The content decides, not the name: every other one carries the other kind.
            const bool picture = video == (made % 2 == 0);
            fs::copy_file(kv::test::MediaFile(picture ? "tiny_64x48.avi" : "sfx_0300ms.wav"),
                          folder / ("f" + std::to_string(made) + "." + (made % 3 == 0 ? ext.toUpper() : ext).toStdString()));
            ++made;
        }
    }
    // Files as phones, cameras and web sites make them.
    const struct {
        const char* source;
        const char* name;
        bool video;
    } real[] = {{"webm_vp8_vorbis.webm", "web.webm", true},   {"ogv_theora_vorbis.ogv", "free.ogv", true},
                {"mp4_h264_aac.mp4", "phone.m4v", true},      {"mp4_h264_aac.mp4", "camera.mov", true},
                {"ts_jump.ts", "broadcast.m2ts", true},       {"ts_jump.ts", "camcorder.mts", true},
                {"opus_song.opus", "voice.opus", false},      {"m4a_aac.m4a", "song.m4a", false},
                {"m4a_aac.m4a", "sound_only.mp4", false},     {"tiny_64x48.avi", "a_film.mp3", true}};
    const fs::path named = dir / "named";
    fs::create_directories(named);
    for (const auto& r : real) fs::copy_file(kv::test::MediaFile(r.source), named / r.name);

    Open();
    window->AddFolder(QString::fromStdString(folder.string()));
    EXPECT_EQ(window->lvFileList->rowCount(), made) << recorders.Prompter.Texts().join('\n').toStdString();
    for (int row = 0; row < window->lvFileList->rowCount(); ++row) {
        const QString name = Cell(row, kv::app::colSource);
        SCOPED_TRACE(name.toStdString());
        const int number = name.mid(1, name.indexOf('.') - 1).toInt();
        const bool video = kv::app::VideoExtensions().contains(QFileInfo(name).suffix().toLower());
        const bool picture = video == (number % 2 == 0);
        EXPECT_TRUE(SamePicture(window->lvFileList->item(row, 0)->icon(), picture ? "VideoFile.png" : "AudioFile.png"));
    }
    window->actClear->trigger();
    window->AddFolder(QString::fromStdString(named.string()));
    ASSERT_EQ(window->lvFileList->rowCount(), static_cast<int>(std::size(real)));
    for (const auto& r : real) {
        SCOPED_TRACE(r.name);
        const QStringList names = Column(kv::app::colSource);
        const int row = static_cast<int>(names.indexOf(r.name));
        ASSERT_GE(row, 0);
        EXPECT_TRUE(SamePicture(window->lvFileList->item(row, 0)->icon(), r.video ? "VideoFile.png" : "AudioFile.png"));
    }
}

TEST_F(MainWindow, AFileGoneOrEmptiedBeforeItsTurnIsReportedAsFailed)
{
    WriteCatalogue(0, (dir / "out").string());
    Open();
    const QStringList copies = Copies(3);
    window->AddFiles(copies);
    fs::remove(copies[0].toStdString());
    fs::resize_file(copies[2].toStdString(), 0);
    Convert();
    EXPECT_EQ(Column(kv::app::colStatus), QStringList({"Failed", "Success", "Failed"}));
    EXPECT_FALSE(Column(kv::app::colDetails)[0].isEmpty());
    EXPECT_FALSE(Column(kv::app::colDetails)[2].isEmpty());
    ASSERT_EQ(recorders.Prompter.Messages.size(), 1u);
    const QStringList lines = recorders.Prompter.Messages[0].Text.split('\n');
    ASSERT_EQ(lines.size(), 6) << recorders.Prompter.Messages[0].Text.toStdString();
    EXPECT_EQ(lines[0], "Conversion completed.");
    EXPECT_EQ(lines[1], "Converted: 1, failed: 2, cancelled: 0.");
    EXPECT_EQ(lines[3], "Not converted:");
    EXPECT_EQ(lines[4], QFileInfo(copies[0]).fileName() + ": " + Column(kv::app::colDetails)[0]);
    EXPECT_EQ(lines[5], QFileInfo(copies[2]).fileName() + ": " + Column(kv::app::colDetails)[2]);
    EXPECT_EQ(recorders.Prompter.Messages[0].Icon, QMessageBox::Warning);
    // Nothing half-written of the failed files is left.
    for (const auto& entry : fs::directory_iterator(dir / "out"))
        EXPECT_EQ(entry.path().filename().string(), Cell(1, kv::app::colDestination).toStdString());
}

TEST_F(MainWindow, TheWindowGrowsItsListAndRemembersItsSizeColumnsAndFolders)
{
    Open();
    window->show();
    EXPECT_EQ(window->minimumSize(), QSize(730, 571));
    EXPECT_NE(window->maximumSize(), window->minimumSize());
    window->resize(window->minimumSize());
    const QRect list = window->lvFileList->geometry(), preview = window->pnlPreview->geometry();
    window->resize(1030, 771);
    EXPECT_EQ(window->lvFileList->width(), list.width() + 300);
    EXPECT_EQ(window->lvFileList->height(), list.height() + 200);
    EXPECT_EQ(window->pnlPreview->geometry(), preview.translated(300, 0));
    EXPECT_EQ(window->btnConvert->geometry().bottomRight(), QPoint(1030 - 11, 771 - 28));
    EXPECT_LT(window->lvFileList->geometry().bottom(), window->btnRemoveFile->y());
    EXPECT_LT(window->btnRemoveFile->geometry().bottom(), window->cbbFormatEx->y());
    // The row under the folder keeps its controls together.
    for (const QWidget* w : {static_cast<QWidget*>(window->chkKeepFolders), static_cast<QWidget*>(window->cbbIfExists)})
        EXPECT_EQ(w->y(), window->spnJobs->y());
    EXPECT_FALSE(window->edtOutputFolder->isReadOnly());
    window->lvFileList->setColumnWidth(kv::app::colSource, 222);

    const fs::path clips = dir / "clips";
    fs::create_directories(clips);
    fs::copy_file(kv::test::MediaFile("tiny_64x48.avi"), clips / "t.avi");
    recorders.Prompter.Files = {QString::fromStdString((clips / "t.avi").string())};
    window->actAddFile->trigger();
    EXPECT_TRUE(recorders.Prompter.FileFilters.front().startsWith("All Supported Files ("));
    window->actAddFile->trigger();
    EXPECT_EQ(recorders.Prompter.ChooserStart.toStdString(), clips.string());
    window.reset();

    IniOptions = kv::workflow::TIniOptions();
    Open();
    EXPECT_EQ(window->size(), QSize(1030, 771));
    EXPECT_EQ(window->lvFileList->columnWidth(kv::app::colSource), 222);
    window->actAddFolder->trigger();
    EXPECT_EQ(recorders.Prompter.ChooserStart.toStdString(), clips.string());
}

TEST(ListColumns, SourceAndDestinationShareTheWidthBeforeDetailsGrows)
{
    for (int available : {300, 408, 500, 700, 850, 1200, 1600}) {
        const kv::app::TColumnWidths w = kv::app::SharedColumnWidths(available);
        int throughDestination = 0;
        for (int c = 0; c <= kv::app::colDestination; ++c) throughDestination += w[static_cast<std::size_t>(c)];
        EXPECT_EQ(w[kv::app::colSource], w[kv::app::colDestination]) << available;
        EXPECT_GE(w[kv::app::colSource], 80) << available;
        EXPECT_GE(w[kv::app::colDetails], 100) << available;
        // Both names in view once there is room for them at all.
        if (available >= 420) {
            EXPECT_LE(throughDestination, available) << available;
        }
        // Details grows only once the names have their full width.
        if (w[kv::app::colSource] < 260) {
            EXPECT_LE(w[kv::app::colDetails], 101) << available;  // an odd pixel at most
        }
        // Once everything has room, the row is filled exactly.
        if (available >= 503) {
            EXPECT_EQ(throughDestination + w[kv::app::colDetails], available) << available;
        }
    }
    EXPECT_LT(kv::app::SharedColumnWidths(500)[kv::app::colSource], kv::app::SharedColumnWidths(700)[kv::app::colSource]);
}

TEST_F(MainWindow, TheNamesKeepTheListsWidthAtEverySizeUntilTheUserSizesAColumn)
{
    Open();
    window->show();
    const auto inView = [&](int column) {
        const QHeaderView& header = *window->lvFileList->horizontalHeader();
        return header.sectionPosition(column) + header.sectionSize(column) <= window->lvFileList->viewport()->width();
    };
    window->resize(window->minimumSize());
    EXPECT_TRUE(inView(kv::app::colDestination));
    const int narrow = window->lvFileList->columnWidth(kv::app::colSource);
    EXPECT_GE(narrow, 80);
    // A heading too long for its column ends in an ellipsis and shows whole on hover.
    const QTableWidgetItem* heading = window->lvFileList->horizontalHeaderItem(kv::app::colDestination);
    const QFontMetrics metrics = window->lvFileList->horizontalHeader()->fontMetrics();
    EXPECT_EQ(heading->toolTip(), "Destination File");
    if (metrics.horizontalAdvance("Destination File") + 12 > window->lvFileList->columnWidth(kv::app::colDestination)) {
        EXPECT_TRUE(heading->text().endsWith(QChar(0x2026))) << heading->text().toStdString();
    }
    window->resize(window->minimumSize() + QSize(300, 0));
    EXPECT_EQ(heading->text(), "Destination File");
    EXPECT_GT(window->lvFileList->columnWidth(kv::app::colSource), narrow);
    EXPECT_EQ(window->lvFileList->columnWidth(kv::app::colSource), window->lvFileList->columnWidth(kv::app::colDestination));
    EXPECT_TRUE(inView(kv::app::colDetails));
    // Widths the window chose are not remembered: the next start shares its own size again.
    window.reset();
    EXPECT_EQ(kv::workflow::TIniFile(places.SettingsFile).ReadString("Window", "Columns", "x"), "");
    Open();
    window->show();
    window->resize(window->minimumSize());
    EXPECT_EQ(window->lvFileList->columnWidth(kv::app::colSource), narrow);
    // A column the user sized stays so.
    window->lvFileList->horizontalHeader()->resizeSection(kv::app::colSource, 150);
    window->resize(window->minimumSize() + QSize(300, 0));
    EXPECT_EQ(window->lvFileList->columnWidth(kv::app::colSource), 150);

    // The full paths show on hover, the cells elide in the middle.
    window.reset();
    WriteCatalogue(0, (dir / "out").string());
    IniOptions = kv::workflow::TIniOptions();
    Open();
    window->AddFiles({Media("tiny_64x48.avi")});
    Convert();
    ASSERT_EQ(Column(kv::app::colStatus), QStringList({"Success"}));
    EXPECT_EQ(window->lvFileList->item(0, kv::app::colSource)->toolTip(), Media("tiny_64x48.avi"));
    EXPECT_EQ(window->lvFileList->item(0, kv::app::colDestination)->toolTip().toStdString(),
              (dir / "out" / "tiny_64x48.avi").string());
    EXPECT_EQ(window->lvFileList->textElideMode(), Qt::ElideMiddle);
}

TEST_F(MainWindow, ATypedOutputFolderIsTheOneConvertedInto)
{
    WriteCatalogue(0, (dir / "out").string());
    Open();
    const QString typed = QString::fromStdString((dir / "typed").string());
    window->edtOutputFolder->selectAll();
    window->edtOutputFolder->insert(typed);
    EXPECT_EQ(IniOptions.OutputFolder, typed.toStdString());
    window->AddFiles({Media("tiny_64x48.avi")});
    Convert();
    EXPECT_EQ(Column(kv::app::colStatus), QStringList({"Success"}));
    EXPECT_TRUE(fs::is_regular_file(dir / "typed" / "tiny_64x48.avi"));
}

TEST_F(MainWindow, AnEndSignalDuringABatchCancelsItLeavesNoPartialOutputAndKeepsTheSettings)
{
    WriteCatalogue(0, (dir / "out").string());
    Open();
    window->show();
    // A choice made since the start.
    const std::string chosen = (dir / "chosen").string();
    window->SetOutputFolder(QString::fromStdString(chosen));
    window->AddFiles(Copies(3));
    const kv::app::TEndSignals ends([this] { window->EndApplication(); });
    Convert([](kv::app::TConvertForm&) { ::kill(::getpid(), SIGTERM); });

    EXPECT_TRUE(window->EndRequested());
    EXPECT_FALSE(window->isVisible());
    // Nobody is asked or told anything on the way out.
    EXPECT_TRUE(recorders.Prompter.Messages.empty()) << recorders.Prompter.Texts().join('\n').toStdString();
    EXPECT_EQ(recorders.Shell.PowerOffs, 0);
    EXPECT_EQ(Column(kv::app::colStatus).back(), "Canceled");
    const QStringList destinations = Column(kv::app::colDestination);
    for (const auto& entry : fs::directory_iterator(chosen))
        EXPECT_TRUE(destinations.contains(QString::fromStdString(entry.path().filename().string()))) << entry.path();
    EXPECT_EQ(kv::workflow::TIniFile(places.SettingsFile).ReadString("Output", "Folder", ""), chosen);
}

TEST_F(MainWindow, TheProfileBoxGroupsTheShippedCatalogueUnderItsCategories)
{
    fs::copy_file(KV_STAGE_DIR "/kestravo.ini", places.SettingsFile);
    Open();
    const QComboBox& box = *window->cbbFormatEx;
    ASSERT_GT(box.count(), 2);
    ASSERT_EQ(box.count(), IniOptions.FormatCount);
    QStringList headings;
    QString group;
    QList<int> profiles;
    for (int row = 0; row < box.count(); ++row) {
        const int profile = kv::app::ProfileAtRow(box, row);
        ASSERT_GE(profile, 0) << row;
        ASSERT_LT(profile, IniOptions.FormatCount) << row;
        profiles << profile;
        const kv::workflow::TFormatRec& format = IniOptions.Formats[static_cast<std::size_t>(profile)];
        EXPECT_EQ(box.itemText(row).toStdString(), format.Name) << row;
        const QString heading = kv::app::HeadingAbove(box, row);
        if (!heading.isEmpty()) {
            headings << heading;
            group = heading;
        }
        // Every profile stands under the heading of its category.
        EXPECT_EQ(group, kv::app::CategoryName(format.Category)) << format.Name;
        // Within a group in catalogue order.
        if (heading.isEmpty() && row > 0) {
            EXPECT_GT(profile, profiles[row - 1]) << format.Name;
        }
    }
    // One heading per category, each profile once.
    EXPECT_EQ(headings, QStringList({"Video", "Audio"}));
    std::sort(profiles.begin(), profiles.end());
    for (int i = 0; i < profiles.size(); ++i) EXPECT_EQ(profiles[i], i);
    // The row with a heading is taller by it in the open list.
    QStyleOptionViewItem option;
    option.initFrom(box.view());
    const QAbstractItemDelegate* headingsDelegate = box.view()->itemDelegate();
    EXPECT_GT(headingsDelegate->sizeHint(option, box.model()->index(0, 0)).height(),
              headingsDelegate->sizeHint(option, box.model()->index(1, 0)).height());
    // The settings keep naming profiles by their index, whichever row shows them.
    const int last = IniOptions.FormatCount - 1;
    for (int profile : {last, 24, 0}) {
        window->SelectProfile(profile);
        EXPECT_EQ(window->SelectedProfile(), profile);
        EXPECT_EQ(IniOptions.OutputFormat, profile);
        EXPECT_EQ(box.currentText().toStdString(), IniOptions.Formats[static_cast<std::size_t>(profile)].Name);
    }
    window->cbbFormatEx->setCurrentIndex(box.count() - 1);
    EXPECT_EQ(IniOptions.OutputFormat, kv::app::ProfileAtRow(box, box.count() - 1));
    window->SelectProfile(24);
    window.reset();
    EXPECT_EQ(kv::workflow::TIniFile(places.SettingsFile).ReadInteger("Output", "Format", -1), 24);
}

TEST(ProfileBox, GroupsProfilesByCategoryInTheOrderTheCatalogueFirstNamesThem)
{
    const struct {
        QList<int> categories;
        QList<int> order;
    } cases[] = {
        {{}, {}},
        {{1, 1, 0, 0}, {0, 1, 2, 3}},
        {{1, 0, 1, 0}, {0, 2, 1, 3}},
        {{0, 1, 0, 1, 1}, {0, 2, 1, 3, 4}},
        {{1, 0, 2, 1, 0, 2}, {0, 3, 1, 4, 2, 5}},
    };
    for (const auto& c : cases) EXPECT_EQ(kv::app::GroupedProfileOrder(c.categories), c.order) << c.categories.size();
}

TEST_F(MainWindow, AFolderNoFileManagerCanOpenIsReported)
{
    Open();
    recorders.Shell.HasFileManager = false;
    window->actOpenFolder->trigger();
    window->actOpenSnapshot->trigger();
    ASSERT_EQ(recorders.Shell.Folders.size(), 2);
    ASSERT_EQ(recorders.Prompter.Messages.size(), 2u);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(recorders.Prompter.Messages[static_cast<std::size_t>(i)].Text,
                  QString("The folder \"%1\" could not be opened: no file manager was found.").arg(recorders.Shell.Folders[i]));
        EXPECT_EQ(recorders.Prompter.Messages[static_cast<std::size_t>(i)].Icon, QMessageBox::Warning);
    }
}

TEST_F(MainWindow, EveryActionNamesItsKeyInItsHint)
{
    Open();
    const struct {
        QAction* action;
        const char* key;
    } keys[] = {
        {window->actAddFile, "Ctrl+O"},       {window->actAddFolder, "Ctrl+Shift+O"},
        {window->actEdit, "Ctrl+E"},          {window->actRemoveFile, "Del"},
        {window->actClear, "Ctrl+Shift+Del"}, {window->actMoveUp, "Alt+Up"},
        {window->actMoveDown, "Alt+Down"},    {window->actFormatSetting, "Ctrl+,"},
        {window->actOpenFolder, "Ctrl+Shift+F"}, {window->actConvert, "Ctrl+Return"},
        {window->actHelp, "F1"},
    };
    for (const auto& k : keys) {
        SCOPED_TRACE(k.action->text().toStdString());
        EXPECT_EQ(k.action->shortcut(), QKeySequence(k.key));
        EXPECT_TRUE(k.action->toolTip().endsWith(QString("(%1)").arg(k.key))) << k.action->toolTip().toStdString();
    }
    EXPECT_EQ(window->actAddFile->toolTip(), "Add video or audio files to convert (Ctrl+O)");
    EXPECT_EQ(window->btnSetting->text(), "Settings...");
}

TEST_F(MainWindow, ConvertsTwoClipsIntoTheOutputFolder)
{
    WriteCatalogue(0, (dir / "out").string());
    Open();
    window->AddFiles({Media("avi_mpeg4_mp2.avi"), Media("mp4_h264_aac.mp4")});
    bool previewOffered = false;
    Convert([&](kv::app::TConvertForm& form) { previewOffered = form.chkPreview->isEnabled() && form.chkPreview->isChecked(); });

    EXPECT_TRUE(previewOffered);
    EXPECT_EQ(recorders.Prompter.Texts(), QStringList({"Conversion completed.\nConverted: 2, failed: 0, cancelled: 0."}));
    EXPECT_EQ(Column(kv::app::colStatus), QStringList({"Success", "Success"}));
    EXPECT_EQ(Column(kv::app::colDestination), QStringList({"avi_mpeg4_mp2.avi", "mp4_h264_aac.avi"}));
    EXPECT_EQ(recorders.Shell.PowerOffs, 0);
    EXPECT_TRUE(recorders.Shell.Folders.isEmpty());
    for (const char* name : {"avi_mpeg4_mp2.avi", "mp4_h264_aac.avi"}) {
        SCOPED_TRACE(name);
        const kv::test::TDecodedVideo video = kv::test::DecodeVideo((dir / "out" / name).string());
        ASSERT_TRUE(video.Ok);
        EXPECT_EQ(video.Codec, AV_CODEC_ID_MPEG4);
        EXPECT_EQ(video.Width, 160);
        EXPECT_EQ(video.Height, 120);
        EXPECT_GE(video.Frames, 45);
        EXPECT_GT(video.OtherStreamPackets, 0);
        EXPECT_NE(std::find(video.StreamCodecs.begin(), video.StreamCodecs.end(), AV_CODEC_ID_MP2),
                  video.StreamCodecs.end());
    }
}

TEST_F(MainWindow, TheListStaysAsItIsWhileABatchIsPrepared)
{
    WriteCatalogue(0, (dir / "out").string());
    Open();
    window->AddFiles({Media("avi_mpeg4_mp2.avi"), Media("mkv_subtitle.mkv")});
    // Preparing a video batch lets events through; a click on Clear must not get in.
    QTimer::singleShot(0, window.get(), [this] {
        window->actClear->trigger();
        window->actRemoveFile->trigger();
    });
    Convert();
    EXPECT_EQ(Column(kv::app::colStatus), QStringList({"Success", "Success"}));
    EXPECT_TRUE(window->actClear->isEnabled());
    EXPECT_TRUE(window->actAddFile->isEnabled());
    EXPECT_TRUE(window->isEnabled());
}

TEST_F(MainWindow, ACompletedBatchWithShutDownPowersOffAndOpensTheFolderWithoutAMessage)
{
    WriteCatalogue(0, (dir / "out").string());
    Open();
    window->AddFiles({Media("avi_mpeg4_mp2.avi")});
    Convert([](kv::app::TConvertForm& form) {
        form.chkShutdown->setChecked(true);
        form.chkOpenOutput->setChecked(true);
    });
    EXPECT_TRUE(recorders.Prompter.Messages.empty());
    EXPECT_EQ(recorders.Shell.PowerOffs, 1);
    EXPECT_EQ(recorders.Shell.Folders, QStringList({QString::fromStdString((dir / "out").string())}));
    EXPECT_EQ(Column(kv::app::colStatus), QStringList({"Success"}));
}

TEST_F(MainWindow, ACancelledBatchNeitherPowersOffNorOpensTheFolder)
{
    WriteCatalogue(0, (dir / "out").string());
    Open();
    window->AddFiles(Copies(3));
    Convert([](kv::app::TConvertForm& form) {
        form.chkShutdown->setChecked(true);
        form.chkOpenOutput->setChecked(true);
        form.btnCancel->click();
    });
    ASSERT_EQ(recorders.Prompter.Messages.size(), 2u);
    EXPECT_EQ(recorders.Prompter.Messages[0].Text, "Do you want to cancel the conversion?");
    EXPECT_TRUE(recorders.Prompter.Messages[1].Text.startsWith("The conversion was cancelled.\nConverted: "))
        << recorders.Prompter.Messages[1].Text.toStdString();
    EXPECT_EQ(recorders.Prompter.Messages[0].Icon, QMessageBox::Question);
    EXPECT_EQ(recorders.Prompter.Messages[1].Icon, QMessageBox::Information);
    EXPECT_EQ(recorders.Shell.PowerOffs, 0);
    EXPECT_TRUE(recorders.Shell.Folders.isEmpty());
    const QStringList statuses = Column(kv::app::colStatus);
    EXPECT_EQ(statuses.back(), "Canceled");
    EXPECT_FALSE(statuses.contains("-"));
    // Only what a row names as its destination is left in the output folder.
    const QStringList destinations = Column(kv::app::colDestination);
    for (const auto& entry : std::filesystem::directory_iterator(dir / "out"))
        EXPECT_TRUE(destinations.contains(QString::fromStdString(entry.path().filename().string()))) << entry.path();
}

TEST_F(MainWindow, AFailedFileShowsWhyOnItsStatus)
{
    WriteCatalogue(0, (dir / "out").string());
    Open();
    // The output name of this source is one character longer than a file name may be.
    const std::filesystem::path longest = dir / (std::string(252, 'l') + ".ts");
    std::filesystem::copy_file(Media("avi_mpeg4_mp2.avi").toStdString(), longest);
    window->AddFiles({QString::fromStdString(longest.string()), Media("mp4_h264_aac.mp4")});
    Convert();
    EXPECT_EQ(Column(kv::app::colStatus), QStringList({"Failed", "Success"}));
    EXPECT_EQ(window->lvFileList->item(0, kv::app::colStatus)->toolTip().toStdString(),
              "Could not open '" + (dir / "out" / (std::string(252, 'l') + ".avi")).string() + "': File name too long");
    EXPECT_TRUE(window->lvFileList->item(1, kv::app::colStatus)->toolTip().isEmpty());
}

TEST_F(MainWindow, AnOutputFolderThatCannotBeMadeStartsNoBatch)
{
    WriteCatalogue(0, "");
    Open();
    std::ofstream(dir / "plain-file") << "x";
    window->SetOutputFolder(QString::fromStdString((dir / "plain-file" / "out").string()));
    window->AddFiles({Media("avi_mpeg4_mp2.avi")});
    Convert();
    EXPECT_EQ(recorders.Prompter.Texts(),
              QStringList({"The output folder does not exist and could not be created. Please choose another output folder."}));
    EXPECT_EQ(recorders.Prompter.Messages[0].Icon, QMessageBox::Warning);
    EXPECT_EQ(Column(kv::app::colStatus), QStringList({"-"}));
}

TEST_F(MainWindow, AnErrorEscapingAnActionEndsItWithoutAMessage)
{
    // No catalogue: no profile to convert with.
    Open();
    window->AddFiles({Media("avi_mpeg4_mp2.avi")});
    ::testing::internal::CaptureStderr();
    Convert();
    const std::string error = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(error.find("kestravo: Convert: List index out of bounds (-1)"), std::string::npos) << error;
    EXPECT_TRUE(recorders.Prompter.Messages.empty());
}

TEST_F(MainWindow, ABatchTakesNoMoreFilesThanItsLimit)
{
    WriteCatalogue(0, (dir / "out").string());
    Open();
    window->AddFiles({Media("avi_mpeg4_mp2.avi"), Media("mkv_subtitle.mkv")});
    std::string ext;
    ASSERT_TRUE(window->PrepareBatch(1, ext));
    EXPECT_EQ(ext, ".avi");
    EXPECT_EQ(window->Converter->Engine.TaskCount(), 1);
    window->Converter->ClearTasks();
}

TEST_F(MainWindow, HelpShowsTheWelcomePage)
{
    Open();
    window->actHelp->trigger();
    ASSERT_NE(window->HelpWindow, nullptr);
    EXPECT_TRUE(window->HelpWindow->isVisible());
    EXPECT_TRUE(window->HelpWindow->Browser->source().toLocalFile().endsWith("/welcome.html"));
    EXPECT_EQ(window->HelpWindow->Browser->documentTitle(), "Welcome to Larkspire Kestravo");
}

// Sees the events a window gets before the window does.
class TEventSpy : public QObject {
public:
    std::function<void(QEvent*)> Seen;
    bool eventFilter(QObject*, QEvent* event) override
    {
        Seen(event);
        return false;
    }
};

TEST_F(MainWindow, SimultaneousConversionsAreRememberedWithinOneToTheCores)
{
    const int cores = kv::workflow::TIniOptions::MaxJobs();
    // As stored: absent, below the range, above it.
    const struct {
        const char* stored;
        int shown;
    } cases[] = {{"", 1}, {"Jobs=0\n", 1}, {"Jobs=99\n", cores}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stored);
        IniOptions = kv::workflow::TIniOptions();
        WriteCatalogue(0, "", c.stored);
        Open();
        EXPECT_EQ(window->lblJobs->text(), "Simultaneous conversions:");
        EXPECT_EQ(window->spnJobs->minimum(), 1);
        EXPECT_EQ(window->spnJobs->maximum(), cores);
        EXPECT_EQ(window->spnJobs->value(), c.shown);
        window.reset();
    }

    IniOptions = kv::workflow::TIniOptions();
    Open();
    window->spnJobs->setValue(cores);
    window.reset();
    EXPECT_EQ(kv::workflow::TIniFile(places.SettingsFile).ReadInteger("Output", "Jobs", -1), cores);
    IniOptions = kv::workflow::TIniOptions();
    Open();
    EXPECT_EQ(window->spnJobs->value(), cores);
}

TEST_F(MainWindow, ConvertsFourClipsTwoAtATime)
{
    if (kv::workflow::TIniOptions::MaxJobs() < 2) GTEST_SKIP() << "one core: one file at a time";
    WriteCatalogue(0, (dir / "out").string(), "Jobs=2\n");
    Open();
    ASSERT_EQ(window->spnJobs->value(), 2);
    window->AddFiles(Copies(4));

    std::size_t lines = 0, mostRunning = 0;
    int mostShown = 0, lastBar = -1;
    QString lastIndex;
    std::vector<int> bars;
    TEventSpy spy;
    Convert([&](kv::app::TConvertForm& form) {
        lines = form.RunningLines.size();
        EXPECT_TRUE(form.lblFileInfo->isHidden());
        EXPECT_TRUE(form.pBarCur->isHidden());
        spy.Seen = [&](QEvent* event) {
            // What the dialog shows as it goes.
            if (event->type() == QEvent::Hide) {
                lastBar = form.pBarAll->value();
                lastIndex = form.lblIndex->text();
                return;
            }
            if (event->type() != kv::workflow::WM_BATCH_PROGRESS) return;
            mostRunning = std::max(mostRunning, form.Observer.Snapshot().Running.size());
            int shown = 0;
            for (const auto& line : form.RunningLines) shown += line.Bar->isHidden() ? 0 : 1;
            mostShown = std::max(mostShown, shown);
            bars.push_back(form.pBarAll->value());
        };
        form.installEventFilter(&spy);
    });

    EXPECT_EQ(lines, 2u);
    EXPECT_EQ(mostRunning, 2u);
    EXPECT_EQ(mostShown, 2);
    EXPECT_TRUE(std::is_sorted(bars.begin(), bars.end()));
    EXPECT_EQ(lastBar, 100);
    EXPECT_EQ(lastIndex, "Current: 4 / Total: 4");
    EXPECT_EQ(recorders.Prompter.Texts(), QStringList({"Conversion completed.\nConverted: 4, failed: 0, cancelled: 0."}));
    EXPECT_EQ(Column(kv::app::colStatus), QStringList({"Success", "Success", "Success", "Success"}));
    const QStringList outputs = {"avi_mpeg4_mp2.avi", "avi_mpeg4_mp2_1.avi", "avi_mpeg4_mp2_2.avi", "avi_mpeg4_mp2_3.avi"};
    EXPECT_EQ(Column(kv::app::colDestination), outputs);
    for (const QString& output : outputs) {
        SCOPED_TRACE(output.toStdString());
        const kv::test::TDecodedVideo video = kv::test::DecodeVideo((dir / "out" / output.toStdString()).string());
        ASSERT_TRUE(video.Ok);
        EXPECT_EQ(video.Width, 160);
        EXPECT_GE(video.Frames, 45);
        EXPECT_GT(video.OtherStreamPackets, 0);
    }
}

TEST_F(MainWindow, DroppedFilesAndFoldersAreAddedInTheirOrder)
{
    const fs::path videos = dir / "videos";
    fs::create_directories(videos);
    fs::create_symlink(kv::test::MediaFile("mkv_subtitle.mkv"), videos / "b.mkv");
    fs::create_symlink(kv::test::MediaFile("mp4_h264_aac.mp4"), videos / "a.mp4");
    fs::create_symlink(kv::test::MediaFile("random.bin"), videos / "broken.avi");
    Open();

    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(Media("avi_mpeg4_mp2.avi")), QUrl::fromLocalFile(QString::fromStdString(videos.string())),
                  QUrl::fromLocalFile(Media("mp3_tagged.mp3"))});
    QDragEnterEvent enter(QPoint(100, 200), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(window.get(), &enter);
    EXPECT_TRUE(enter.isAccepted());
    QDropEvent drop(QPointF(100, 200), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(window.get(), &drop);

    EXPECT_EQ(Column(kv::app::colSource), QStringList({"avi_mpeg4_mp2.avi", "a.mp4", "b.mkv", "mp3_tagged.mp3"}));
    EXPECT_EQ(ListedNames(), Column(kv::app::colSource));
    // The folder with its summary, as Add Folder tells it; the last file added is selected.
    ASSERT_EQ(recorders.Prompter.Messages.size(), 1u);
    EXPECT_TRUE(recorders.Prompter.Messages[0].Text.startsWith(
        QString("2 files added from \"%1\".\n\n1 file was not added:\n\n%1/broken.avi: not a media file")
            .arg(QString::fromStdString(videos.string()))))
        << recorders.Prompter.Messages[0].Text.toStdString();
    EXPECT_EQ(window->SelectedRow(), 3);
}

TEST_F(MainWindow, TheSameFileIsRefusedAlsoThroughALink)
{
    fs::create_directories(dir / "links");
    fs::create_symlink(kv::test::MediaFile("avi_mpeg4_mp2.avi"), dir / "links" / "same.avi");
    const QString link = QString::fromStdString((dir / "links" / "same.avi").string());
    Open();
    window->AddFiles({Media("avi_mpeg4_mp2.avi"), link, Media("mp4_h264_aac.mp4")});
    EXPECT_EQ(recorders.Prompter.Texts(), QStringList({QString("1 file was not added:\n\n%1: already in the list").arg(link)}));
    EXPECT_EQ(recorders.Prompter.Messages[0].Icon, QMessageBox::Information);
    EXPECT_EQ(Column(kv::app::colSource), QStringList({"avi_mpeg4_mp2.avi", "mp4_h264_aac.mp4"}));

    // In a folder the second copy counts as a file that failed.
    recorders.Prompter.Messages.clear();
    window->AddFolder(QString::fromStdString((dir / "links").string()));
    EXPECT_EQ(recorders.Prompter.Texts(),
              QStringList({QString("0 files added from \"%1\".\n\n1 file was not added:\n\n%2: already in the list")
                               .arg(QString::fromStdString((dir / "links").string()), link)}));
    EXPECT_EQ(ListedNames(), QStringList({"avi_mpeg4_mp2.avi", "mp4_h264_aac.mp4"}));
}

TEST_F(MainWindow, ABatchThatEndsWhileTheUserIsElsewhereLeavesANotice)
{
    WriteCatalogue(0, (dir / "out").string());
    Open();
    window->AddFiles(Copies(2));
    // In the window: the message box is enough.
    Convert();
    EXPECT_TRUE(recorders.Shell.Notices.isEmpty());

    // The user went to another program just before the end.
    TEventSpy spy;
    spy.Seen = [](QEvent* event) {
        if (event->type() == kv::workflow::WM_BATCH_DONE) QApplication::setActiveWindow(nullptr);
    };
    Convert([&](kv::app::TConvertForm& form) { form.installEventFilter(&spy); });
    const QString done = "Conversion completed.\nConverted: 2, failed: 0, cancelled: 0.";
    EXPECT_EQ(recorders.Shell.Notices, QStringList({done}));
    EXPECT_EQ(recorders.Prompter.Texts(), QStringList({done, done}));
}

TEST_F(MainWindow, FilesNamedAtStartUpAreAddedAsAddFilesAddsThem)
{
    WriteCatalogue(0, "");
    const fs::path videos = dir / "videos";
    fs::create_directories(videos);
    fs::create_symlink(kv::test::MediaFile("mkv_subtitle.mkv"), videos / "inner.mkv");
    const std::unique_ptr<TZelMainForm> opened = kv::app::OpenMainWindow(
        {Media("avi_mpeg4_mp2.avi"), Media("random.bin"), QString::fromStdString(videos.string())}, places);
    ASSERT_NE(opened, nullptr);
    EXPECT_TRUE(opened->isVisible());
    QStringList rows;
    for (int r = 0; r < opened->lvFileList->rowCount(); ++r) rows << opened->lvFileList->item(r, 0)->text();
    EXPECT_EQ(rows, QStringList({"avi_mpeg4_mp2.avi", "inner.mkv"}));
    ASSERT_EQ(recorders.Prompter.Messages.size(), 2u);
    EXPECT_TRUE(recorders.Prompter.Messages[0].Text.startsWith(
        QString("1 file was not added:\n\n%1: not a media file").arg(Media("random.bin"))));
    EXPECT_EQ(recorders.Prompter.Messages[1].Text, QString("1 file added from \"%1\".").arg(QString::fromStdString(videos.string())));
    EXPECT_EQ(opened->cbbFormatEx->count(), 2);
}

TEST_F(MainWindow, RelativeNamesOnTheCommandLineBecomeFullPaths)
{
    const QString here = QDir::currentPath();
    EXPECT_EQ(kv::app::CommandLinePaths({"kestravo", "clip.avi", "/videos/a b.mkv", "../up.mp4"}),
              QStringList({here + "/clip.avi", "/videos/a b.mkv", QDir::cleanPath(here + "/../up.mp4")}));
}

TEST_F(MainWindow, AnInstalledCopyMakesTheUsersSettingsBeforeReadingThem)
{
    places.ShippedSettingsFile = (dir / "shipped.ini").string();
    places.SettingsFile = (dir / "config" / "kestravo" / "kestravo.ini").string();
    std::ofstream(places.ShippedSettingsFile) << Catalogue << "[Output]\nFormat=1\n";
    Open();
    ASSERT_EQ(window->cbbFormatEx->count(), 2);
    EXPECT_EQ(window->SelectedProfile(), 1);
    EXPECT_TRUE(fs::is_regular_file(places.SettingsFile));
    window->SelectProfile(0);
    window.reset();

    // The next start keeps the user's choice.
    IniOptions = kv::workflow::TIniOptions();
    Open();
    EXPECT_EQ(window->SelectedProfile(), 0);
    window.reset();

    // A user file that cannot be made still leaves the shipped catalogue to work with.
    IniOptions = kv::workflow::TIniOptions();
    std::ofstream(dir / "plain-file") << "x";
    places.SettingsFile = (dir / "plain-file" / "kestravo.ini").string();
    ::testing::internal::CaptureStderr();
    Open();
    const std::string error = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(error.find("preparing the settings"), std::string::npos) << error;
    EXPECT_EQ(window->cbbFormatEx->count(), 2);
}

TEST_F(MainWindow, AnOutcomeBelongsToTheBatchThatMadeIt)
{
    WriteCatalogue(0, (dir / "out").string());
    Open();
    window->AddFiles({Media("avi_mpeg4_mp2.avi"), Media("mp4_h264_aac.mp4")});
    Convert();
    EXPECT_EQ(Column(kv::app::colStatus), QStringList({"Success", "Success"}));
    // Refused by the engine the next time: no task, no destination, and a reason.
    window->Converter->Files.Items(0).InputOptions.ForceFormat = "no_such_format";
    Convert();
    EXPECT_EQ(Column(kv::app::colStatus), QStringList({"Failed", "Success"}));
    EXPECT_EQ(Column(kv::app::colDestination)[0], "");
    EXPECT_FALSE(Column(kv::app::colDetails)[0].isEmpty());
    EXPECT_EQ(Column(kv::app::colDetails)[1], "");
}

}  // namespace
