// The main window's preview pane, its snapshots and the edit dialog, with real
// players drawing into the windows on a (virtual) X display.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QSlider>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QWindow>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/EditFrm.h"
#include "app/Pictures.h"
#include "app/ZelMainFrm.h"
#include "app/host/PlayerHostWidget.h"
#include "tests/support/AppRecorders.h"
#include "tests/support/EventLoop.h"
#include "tests/support/VideoConvert.h"
#include "tests/support/WidgetApplication.h"
#include "workflow/IniOptions.h"
#include "workflow/SourceTracks.h"

namespace {

namespace fs = std::filesystem;
using kv::app::TEditForm;
using kv::app::TZelMainForm;
using kv::player::TPlayState;
using kv::workflow::IniOptions;
using namespace kv::player;

const auto* const Env = ::testing::AddGlobalTestEnvironment(new kvtest::WidgetApplicationEnvironment);

bool WaitFor(const std::function<bool()>& done)
{
    return kvtest::WaitFor(done, 20);
}

void Spin(int ms)
{
    kvtest::WaitFor([end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms)] {
        return std::chrono::steady_clock::now() > end;
    });
}

bool Near(QColor c, int r, int g, int b, int tolerance = 24)
{
    return std::abs(c.red() - r) <= tolerance && std::abs(c.green() - g) <= tolerance &&
           std::abs(c.blue() - b) <= tolerance;
}

struct TControls {
    bool Play, Stop, Snapshot, Still;
    bool operator==(const TControls&) const = default;
};

std::ostream& operator<<(std::ostream& os, const TControls& c)
{
    return os << "play " << c.Play << " stop " << c.Stop << " snapshot " << c.Snapshot << " still " << c.Still;
}

