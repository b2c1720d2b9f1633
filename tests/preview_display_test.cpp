// The main window's preview pane, its snapshots and the edit dialog, with real
// players drawing into the windows on a (virtual) X display.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QSlider>
#include <QTableWidget>
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
             EXPECT_EQ(f.edtStartTime->text(), "00:00:00");
             EXPECT_EQ(f.edtEndTime->text(), "00:00:04");
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
             EXPECT_EQ(f.edtStartTime->text(), "00:00:01");
             EXPECT_EQ(f.edtEndTime->text(), "00:00:03");
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
        {"in before out", 0, 4000, 1500, true, 1500, 4000, "00:00:01"},
        {"in after out", 0, 1000, 1800, true, 950, 1000, "00:00:00"},
        {"out after in", 500, 4000, 3200, false, 500, 3200, "00:00:03"},
        {"out before in", 2500, 4000, 1000, false, 2500, 2550, "00:00:02"},
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
        EXPECT_EQ(form->tbarEdit->value(), 0);
        EXPECT_TRUE(form->btnPlay->isEnabled());
        EXPECT_FALSE(form->btnStop->isEnabled());
    }
}

}  // namespace
