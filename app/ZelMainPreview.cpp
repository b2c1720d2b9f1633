// The main window's preview pane: the selected row plays in a small panel, a slider
// follows and moves the playback, snapshots save the picture on screen; and the edit
// action, whose dialog takes over the display while it is open.
#include <QAction>
#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QFrame>
#include <QLabel>
#include <QSlider>
#include <QTableWidget>
#include <QToolButton>

#include <algorithm>
#include <cstdlib>

#include "app/ActionButtons.h"
#include "app/ActionGuard.h"
#include "app/EditFrm.h"
#include "app/Pictures.h"
#include "app/PlaybackControls.h"
#include "app/Prompter.h"
#include "app/Shell.h"
#include "app/SliderMouse.h"
#include "app/SnapShotFrm.h"
#include "app/Snapshot.h"
#include "app/UiQueue.h"
#include "app/ZelMainFrm.h"
#include "app/host/PlayerHostWidget.h"
#include "workflow/BatchObserver.h"
#include "workflow/IniOptions.h"

namespace kv::app {

using player::TPlayState;
using workflow::IniOptions;

namespace {

bool Stopped(TPlayState state)
{
    return state == player::psStop || state == player::psEnd;
}

int ClampToInt(std::int64_t value)
{
    return static_cast<int>(std::clamp<std::int64_t>(value, 0, INT32_MAX));
}

QString SecondsText(std::int64_t ms)
{
    return QString::fromStdString(workflow::TimeText(ClampToInt(ms / 1000)));
}

// The player's volume scale (0 to 128) of a percentage the user sees.
int PlayerVolume(int percent)
{
    return (std::clamp(percent, 0, 100) * 128 + 50) / 100;
}

}  // namespace

void TZelMainForm::CreatePreviewPane()
{
    pnlPreview = new QFrame(this);
    pnlPreview->setGeometry(430, 68, 290, 384);
    pnlPreview->setFrameStyle(QFrame::StyledPanel | QFrame::Plain);
    lblPreviewInfo = new QLabel("Preview:", pnlPreview);
    lblPreviewInfo->setGeometry(6, 6, 278, 20);
    // The still picture lies beside the player's panel, not on it: the display
    // library's window would cover it. One of the two shows at a time.
    pnlPreviewPlay = new TPlayerHostWidget(pnlPreview);
    pnlPreviewPlay->setGeometry(5, 30, 280, 220);
    imgPreview = new QLabel(pnlPreview);
    imgPreview->setGeometry(5, 30, 280, 220);
    imgPreview->setPixmap(LoadPicture("MainPreview.png"));
    tbarPreview = new QSlider(Qt::Horizontal, pnlPreview);
    tbarPreview->setGeometry(10, 262, 270, 24);
    tbarPreview->setEnabled(false);
    tbarPreview->setRange(0, 0);
    MakeTrackJumpToClick(tbarPreview);
    new TSliderMouse(tbarPreview, [this] { PreviewSliderPressed(); }, [this] { PreviewSliderReleased(); });
    connect(tbarPreview, &QSlider::sliderMoved, this,
            [this](int ms) { RunAction("Slider", [this, ms] { PreviewSliderMoved(ms); }); });
    lblPreviewTime = new QLabel(SecondsText(0) + " / " + SecondsText(0), pnlPreview);
    lblPreviewTime->setGeometry(10, 284, 270, 12);
    lblPreviewTime->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    QAction* const actions[] = {actPlay, actStop, actPrevious, actNext, actSnapshot, actOpenSnapshot, actSnapshotOptions};
    const char* const pictures[] = {"Play.png", "Stop.png", "Previous.png", "Next.png",
                                    "Snapshot.png", "Open.png", "SnapOption.png"};
    QToolButton** const buttons[] = {&btnPlay, &btnStop, &btnPrevious, &btnNext,
                                     &btnSnapshot, &btnOpenSnapshot, &btnSnapShotOption};
    const int gap = 6, left = (290 - 7 * 32 - 6 * gap) / 2;
    for (int i = 0; i < 7; ++i)
        *buttons[i] = FlatButton(actions[i], pictures[i], QRect(left + i * (32 + gap), 298, 32, 32), 24, pnlPreview);

    auto* volumeLabel = new QLabel("Volume:", pnlPreview);
    volumeLabel->setGeometry(10, 344, 52, 18);
    tbarPreviewVolume = new QSlider(Qt::Horizontal, pnlPreview);
    tbarPreviewVolume->setGeometry(64, 344, 160, 18);
    tbarPreviewVolume->setRange(0, 100);
    tbarPreviewVolume->setToolTip("Preview volume");
    volumeLabel->setBuddy(tbarPreviewVolume);
    lblPreviewVolume = new QLabel(pnlPreview);
    lblPreviewVolume->setGeometry(230, 344, 50, 18);
    connect(tbarPreviewVolume, &QSlider::valueChanged, this,
            [this](int percent) { RunAction("Volume", [this, percent] { PreviewVolumeChanged(percent); }); });

    fplyrPreview = std::make_unique<player::TFFPlayer>();
    AttachPreviewPlayer();
    tbarPreviewVolume->setValue(std::clamp(IniOptions.PreviewVolume, 0, 100));
    PreviewVolumeChanged(tbarPreviewVolume->value());
}

void TZelMainForm::PreviewVolumeChanged(int percent)
{
    IniOptions.PreviewVolume = percent;
    fplyrPreview->SetAudioVolume(PlayerVolume(percent));
    lblPreviewVolume->setText(QString::number(percent) + " %");
}

void TZelMainForm::AttachPreviewPlayer()
{
    fplyrPreview->OnFileOpen = [this](player::TCustomPlayer*, std::int64_t duration, int, int, int& sw, int& sh) {
        sw = pnlPreviewPlay->width();
        sh = pnlPreviewPlay->height();
        PlayerState = player::psPlay;
        // Milliseconds: a slider's range holds sources of any length.
        tbarPreview->setRange(0, ClampToInt(duration / 1000));
        tbarPreview->setEnabled(duration > 0);
        lblPreviewTime->setText(SecondsText(0) + " / " + SecondsText(duration / 1000));
        PreviewDuration = duration;
        Dragging = false;
    };
    fplyrPreview->OnPosition = [this](player::TCustomPlayer*, std::int64_t pts) {
        if (pts > 0 && PreviewDuration > 0 && !Dragging) {
            tbarPreview->setValue(ClampToInt(pts / 1000));
            lblPreviewTime->setText(SecondsText(pts / 1000) + " / " + SecondsText(PreviewDuration / 1000));
        }
    };
    fplyrPreview->OnState = [this](player::TCustomPlayer*, TPlayState state) {
        RunOnUiThreadQueued(this, [this, state] {
            PlayerState = state;
            UpdatePlayerControls();
        });
    };
    fplyrPreview->OnLog = [](player::TCustomPlayer*, player::TLogType, const std::string&) {};
}

QString TZelMainForm::RowCaption(int row) const
{
    const QTableWidgetItem* item = row >= 0 && row < lvFileList->rowCount() ? lvFileList->item(row, 0) : nullptr;
    return item ? item->text() : QString();
}

void TZelMainForm::UpdatePlayerControls()
{
    const bool stopped = Stopped(PlayerState);
    imgPreview->setVisible(stopped);
    pnlPreviewPlay->setVisible(!stopped);
    if (stopped) tbarPreview->setValue(0);
    if (stopped) tbarPreview->setEnabled(false);
    if (stopped) lblPreviewTime->setText(SecondsText(0) + " / " + SecondsText(0));
    RefreshPreviewActions();
}

void TZelMainForm::RefreshPreviewActions()
{
    const int rows = lvFileList->rowCount();
    const int selected = SelectedRow();
    const bool previewed = PreviewIndex >= 0 && PreviewIndex < rows;
    actPrevious->setEnabled(selected > 0);
    actNext->setEnabled(selected >= 0 && selected < rows - 1);
    // Play pauses and resumes too: it stays enabled while a row is there to play.
    actPlay->setEnabled(previewed && PlayerState != player::psStep);
    actStop->setEnabled(previewed && !Stopped(PlayerState));
    actSnapshot->setEnabled(previewed && (PlayerState == player::psPlay || PlayerState == player::psPause ||
                                          PlayerState == player::psResume));
    const bool playing = PlayerState == player::psPlay || PlayerState == player::psResume;
    const QIcon icon = PictureIcon(playing ? "Pause.png" : "Play.png");
    if (!icon.isNull()) actPlay->setIcon(icon);
    btnPlay->setText(playing ? "Pause" : "Play");
    btnPlay->setToolTip(playing ? "Pause (Space)" : actPlay->toolTip());
}

void TZelMainForm::PlayPreview()
{
    if (PreviewIndex < 0 || PreviewIndex >= Converter->Files.Count()) return;
    switch (PlayerState) {
    case player::psPlay:
    case player::psResume:
        fplyrPreview->Pause();
        break;
    case player::psPause:
        fplyrPreview->Resume();
        break;
    case player::psStop:
    case player::psEnd: {
        lblPreviewInfo->setText("Preview: " + RowCaption(PreviewIndex));
        if (!fplyrPreview->AVLibLoaded()) fplyrPreview->LoadAVLib(workflow::ExeFolder() + "Lib");
        fplyrPreview->Stop(true);
        imgPreview->hide();
        pnlPreviewPlay->show();
        if (!fplyrPreview->Open(Converter->Files.Items(PreviewIndex).FileName, pnlPreviewPlay->PlayerWindow()))
            UpdatePlayerControls();
        break;
    }
    case player::psStep:
        break;
    }
}

void TZelMainForm::StopPreview()
{
    fplyrPreview->Stop(true);
    pnlPreviewPlay->update();
}

void TZelMainForm::StepPreview(int delta)
{
    const int row = SelectedRow() + delta;
    if (SelectedRow() < 0 || row < 0 || row >= lvFileList->rowCount()) return;
    lvFileList->selectRow(row);
    PlayPreview();
}

void TZelMainForm::PreviewSliderPressed()
{
    Dragging = true;
    fplyrPreview->Pause();
}

void TZelMainForm::PreviewSliderMoved(int ms)
{
    lblPreviewTime->setText(SecondsText(ms) + " / " + SecondsText(PreviewDuration / 1000));
    // Key frames while the thumb moves: quick enough to follow it.
    if (PlayerState == player::psPause && tbarPreview->maximum() > 0)
        fplyrPreview->Seek(PreviewDuration * ms / tbarPreview->maximum(), false);
}

void TZelMainForm::PreviewSliderReleased()
{
    const auto seek = [this] {
        if (tbarPreview->maximum() > 0)
            fplyrPreview->Seek(PreviewDuration * tbarPreview->value() / tbarPreview->maximum());
    };
    if (PlayerState == player::psPause) {
        seek();
        fplyrPreview->Resume();
    } else {
        PlayPreview();
        seek();
    }
    Dragging = false;
}

QString TZelMainForm::SnapshotFolder() const
{
    const std::string folder = IniOptions.SnapshotFolder.empty() ? workflow::DefaultSnapshotFolder()
                                                                  : IniOptions.SnapshotFolder;
    return QString::fromStdString(folder);
}

QString TZelMainForm::TakeSnapshot()
{
    if (PreviewIndex < 0 || PreviewIndex >= lvFileList->rowCount()) return {};
    const QString folder = SnapshotFolder();
    if (!QFileInfo(folder).isDir()) QDir().mkpath(folder);
    const QString path = SnapshotPath(folder, RowCaption(PreviewIndex), IniOptions.SnapshotNaming,
                                      IniOptions.SnapshotFormat, QDateTime::currentDateTime());
    const media::TBitmap picture = *fplyrPreview->CurrentBitmap();
    if (picture.Width() <= 0) return {};
    if (!SaveSnapshot(picture, path, IniOptions.SnapshotFormat)) {
        Prompter().Message(this, QMessageBox::Warning, QString("The snapshot could not be saved as \"%1\".").arg(path));
        return {};
    }
    return path;
}

void TZelMainForm::OpenSnapshotFolder()
{
    const QString folder = SnapshotFolder();
    if (!QFileInfo(folder).isDir()) QDir().mkpath(folder);
    OpenFolderOrSay(folder);
}

void TZelMainForm::SnapshotOptions()
{
    TSnapShotForm form(this);
    form.exec();
}

void TZelMainForm::EditFile()
{
    if (SelectedRow() < 0) return;
    // 1.
    StopPreview();
    const int index = SelectedRow();
    // 2.
    TEditForm form(Converter->Files, this);
    if (!form.Execute(index)) return;
    workflow::TInputFile& file = Converter->Files.Items(index);
    file.AspectIndex = form.cbbFrameAspectRatio->currentIndex();
    file.SoundTrack = form.ChosenSoundTrack();
    file.BurntSubtitle = form.ChosenBurntSubtitle();
    // Without a duration there was nothing to mark: the section stays as it was.
    if (form.SectionKnown()) {
        file.TrimStart = std::min(form.MarkIn, form.MarkOut);
        file.TrimLength = std::llabs(form.MarkOut - form.MarkIn);
    }
    lvFileList->item(index, colTrimmed)->setText(
        QString::fromStdString(workflow::TimeText(ClampToInt(file.TrimLength / 1000))));
}

}  // namespace kv::app