class Preview : public ::testing::Test {
protected:
    void SetUp() override
    {
        IniOptions = kv::workflow::TIniOptions();
        kv::app::SetPictureFolder(KV_STAGE_DIR "/KestravoRes");
        dir = fs::temp_directory_path() / ("kv_preview_" + std::to_string(::getpid()) + "_" +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
        places.SettingsFile = (dir / "kestravo.ini").string();
        places.DefaultOutputFolder = (dir / "output").string();
        places.HelpFolder = KV_STAGE_DIR "/help";
        window = std::make_unique<TZelMainForm>(places);
        ASSERT_TRUE(window->InitEngine());
        IniOptions.SnapshotFolder = (dir / "shots").string();
        window->show();
        ASSERT_TRUE(WaitFor([&] { return window->windowHandle() && window->windowHandle()->isExposed(); }));
    }
    void TearDown() override
    {
        window.reset();
        kv::app::SetPictureFolder(QString());
        fs::remove_all(dir);
    }

    // Lists copies of test clips under the names given ("clip.avi" from "quadrants_64x45.mkv").
    void Add(const std::vector<std::pair<std::string, std::string>>& clips)
    {
        QStringList paths;
        for (const auto& [name, source] : clips) {
            fs::copy_file(kv::test::MediaFile(source), dir / name);
            paths << QString::fromStdString((dir / name).string());
        }
        window->AddFiles(paths);
        ASSERT_EQ(window->lvFileList->rowCount(), static_cast<int>(clips.size()));
    }
    TControls Controls() const
    {
        return {window->actPlay->isEnabled(), window->actStop->isEnabled(), window->actSnapshot->isEnabled(),
                window->imgPreview->isVisible()};
    }
    bool PlayingAndMoving()
    {
        return WaitFor([&] { return window->PlayerState == psPlay && window->tbarPreview->value() > 200; });
    }
    QString Playing() const
    {
        return QFileInfo(QString::fromStdString(window->fplyrPreview->PlayerFileName())).fileName();
    }
    // Opens the edit dialog for the selected row and lets `drive` work it while it is up.
    void Edit(const std::function<void(TEditForm&)>& drive)
    {
        bool driven = false;
        QTimer watch;
        QObject::connect(&watch, &QTimer::timeout, [&] {
            auto* form = dynamic_cast<TEditForm*>(QApplication::activeModalWidget());
            if (driven || !form || !form->isVisible()) return;
            driven = true;
            drive(*form);
        });
        watch.start(20);
        window->actEdit->trigger();
        EXPECT_TRUE(driven);
    }

    kvtest::TAppRecorders recorders;
    fs::path dir;
    kv::app::TAppPlaces places;
    std::unique_ptr<TZelMainForm> window;
};

TEST_F(Preview, PlaysPausesResumesAndStopsWithTheControlsFollowing)
{
    Add({{"a.mkv", "quadrants_64x45.mkv"}});
    EXPECT_EQ(Controls(), (TControls{true, false, false, true}));
    window->actPlay->trigger();
    ASSERT_TRUE(PlayingAndMoving());
    EXPECT_EQ(Controls(), (TControls{true, true, true, false}));
    EXPECT_EQ(window->lblPreviewInfo->text(), "Preview: a.mkv");
    EXPECT_EQ(window->tbarPreview->maximum(), window->PreviewDuration / 1000);  // milliseconds

    window->actPlay->trigger();
    EXPECT_EQ(window->PlayerState, psPause);
    EXPECT_EQ(Controls(), (TControls{true, true, true, false}));
    Spin(200);
    const int paused = window->tbarPreview->value();
    Spin(300);
    EXPECT_EQ(window->tbarPreview->value(), paused);

    window->actPlay->trigger();
    EXPECT_EQ(window->PlayerState, psResume);
    ASSERT_TRUE(WaitFor([&] { return window->tbarPreview->value() > paused + 100; }));

    window->actStop->trigger();
    ASSERT_TRUE(WaitFor([&] { return window->PlayerState == psStop; }));
    EXPECT_EQ(Controls(), (TControls{true, false, false, true}));
    EXPECT_EQ(window->tbarPreview->value(), 0);
    EXPECT_EQ(window->fplyrPreview->CurrentBitmap()->Width(), 0);

    // A double click on a row plays it.
    emit window->lvFileList->itemDoubleClicked(window->lvFileList->item(0, 0));
    ASSERT_TRUE(PlayingAndMoving());
}

// A key pressed in the active window, delivered as the window system delivers it
// (shortcuts first, then the widget with the focus).
void PressKey(QWidget* focus, Qt::Key key)
{
    QTest::keyClick(focus, key);
}

// The window is the one the keyboard goes to.
bool Activate(QWidget& window)
{
    window.activateWindow();
    window.raise();
    return WaitFor([&] { return window.isActiveWindow(); });
}

TEST_F(Preview, SpacePlaysPausesAndResumesFromTheFileList)
{
    Add({{"a.mkv", "quadrants_64x45.mkv"}});
    window->lvFileList->selectRow(0);
    ASSERT_TRUE(Activate(*window));
    window->lvFileList->setFocus();
    PressKey(window->lvFileList, Qt::Key_Space);
    ASSERT_TRUE(PlayingAndMoving());
    PressKey(window->lvFileList, Qt::Key_Space);
    EXPECT_EQ(window->PlayerState, psPause);
    EXPECT_EQ(window->btnPlay->toolTip(), window->actPlay->toolTip());
    Spin(200);
    const int paused = window->tbarPreview->value();
    Spin(200);
    EXPECT_EQ(window->tbarPreview->value(), paused);
    PressKey(window->lvFileList, Qt::Key_Space);
    EXPECT_EQ(window->PlayerState, psResume);
    EXPECT_EQ(window->btnPlay->toolTip(), "Pause (Space)");
    ASSERT_TRUE(WaitFor([&] { return window->tbarPreview->value() > paused + 100; }));
    // The row stays the only one selected: Space went to the player, not to the list.
    EXPECT_EQ(window->SelectedRows(), QList<int>{0});
}

TEST_F(Preview, PreviousAndNextPlayTheNeighbouringRowsAndNameTheirKeys)
{
    Add({{"a.avi", "avi_mpeg4_mp2.avi"}, {"b.mkv", "quadrants_64x45.mkv"}, {"c.mp4", "mp4_h264_aac.mp4"}});
    window->lvFileList->selectRow(0);
    EXPECT_FALSE(window->actPrevious->isEnabled());
    EXPECT_TRUE(window->actNext->isEnabled());
    struct Step {
        QAction* action;
        int row;
        const char* file;
    } steps[] = {{window->actNext, 1, "b.mkv"}, {window->actNext, 2, "c.mp4"}, {window->actPrevious, 1, "b.mkv"}};
    for (const Step& s : steps) {
        s.action->trigger();
        EXPECT_EQ(window->SelectedRow(), s.row);
        ASSERT_TRUE(PlayingAndMoving()) << s.file;
        EXPECT_EQ(Playing(), s.file);
        EXPECT_EQ(window->lblPreviewInfo->text(), QString("Preview: ") + s.file);
        EXPECT_EQ(window->actPrevious->isEnabled(), s.row > 0);
        EXPECT_EQ(window->actNext->isEnabled(), s.row < 2);
    }
    const std::pair<QAction*, const char*> tips[] = {{window->actPlay, "Play (Space)"},
                                                     {window->actStop, "Stop (Ctrl+.)"},
                                                     {window->actPrevious, "Previous File (Ctrl+Left)"},
                                                     {window->actNext, "Next File (Ctrl+Right)"},
                                                     {window->actSnapshot, "Snapshot (Ctrl+Shift+S)"}};
    for (const auto& [action, tip] : tips) EXPECT_EQ(action->toolTip(), tip);
}

TEST_F(Preview, RemovingTheOnlyRowStopsAndDisablesPlayAndStop)
{
    Add({{"a.mkv", "quadrants_64x45.mkv"}});
    window->actPlay->trigger();
    ASSERT_TRUE(PlayingAndMoving());
    window->actRemoveFile->trigger();
    ASSERT_TRUE(WaitFor([&] { return window->PlayerState == psStop; }));
    EXPECT_EQ(Controls(), (TControls{false, false, false, true}));
    EXPECT_EQ(window->fplyrPreview->CurrentBitmap()->Width(), 0);
}

TEST_F(Preview, SnapshotsAreNamedAfterTheSourceOrTheTimeAndHoldTheFrameOnScreen)
{
    Add({{"clip.avi", "quadrants_64x45.mkv"}});
    window->actPlay->trigger();
    ASSERT_TRUE(PlayingAndMoving());
    window->actPlay->trigger();  // paused: the picture on screen stays the one saved
    const QString shots = QString::fromStdString(IniOptions.SnapshotFolder);
    ASSERT_FALSE(QFileInfo::exists(shots));
    struct Case {
        int format, naming;
        QString pattern;
    } cases[] = {{0, 0, "^clip\\.jpg$"}, {0, 0, "^clip_1\\.jpg$"},
                 {1, 1, "^\\d{8} \\d{9}\\.bmp$"}, {0, 1, "^\\d{8} \\d{9}\\.jpg$"}};
    // The four quadrants of the clip: red, green, blue, white.
    const struct { int x, y, r, g, b; } quadrants[] = {
        {180, 144, 255, 0, 0}, {540, 144, 0, 255, 0}, {180, 432, 0, 0, 255}, {540, 432, 255, 255, 255}};
    for (const Case& c : cases) {
        IniOptions.SnapshotFormat = c.format;
        IniOptions.SnapshotNaming = c.naming;
        window->actSnapshot->trigger();
        Spin(5);  // names by time differ by their milliseconds
        const QStringList files = QDir(shots).entryList(QDir::Files, QDir::Time | QDir::Reversed);
        ASSERT_FALSE(files.isEmpty());
        const QString name = files.back();
        EXPECT_TRUE(QRegularExpression(c.pattern).match(name).hasMatch()) << name.toStdString();
        const QImage picture(QDir(shots).filePath(name));
        ASSERT_EQ(picture.size(), QSize(720, 576)) << name.toStdString();
        const kv::media::TBitmap& screen = *window->fplyrPreview->CurrentBitmap();
        for (const auto& q : quadrants) {
            const std::uint8_t* p = screen.ScanLine(q.y) + 3 * q.x;
            EXPECT_TRUE(Near(picture.pixelColor(q.x, q.y), p[2], p[1], p[0], 12)) << name.toStdString();
            EXPECT_TRUE(Near(picture.pixelColor(q.x, q.y), q.r, q.g, q.b)) << name.toStdString();
        }
    }
    EXPECT_EQ(QDir(shots).entryList(QDir::Files).size(), 4);
    EXPECT_TRUE(recorders.Prompter.Messages.empty());

    window->actOpenSnapshot->trigger();
    EXPECT_EQ(recorders.Shell.Folders, QStringList{shots});
}

TEST_F(Preview, TheEditDialogStoresTheSectionAndAspectOnOkOnly)
{
    Add({{"a.mkv", "quadrants_64x45.mkv"}, {"b.mp4", "flash_beep.mp4"}});
    const kv::workflow::TInputFile& file = window->Converter->Files.Items(1);
    struct Case {
        const char* name;
        std::function<void(TEditForm&)> drive;
        std::int64_t start, length;
        int aspect;
        const char* trimmed;
    } cases[] = {
        {"unchanged",
         [](TEditForm& f) {
             EXPECT_EQ(f.edtStartTime->text(), "00:00:00.000");
             EXPECT_EQ(f.edtEndTime->text(), "00:00:04.000");
             EXPECT_EQ(f.tbarEdit->maximum(), 4000);
             f.btnOK->click();
         },
         -1, 4000, 0, "00:00:04"},
        {"cancel",
         [](TEditForm& f) {
             f.ResetClicked();
             f.MarkIn = 1000;
             f.cbbFrameAspectRatio->setCurrentIndex(2);
             f.btnCancel->click();
         },
         -1, 4000, 0, "00:00:04"},
        {"out before in",
         [](TEditForm& f) {
             f.MarkIn = 3500;
             f.MarkOut = 1200;
             f.cbbFrameAspectRatio->setCurrentIndex(2);
             f.btnOK->click();
         },
         1200, 2300, 2, "00:00:02"},
        // Opened again, the dialog shows the section it stored.
        {"kept section",
         [](TEditForm& f) {
             EXPECT_EQ(f.edtStartTime->text(), "00:00:01.200");
             EXPECT_EQ(f.edtEndTime->text(), "00:00:03.500");
             EXPECT_EQ(f.cbbFrameAspectRatio->currentIndex(), 2);
             f.btnOK->click();
         },
         1200, 2300, 2, "00:00:02"},
    };
    window->lvFileList->selectRow(1);
    for (const Case& c : cases) {
        Edit(c.drive);
        EXPECT_EQ(file.TrimStart, c.start) << c.name;
        EXPECT_EQ(file.TrimLength, c.length) << c.name;
        EXPECT_EQ(file.AspectIndex, c.aspect) << c.name;
        EXPECT_EQ(window->lvFileList->item(1, kv::app::colTrimmed)->text(), c.trimmed) << c.name;
    }
    // The preview plays again once the dialog's player has gone.
    window->actPlay->trigger();
    ASSERT_TRUE(PlayingAndMoving());
    EXPECT_EQ(Playing(), "b.mp4");
}

// The dialog lists the file's sound tracks and its text subtitle tracks; OK stores
// the sound track for outputs of one track and the subtitle track to draw, Cancel
// nothing, and the dialog opens again on what was stored.
TEST_F(Preview, TheEditDialogOffersTheTracksAndStoresTheChoicesOnOkOnly)
{
    Add({{"two.mkv", "two_languages.mkv"}, {"boxes.mkv", "box_cues.mkv"}, {"b.mp4", "flash_beep.mp4"}});
    const bool drawable = kv::workflow::CanBurnSubtitles();
    struct Case {
        const char* name;
        int row;
        std::function<void(TEditForm&)> drive;
        int sound, burnt;
    } cases[] = {
        {"two sound tracks", 0,
         [](TEditForm& f) {
             EXPECT_TRUE(f.cbbSoundTrack->isEnabled());
             ASSERT_EQ(f.cbbSoundTrack->count(), 2);
             EXPECT_EQ(f.cbbSoundTrack->itemText(0), "1: eng - English (mp2, stereo)");
             EXPECT_EQ(f.cbbSoundTrack->itemText(1), "2: fre - Commentaire (mp2, stereo)");
             EXPECT_EQ(f.cbbSoundTrack->currentIndex(), 1) << "the track marked default";
             EXPECT_FALSE(f.chkBurnSubtitles->isEnabled());
             f.cbbSoundTrack->setCurrentIndex(0);
             f.btnOK->click();
         },
         0, -1},
        {"cancelled", 0,
         [](TEditForm& f) {
             EXPECT_EQ(f.cbbSoundTrack->currentIndex(), 0) << "as stored";
             f.cbbSoundTrack->setCurrentIndex(1);
             f.btnCancel->click();
         },
         0, -1},
        {"subtitles to draw", 1,
         [drawable](TEditForm& f) {
             EXPECT_FALSE(f.cbbSoundTrack->isEnabled()) << "one sound track: nothing to choose";
             EXPECT_EQ(f.chkBurnSubtitles->isEnabled(), drawable);
             if (!drawable) {
                 EXPECT_TRUE(f.chkBurnSubtitles->toolTip().contains("libass"));
                 f.btnOK->click();
                 return;
             }
             EXPECT_FALSE(f.chkBurnSubtitles->isChecked());
             EXPECT_FALSE(f.cbbSubtitleTrack->isEnabled());
             ASSERT_EQ(f.cbbSubtitleTrack->count(), 2);
             EXPECT_EQ(f.cbbSubtitleTrack->itemText(1), "2: zxx (ass)");
             f.chkBurnSubtitles->setChecked(true);
             EXPECT_TRUE(f.cbbSubtitleTrack->isEnabled());
             f.cbbSubtitleTrack->setCurrentIndex(1);
             f.btnOK->click();
         },
         -1, drawable ? 1 : -1},
        {"subtitles kept", 1,
         [drawable](TEditForm& f) {
             EXPECT_EQ(f.chkBurnSubtitles->isChecked(), drawable);
             if (drawable) {
                 EXPECT_EQ(f.cbbSubtitleTrack->currentIndex(), 1);
             }
             f.chkBurnSubtitles->setChecked(false);
             f.btnOK->click();
         },
         -1, -1},
        {"no subtitles", 2,
         [drawable](TEditForm& f) {
             EXPECT_FALSE(f.chkBurnSubtitles->isEnabled());
             if (drawable) {
                 EXPECT_EQ(f.chkBurnSubtitles->toolTip(), "The file has no text subtitles");
             }
             f.btnOK->click();
         },
         -1, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        window->lvFileList->selectRow(c.row);
        Edit(c.drive);
        const kv::workflow::TInputFile& file = window->Converter->Files.Items(c.row);
        EXPECT_EQ(file.SoundTrack, c.sound);
        EXPECT_EQ(file.BurntSubtitle, c.burnt);
    }
}

class EditDialog : public Preview {
protected:
    void SetUp() override
    {
        Preview::SetUp();
        Add({{"b.mp4", "flash_beep.mp4"}});
        form = std::make_unique<TEditForm>(window->Converter->Files, window.get());
        form->Prepare(0);
        form->show();
        ASSERT_TRUE(WaitFor([&] { return form->PlayerState == psPlay && form->tbarEdit->value() > 100; }));
    }
    void TearDown() override
    {
        form.reset();
        Preview::TearDown();
    }
    void StopAt(int ms)
    {
        form->btnStop->click();
        ASSERT_TRUE(WaitFor([&] { return form->PlayerState == psStop; }));
        form->tbarEdit->setValue(ms);
    }
    std::unique_ptr<TEditForm> form;
};

TEST_F(EditDialog, MarksStayInOrder)
{
    struct Case {
        const char* name;
        std::int64_t in, out;
        int track;
        bool markIn;
        std::int64_t wantIn, wantOut;
        const char* text;
    } cases[] = {
        {"in before out", 0, 4000, 1500, true, 1500, 4000, "00:00:01.500"},
        {"in after out", 0, 1000, 1800, true, 950, 1000, "00:00:00.950"},
        {"out after in", 500, 4000, 3200, false, 500, 3200, "00:00:03.200"},
        {"out before in", 2500, 4000, 1000, false, 2500, 2550, "00:00:02.550"},
    };
    for (const Case& c : cases) {
        form->MarkIn = c.in;
        form->MarkOut = c.out;
        StopAt(c.track);
        (c.markIn ? form->btnStart : form->btnEnd)->click();
        EXPECT_EQ(form->MarkIn, c.wantIn) << c.name;
        EXPECT_EQ(form->MarkOut, c.wantOut) << c.name;
        EXPECT_EQ((c.markIn ? form->edtStartTime : form->edtEndTime)->text(), c.text) << c.name;
        form->btnPlay->click();
    }
}

TEST_F(EditDialog, PlaySectionStopsAtTheFirstPositionPastTheSectionEnd)
{
    std::vector<std::int64_t> positions;
    const TPositionEvent shown = form->fplyrEdit->OnPosition;
    form->fplyrEdit->OnPosition = [&](TCustomPlayer* sender, std::int64_t pts) {
        positions.push_back(pts);
        shown(sender, pts);
    };
    form->MarkIn = 1000;
    form->MarkOut = 1500;
    // Once from a stopped player, once continuing a paused one without reopening the file.
    for (const bool paused : {false, true}) {
        if (paused) {
            form->btnPlay->click();
            ASSERT_TRUE(WaitFor([&] { return form->PlayerState == psPlay; }));
            form->TrackPressed();
            ASSERT_EQ(form->PlayerState, psPause);
        } else {
            StopAt(0);
        }
        positions.clear();
        form->btnPlaySection->click();
        ASSERT_TRUE(WaitFor([&] { return form->PlayerState == psPlay || form->PlayerState == psResume; }));
        ASSERT_TRUE(WaitFor([&] { return form->PlayerState == psStop; })) << paused;
        ASSERT_FALSE(positions.empty());
        const auto inSection = std::count_if(positions.begin(), positions.end(),
                                             [](std::int64_t p) { return p >= 1000000 && p <= 1500000; });
        EXPECT_GT(inSection, 3) << paused;
        EXPECT_LT(*std::max_element(positions.begin(), positions.end()), 1500000 + 150000) << paused;
        // The slider stays where the section ended.
        EXPECT_GE(form->tbarEdit->value(), 1500) << paused;
        EXPECT_LT(form->tbarEdit->value(), 1650) << paused;
        EXPECT_TRUE(form->btnPlay->isEnabled());
        EXPECT_FALSE(form->btnStop->isEnabled());
    }
}

// The picture shown by the dialog's player is a flash (bright) or the dark picture around it.
bool Bright(TEditForm& form)
{
    const kv::media::TBitmap& bmp = *form.fplyrEdit->CurrentBitmap();
    if (bmp.Width() <= 0) return false;
    const std::uint8_t* p = bmp.ScanLine(bmp.Height() / 2) + 3 * (bmp.Width() / 2);
    return p[1] > 180;
}

TEST_F(EditDialog, TypedTimesMoveTheMarksAndShowThePictureThere)
{
    EXPECT_EQ(form->windowTitle(), "Edit - b.mp4");
    // The flashes are 1.0 to 1.2 s and 3.0 to 3.2 s.
    struct Case {
        bool start;
        const char* typed;
        std::int64_t in, out;
        const char* shown;
        bool bright;
    } cases[] = {
        {true, "00:00:01.100", 1100, 4000, "00:00:01.100", true},
        {false, "00:00:02.5", 1100, 2500, "00:00:02.500", false},
        {false, "00:00:03.050", 1100, 3050, "00:00:03.050", true},
        {true, "00:00:03.900", 3000, 3050, "00:00:03.000", true},   // not past the end mark
        {false, "00:00:00.400", 3000, 3050, "00:00:03.050", true},  // nor the end before the start
        {true, "00:00:00.900", 900, 3050, "00:00:00.900", false},
        {true, "00:77:00.000", 900, 3050, "00:00:00.900", false},   // no time: left as it was
    };
    form->MarkIn = 0;
    form->MarkOut = 4000;
    for (const Case& c : cases) {
        QLineEdit* edit = c.start ? form->edtStartTime : form->edtEndTime;
        edit->setText(c.typed);
        emit edit->editingFinished();
        EXPECT_EQ(form->MarkIn, c.in) << c.typed;
        EXPECT_EQ(form->MarkOut, c.out) << c.typed;
        EXPECT_EQ(edit->text(), c.shown) << c.typed;
        // The picture at the mark, paused there.
        ASSERT_TRUE(WaitFor([&] { return form->PlayerState == psPause; })) << c.typed;
        const std::int64_t mark = c.start ? c.in : c.out;
        ASSERT_TRUE(WaitFor([&] { return std::abs(form->tbarEdit->value() - mark) <= 34; })) << c.typed;
        Spin(150);
        EXPECT_EQ(Bright(*form), c.bright) << c.typed;
        EXPECT_EQ(form->PlayerState, psPause) << c.typed;
    }
    // The start marker follows the start mark.
    form->MarkOut = 4000;
    form->edtStartTime->setText("00:00:02.000");
    emit form->edtStartTime->editingFinished();
    const int at2 = form->imgSelStart->x();
    form->edtStartTime->setText("00:00:03.000");
    emit form->edtStartTime->editingFinished();
    EXPECT_NEAR(form->imgSelStart->x() - at2, form->tbarEdit->width() / 4, 2);
}

TEST_F(EditDialog, PlayBecomesPauseStepsGoByOnePictureAndStopKeepsThePlace)
{
    EXPECT_EQ(form->btnPlay->toolTip(), "Pause (Space)");
    form->btnPlay->click();
    ASSERT_TRUE(WaitFor([&] { return form->PlayerState == psPause; }));
    EXPECT_EQ(form->btnPlay->toolTip(), "Play (Space)");
    // Steps of one picture (30 a second) from a picture just before the first flash.
    form->edtStartTime->setText("00:00:00.933");
    emit form->edtStartTime->editingFinished();
    ASSERT_TRUE(WaitFor([&] { return form->tbarEdit->value() == 933; }));
    const struct {
        QToolButton* button;
        int ms;
        bool bright;
    } steps[] = {{form->btnNextFrame, 966, false}, {form->btnNextFrame, 1000, true}, {form->btnNextFrame, 1033, true},
                 {form->btnPrevFrame, 1000, true}, {form->btnPrevFrame, 966, false}};
    for (const auto& s : steps) {
        s.button->click();
        ASSERT_TRUE(WaitFor([&] { return form->tbarEdit->value() == s.ms; })) << s.ms << ": " << form->tbarEdit->value();
        Spin(100);
        EXPECT_EQ(Bright(*form), s.bright) << s.ms;
        EXPECT_EQ(form->lblPosition->text(),
                  QString("00:00:%1.%2 / 00:00:04.000").arg(s.ms / 1000, 2, 10, QChar('0')).arg(s.ms % 1000, 3, 10, QChar('0')))
            << s.ms;
    }
    // Mark In takes the picture on screen.
    form->MarkOut = 4000;
    form->btnStart->click();
    EXPECT_EQ(form->MarkIn, 966);

    form->btnPlay->click();
    ASSERT_TRUE(WaitFor([&] { return form->PlayerState == psResume && form->tbarEdit->value() > 1300; }));
    EXPECT_EQ(form->btnPlay->toolTip(), "Pause (Space)");
    form->btnStop->click();
    ASSERT_TRUE(WaitFor([&] { return form->PlayerState == psStop; }));
    const int stoppedAt = form->tbarEdit->value();
    EXPECT_GT(stoppedAt, 1300);
    Spin(100);
    EXPECT_EQ(form->tbarEdit->value(), stoppedAt);

    // Letting go of the slider while stopped shows the picture there and does not play.
    form->tbarEdit->setValue(3100);
    form->TrackPressed();
    form->TrackReleased();
    ASSERT_TRUE(WaitFor([&] { return form->PlayerState == psPause && Bright(*form); }));
    Spin(300);
    EXPECT_EQ(form->PlayerState, psPause);
    EXPECT_NEAR(form->tbarEdit->value(), 3100, 34);
}

TEST_F(EditDialog, SpacePlaysAndPausesAndTheArrowsStepWhilePaused)
{
    // The step buttons are pictures like the others and name their keys.
    const struct {
        QToolButton* button;
        const char* hint;
    } steppers[] = {{form->btnPrevFrame, "Previous Frame (Left)"}, {form->btnNextFrame, "Next Frame (Right)"}};
    for (const auto& b : steppers) {
        EXPECT_FALSE(b.button->icon().isNull()) << b.hint;
        EXPECT_EQ(b.button->toolButtonStyle(), Qt::ToolButtonIconOnly) << b.hint;
        EXPECT_EQ(b.button->toolTip(), b.hint);
    }
    ASSERT_TRUE(Activate(*form));
    form->tbarEdit->setFocus();
    PressKey(form->tbarEdit, Qt::Key_Space);
    ASSERT_TRUE(WaitFor([&] { return form->PlayerState == psPause; }));
    EXPECT_EQ(form->btnPlay->toolTip(), "Play (Space)");
    // From a picture just before the first flash, 30 pictures a second.
    form->edtStartTime->setText("00:00:00.933");
    emit form->edtStartTime->editingFinished();
    ASSERT_TRUE(WaitFor([&] { return form->tbarEdit->value() == 933; }));
    const struct {
        Qt::Key key;
        int ms;
    } keys[] = {{Qt::Key_Right, 966}, {Qt::Key_Right, 1000}, {Qt::Key_Left, 966}};
    for (const auto& k : keys) {
        PressKey(form->tbarEdit, k.key);
        ASSERT_TRUE(WaitFor([&] { return form->tbarEdit->value() == k.ms; })) << k.ms << ": " << form->tbarEdit->value();
        EXPECT_EQ(form->PlayerState, psPause) << k.ms;
    }
    EXPECT_EQ(Bright(*form), false);
    // A time being typed keeps its arrows: the caret moves, the picture stays.
    form->edtStartTime->setFocus();
    form->edtStartTime->setCursorPosition(5);
    PressKey(form->edtStartTime, Qt::Key_Left);
    EXPECT_LT(form->edtStartTime->cursorPosition(), 5);
    Spin(200);
    EXPECT_EQ(form->tbarEdit->value(), 966);
    // Playing, the arrows do not step; Space pauses again.
    form->tbarEdit->setFocus();
    PressKey(form->tbarEdit, Qt::Key_Space);
    ASSERT_TRUE(WaitFor([&] { return form->PlayerState == psResume && form->tbarEdit->value() > 1100; }));
    EXPECT_EQ(form->btnPlay->toolTip(), "Pause (Space)");
    PressKey(form->tbarEdit, Qt::Key_Right);
    EXPECT_EQ(form->PlayerState, psResume);
    PressKey(form->tbarEdit, Qt::Key_Space);
    ASSERT_TRUE(WaitFor([&] { return form->PlayerState == psPause; }));
    // The main window's Space is not the dialog's: its preview stays stopped.
    EXPECT_NE(window->PlayerState, psPlay);
}

TEST_F(Preview, VolumeIsInPercentRememberedAndTheBandsBesideThePictureAreBlack)
{
    EXPECT_EQ(window->tbarPreviewVolume->value(), 100);
    EXPECT_EQ(window->fplyrPreview->AudioVolume(), 128);  // the player's full scale
    window->tbarPreviewVolume->setValue(50);
    EXPECT_EQ(window->fplyrPreview->AudioVolume(), 64);
    EXPECT_EQ(window->lblPreviewVolume->text(), "50 %");

    // 16:9 in the 280 x 220 panel: 280 x 158 at y = 31, black above and below.
    Add({{"a.mkv", "quadrants_64x45.mkv"}});
    window->actPlay->trigger();
    ASSERT_TRUE(PlayingAndMoving());
    EXPECT_EQ(window->lblPreviewTime->text(), QString("00:00:0%1 / 00:00:01").arg(window->tbarPreview->value() / 1000));
    const QImage img = QGuiApplication::primaryScreen()->grabWindow(window->pnlPreviewPlay->winId()).toImage();
    ASSERT_EQ(img.size(), QSize(280, 220));
    for (int x : {0, 140, 279}) {
        EXPECT_EQ(img.pixelColor(x, 5), QColor(Qt::black)) << x;
        EXPECT_EQ(img.pixelColor(x, 214), QColor(Qt::black)) << x;
        EXPECT_NE(img.pixelColor(x, 110), QColor(Qt::black)) << x;
    }

    // Remembered with the settings: the next window starts with it.
    EXPECT_EQ(IniOptions.PreviewVolume, 50);
    window.reset();
    window = std::make_unique<TZelMainForm>(places);
    EXPECT_EQ(window->tbarPreviewVolume->value(), 50);
    EXPECT_EQ(window->fplyrPreview->AudioVolume(), 64);
}

TEST_F(EditDialog, TheChosenAspectShowsInThePicture)
{
    // The 4:3 clip shown as 16:9: 400 x 224 at y = 38 with black bands.
    form->btnPlay->click();
    ASSERT_TRUE(WaitFor([&] { return form->PlayerState == psPause; }));
    const auto grab = [&] { return QGuiApplication::primaryScreen()->grabWindow(form->pnlEditPlay->winId()).toImage(); };
    EXPECT_NE(grab().pixelColor(200, 20), QColor(Qt::black));
    form->cbbFrameAspectRatio->setCurrentIndex(2);
    ASSERT_TRUE(WaitFor([&] { return grab().pixelColor(200, 20) == QColor(Qt::black); }));
    const QImage img = grab();
    for (int x : {0, 200, 399}) {
        EXPECT_EQ(img.pixelColor(x, 37), QColor(Qt::black)) << x;
        EXPECT_NE(img.pixelColor(x, 40), QColor(Qt::black)) << x;
        EXPECT_NE(img.pixelColor(x, 259), QColor(Qt::black)) << x;
        EXPECT_EQ(img.pixelColor(x, 263), QColor(Qt::black)) << x;
    }
}

}  // namespace
