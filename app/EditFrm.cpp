#include "app/EditFrm.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QFileInfo>
#include <QPushButton>
#include <QShortcut>
#include <QSlider>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QToolButton>

#include <algorithm>

#include "app/ActionGuard.h"
#include "app/Pictures.h"
#include "app/PlaybackControls.h"
#include "app/SliderMouse.h"
#include "app/UiQueue.h"
#include "app/host/PlayerHostWidget.h"
#include "workflow/BatchObserver.h"
#include "workflow/IniOptions.h"
#include "workflow/InputFileList.h"
#include "workflow/SourceTracks.h"

namespace kv::app {

using player::TPlayState;

namespace {

QString SecondsText(std::int64_t seconds)
{
    return QString::fromStdString(workflow::TimeText(static_cast<int>(std::clamp<std::int64_t>(seconds, 0, INT32_MAX))));
}

// A 32 x 32 button with its picture, or with its text when the picture is missing.
QToolButton* PictureButton(const QString& text, const QString& hint, const QString& picture, QPoint at, QWidget* parent)
{
    auto* button = new QToolButton(parent);
    button->setText(text);
    button->setToolTip(hint);
    button->setGeometry(at.x(), at.y(), 32, 32);
    const QIcon icon = PictureIcon(picture);
    if (!icon.isNull()) {
        button->setIcon(icon);
        button->setIconSize(QSize(24, 24));
        button->setToolButtonStyle(Qt::ToolButtonIconOnly);
    } else {
        button->setToolButtonStyle(Qt::ToolButtonTextOnly);
    }
    button->setAutoRaise(true);
    return button;
}

// A section marker: a flag on a pole, the pole at the marked place (the left edge
// for the start, the right edge for the end).
QPixmap MarkerPicture(bool start)
{
    QPixmap picture(16, 16);
    picture.fill(Qt::transparent);
    QPainter p(&picture);
    p.setRenderHint(QPainter::Antialiasing);
    const QColor colour = start ? QColor(40, 150, 60) : QColor(200, 60, 40);
    const int pole = start ? 1 : 14;
    p.fillRect(QRectF(pole - 1, 0, 2, 16), colour);
    const qreal tip = start ? 14 : 2;
    const QPointF flag[] = {{qreal(pole), 1}, {tip, 5}, {qreal(pole), 9}};
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    p.drawPolygon(flag, 3);
    return picture;
}

// Hours, minutes, seconds and milliseconds: marks are set to the picture.
QLineEdit* TimeEdit(const QString& text, QRect geometry, QWidget* parent)
{
    auto* edit = new QLineEdit(parent);
    edit->setGeometry(geometry);
    edit->setInputMask("90:00:00.000;_");
    edit->setMaxLength(12);
    edit->setText(text);
    return edit;
}

}  // namespace

TEditForm::TEditForm(const workflow::TInputFileList& files, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint),
      FFiles(files)
{
    setWindowTitle("Edit");
    setFixedSize(630, 438);

    pnlEditPlay = new TPlayerHostWidget(this);
    pnlEditPlay->setGeometry(8, 29, 400, 300);

    tbarEdit = new QSlider(Qt::Horizontal, this);
    tbarEdit->setGeometry(8, 335, 397, 34);
    tbarEdit->setRange(0, 100);
    tbarEdit->setTickPosition(QSlider::NoTicks);
    MakeTrackJumpToClick(tbarEdit);
    new TSliderMouse(tbarEdit, [this] { TrackPressed(); }, [this] { TrackReleased(); });
    connect(tbarEdit, &QSlider::sliderMoved, this, [this](int ms) { RunAction("Slider", [this, ms] { TrackMoved(ms); }); });

    imgSelStart = new QLabel(this);
    imgSelStart->setPixmap(MarkerPicture(true));
    imgSelStart->resize(16, 16);
    imgSelEnd = new QLabel(this);
    imgSelEnd->setPixmap(MarkerPicture(false));
    imgSelEnd->resize(16, 16);

    lblStart = new QLabel("00:00:00", this);
    lblStart->setGeometry(4, 387, 60, 14);
    lblEnd = new QLabel(this);
    lblEnd->setGeometry(366, 387, 60, 14);
    lblPosition = new QLabel(MillisecondsText(0) + " / " + MillisecondsText(0), this);
    lblPosition->setGeometry(96, 385, 200, 14);
    lblPosition->setAlignment(Qt::AlignCenter);

    btnPlay = PictureButton("Play", "Play", "EPlay.png", {18, 399}, this);
    btnStop = PictureButton("Stop", "Stop", "EStop.png", {56, 400}, this);
    btnPlaySection = PictureButton("Section", "Play Section", "EPlaySection.png", {94, 400}, this);
    btnStart = PictureButton("In", "Mark In", "Start.png", {132, 400}, this);
    btnEnd = PictureButton("Out", "Mark Out", "End.png", {170, 400}, this);
    btnResetTrim = new QPushButton("Reset", this);
    btnResetTrim->setGeometry(208, 400, 41, 32);
    btnPrevFrame = PictureButton("<|", "Previous Frame (Left)", "EPrevFrame.png", {256, 400}, this);
    btnNextFrame = PictureButton("|>", "Next Frame (Right)", "ENextFrame.png", {294, 400}, this);
    ShowPlayOrPause(btnPlay, false, "EPlay.png", "EPause.png");

    lblFrameAspectRatio = new QLabel("Frame Aspect Ratio:", this);
    lblFrameAspectRatio->setGeometry(425, 25, 190, 16);
    cbbFrameAspectRatio = new QComboBox(this);
    cbbFrameAspectRatio->setGeometry(471, 44, 145, 24);
    cbbFrameAspectRatio->addItems({"Keep original", "4:3", "16:9", "Letterbox (37:20)", "Pan and Scan (47:20)"});
    lblFrameAspectRatio->setBuddy(cbbFrameAspectRatio);

    grpTrim = new QGroupBox("Trim", this);
    grpTrim->setGeometry(425, 71, 191, 80);
    auto* lblStartTime = new QLabel("Start Time:", grpTrim);
    lblStartTime->setGeometry(10, 22, 70, 22);
    edtStartTime = TimeEdit(MillisecondsText(0), QRect(86, 22, 96, 22), grpTrim);
    auto* lblEndTime = new QLabel("End Time:", grpTrim);
    lblEndTime->setGeometry(10, 50, 70, 22);
    edtEndTime = TimeEdit("  :  :  .   ", QRect(86, 50, 96, 22), grpTrim);

    // Short enough for the column; what it applies to is in the list's tool tip.
    lblSoundTrack = new QLabel("Sound track:", this);
    lblSoundTrack->setGeometry(425, 160, 191, 16);
    cbbSoundTrack = new QComboBox(this);
    cbbSoundTrack->setGeometry(425, 178, 191, 24);
    lblSoundTrack->setBuddy(cbbSoundTrack);
    chkBurnSubtitles = new QCheckBox("Burn in subtitles", this);
    chkBurnSubtitles->setGeometry(425, 212, 191, 20);
    cbbSubtitleTrack = new QComboBox(this);
    cbbSubtitleTrack->setGeometry(425, 234, 191, 24);
    connect(chkBurnSubtitles, &QCheckBox::toggled, cbbSubtitleTrack, &QWidget::setEnabled);

    btnOK = new QPushButton("&OK", this);
    btnOK->setGeometry(442, 404, 80, 26);
    btnOK->setDefault(true);
    btnCancel = new QPushButton("&Cancel", this);
    btnCancel->setGeometry(538, 404, 80, 26);

    auto guard = [this](const char* name, void (TEditForm::*handler)()) {
        return [this, name, handler] { RunAction(name, [this, handler] { (this->*handler)(); }); };
    };
    connect(btnPlay, &QToolButton::clicked, this, guard("Play", &TEditForm::PlayClicked));
    connect(btnStop, &QToolButton::clicked, this, guard("Stop", &TEditForm::StopClicked));
    connect(btnPlaySection, &QToolButton::clicked, this, guard("Play Section", &TEditForm::PlaySectionClicked));
    connect(btnStart, &QToolButton::clicked, this, guard("Mark In", &TEditForm::MarkInClicked));
    connect(btnEnd, &QToolButton::clicked, this, guard("Mark Out", &TEditForm::MarkOutClicked));
    connect(btnResetTrim, &QPushButton::clicked, this, guard("Reset", &TEditForm::ResetClicked));
    connect(btnPrevFrame, &QToolButton::clicked, this, [this] { RunAction("Previous Frame", [this] { StepClicked(-1); }); });
    connect(btnNextFrame, &QToolButton::clicked, this, [this] { RunAction("Next Frame", [this] { StepClicked(1); }); });
    connect(edtStartTime, &QLineEdit::editingFinished, this, guard("Start Time", &TEditForm::StartTimeTyped));
    connect(edtEndTime, &QLineEdit::editingFinished, this, guard("End Time", &TEditForm::EndTimeTyped));
    connect(cbbFrameAspectRatio, &QComboBox::currentIndexChanged, this,
            [this](int index) { fplyrEdit->SetDisplayAspect(ChosenAspect(index)); });
    // Space plays and pauses, Left and Right step while paused (a time being typed keeps its keys).
    auto* space = new QShortcut(QKeySequence(Qt::Key_Space), this);
    connect(space, &QShortcut::activated, this, guard("Play", &TEditForm::PlayClicked));
    auto* left = new QShortcut(QKeySequence(Qt::Key_Left), this);
    connect(left, &QShortcut::activated, this, [this] {
        if (PlayerState == player::psPause) RunAction("Previous Frame", [this] { StepClicked(-1); });
    });
    auto* right = new QShortcut(QKeySequence(Qt::Key_Right), this);
    connect(right, &QShortcut::activated, this, [this] {
        if (PlayerState == player::psPause) RunAction("Next Frame", [this] { StepClicked(1); });
    });
    connect(btnOK, &QPushButton::clicked, this, &QDialog::accept);
    connect(btnCancel, &QPushButton::clicked, this, &QDialog::reject);

    fplyrEdit = std::make_unique<player::TFFPlayer>();
    AttachPlayer();
    PlaceStartMarker(0);
    PlaceEndMarkerAtEnd();
}

// The player goes first: it stops and lets go of the panel before the panel goes.
TEditForm::~TEditForm()
{
    fplyrEdit.reset();
}

void TEditForm::AttachPlayer()
{
    fplyrEdit->OnFileOpen = [this](player::TCustomPlayer*, std::int64_t duration, int, int, int& sw, int& sh) {
        FileOpened(duration, sw, sh);
    };
    fplyrEdit->OnPosition = [this](player::TCustomPlayer*, std::int64_t pts) { PositionReported(pts); };
    fplyrEdit->OnState = [this](player::TCustomPlayer*, TPlayState state) {
        RunOnUiThreadQueued(this, [this, state] { StateReported(state); });
    };
    fplyrEdit->OnLog = [](player::TCustomPlayer*, player::TLogType, const std::string&) {};
}

bool TEditForm::Execute(int index)
{
    Prepare(index);
    return exec() == QDialog::Accepted;
}

void TEditForm::Prepare(int index)
{
    // 1.
    PlaySectionMode = false;
    FIndex = index;
    const workflow::TInputFile& file = FFiles.Items(index);
    FFileName = file.FileName;
    setWindowTitle("Edit - " + QFileInfo(QString::fromStdString(FFileName)).fileName());
    // 2.
    cbbFrameAspectRatio->setCurrentIndex(file.AspectIndex >= 0 && file.AspectIndex < cbbFrameAspectRatio->count()
                                             ? file.AspectIndex
                                             : 0);
    ShowTrackChoices(file);
    // 3. The player reports the file's duration before Open returns.
    PlayFile();
    // 4.
    MarkIn = file.TrimStart;
    MarkOut = file.TrimStart + file.TrimLength;
    edtStartTime->setText(MillisecondsText(file.TrimStart));
    if (file.TrimStart != 0 && SectionKnown())
        PlaceStartMarker(MarkIn);
    else
        PlaceStartMarker(0);
    // 5.
    if (file.TrimLength == 0 || !SectionKnown()) {
        edtEndTime->setText(MillisecondsText(MediaDuration / 1000));
        PlaceEndMarkerAtEnd();
    } else {
        // A start of -1 means the file's beginning: the end shown is the length from there.
        edtEndTime->setText(MillisecondsText(std::max<std::int64_t>(file.TrimStart, 0) + file.TrimLength));
        imgSelEnd->move(TrackX(MarkOut) - imgSelEnd->width() - 20, imgSelEnd->y());
    }
}

// The file's sound tracks to choose from, and its text subtitle tracks to draw.
void TEditForm::ShowTrackChoices(const workflow::TInputFile& file)
{
    cbbSoundTrack->clear();
    const std::vector<workflow::TSourceTrack> sounds = workflow::ReadSoundTracks(file.FileName);
    for (const workflow::TSourceTrack& track : sounds) cbbSoundTrack->addItem(QString::fromStdString(track.Text));
    const bool choice = sounds.size() > 1;
    const int sound = file.SoundTrack >= 0 && file.SoundTrack < static_cast<int>(sounds.size())
                          ? file.SoundTrack
                          : workflow::DefaultTrackIndex(sounds);
    cbbSoundTrack->setCurrentIndex(sound);
    cbbSoundTrack->setEnabled(choice);
    lblSoundTrack->setEnabled(choice);
    cbbSoundTrack->setToolTip(choice ? "The track a file of one sound track gets; files of several keep them all"
                                     : "The file has no other sound track");

    cbbSubtitleTrack->clear();
    const std::vector<workflow::TSourceTrack> subtitles = workflow::ReadSubtitleTracks(file.FileName);
    int burnt = -1;
    for (std::size_t i = 0; i < subtitles.size(); ++i) {
        if (!subtitles[i].IsText) continue;
        if (static_cast<int>(i) == file.BurntSubtitle) burnt = cbbSubtitleTrack->count();
        cbbSubtitleTrack->addItem(QString::fromStdString(subtitles[i].Text), static_cast<int>(i));
    }
    const bool renderer = workflow::CanBurnSubtitles();
    const bool drawable = renderer && cbbSubtitleTrack->count() > 0;
    chkBurnSubtitles->setEnabled(drawable);
    chkBurnSubtitles->setChecked(drawable && burnt >= 0);
    cbbSubtitleTrack->setCurrentIndex(std::max(burnt, 0));
    cbbSubtitleTrack->setEnabled(chkBurnSubtitles->isChecked());
    const QString why = !renderer ? "The installed libraries cannot draw subtitles (their subtitle filter needs libass)"
                        : !drawable ? "The file has no text subtitles"
                                    : "Draws the track into the picture; it is then not kept as a subtitle track";
    chkBurnSubtitles->setToolTip(why);
    cbbSubtitleTrack->setToolTip(why);
}

int TEditForm::ChosenSoundTrack() const
{
    return cbbSoundTrack->isEnabled() ? cbbSoundTrack->currentIndex() : -1;
}

int TEditForm::ChosenBurntSubtitle() const
{
    if (!chkBurnSubtitles->isEnabled() || !chkBurnSubtitles->isChecked() || cbbSubtitleTrack->currentIndex() < 0)
        return -1;
    return cbbSubtitleTrack->currentData().toInt();
}

bool TEditForm::PlayFile()
{
    if (!fplyrEdit->AVLibLoaded()) fplyrEdit->LoadAVLib(workflow::ExeFolder() + "Lib");
    fplyrEdit->Stop(true);
    fplyrEdit->SetDisplayAspect(ChosenAspect(cbbFrameAspectRatio->currentIndex()));
    return fplyrEdit->Open(FFileName, pnlEditPlay->PlayerWindow());
}

float TEditForm::ChosenAspect(int index)
{
    static const float aspects[] = {0, 4.0f / 3, 16.0f / 9, 37.0f / 20, 47.0f / 20};
    return index >= 0 && index < 5 ? aspects[index] : 0;
}

bool TEditForm::Playing() const
{
    return PlayerState == player::psPlay || PlayerState == player::psResume;
}

bool TEditForm::Stopped() const
{
    return PlayerState == player::psStop || PlayerState == player::psEnd;
}

void TEditForm::ShowPosition(std::int64_t ms)
{
    lblPosition->setText(MillisecondsText(ms) + " / " + MillisecondsText(MediaDuration / 1000));
}

bool TEditForm::SectionKnown() const
{
    return MediaDuration > 0 && tbarEdit->maximum() > 0;
}

void TEditForm::FileOpened(std::int64_t duration, int& screenWidth, int& screenHeight)
{
    screenWidth = pnlEditPlay->width();
    screenHeight = pnlEditPlay->height();
    MediaDuration = duration;
    const std::int64_t ms = duration > 0 ? std::min<std::int64_t>(duration / 1000, INT32_MAX) : 0;
    tbarEdit->setMaximum(static_cast<int>(ms));
    PixelsPerMs = ms > 0 ? static_cast<double>(tbarEdit->width()) / static_cast<double>(ms) : 0;
    lblEnd->setText(SecondsText(duration / 1000000));
    ShowPosition(0);
    EnableSection(ms > 0);
}

void TEditForm::EnableSection(bool on)
{
    for (QWidget* control : {static_cast<QWidget*>(tbarEdit), static_cast<QWidget*>(btnPlaySection),
                             static_cast<QWidget*>(btnStart), static_cast<QWidget*>(btnEnd),
                             static_cast<QWidget*>(btnResetTrim), static_cast<QWidget*>(edtStartTime),
                             static_cast<QWidget*>(edtEndTime)})
        control->setEnabled(on);
}

void TEditForm::PositionReported(std::int64_t pts)
{
    if (pts <= 0 || MediaDuration <= 0) return;
    const std::int64_t position = tbarEdit->maximum() * pts / MediaDuration;
    if (!tbarEdit->isSliderDown()) {
        tbarEdit->setValue(static_cast<int>(position));
        ShowPosition(position);
    }
    // The stop is pressed once this report has returned to the player; reports of
    // the place before the section's seek was carried out do not count.
    if (PlaySectionMode && position >= MarkIn - 50 && position <= MarkOut) FSectionEntered = true;
    if (PlaySectionMode && FSectionEntered && position > MarkOut)
        QCoreApplication::postEvent(this, new QEvent(workflow::WM_SECTION_END));
}

void TEditForm::StateReported(TPlayState state)
{
    if (state == player::psPlay && FOpenedPaused) {
        state = player::psPause;
        FOpenedPaused = false;
    }
    PlayerState = state;
    // The slider keeps its place at a stop: marks are taken from there.
    btnStop->setEnabled(!Stopped());
    ShowPlayOrPause(btnPlay, Playing(), "EPlay.png", "EPause.png");
    btnPrevFrame->setEnabled(!Stopped());
    btnNextFrame->setEnabled(!Stopped());
}

bool TEditForm::event(QEvent* event)
{
    if (event->type() == workflow::WM_SECTION_END) {
        btnStop->click();
        return true;
    }
    return QDialog::event(event);
}

void TEditForm::PlayClicked()
{
    if (Playing()) {
        fplyrEdit->Pause();
        StateReported(player::psPause);
        return;
    }
    if (PlayerState == player::psPause) {
        fplyrEdit->Resume();
        StateReported(player::psResume);
        return;
    }
    PlaySectionMode = false;
    // From where the slider was left by a stop, or from the start after the end.
    const int from = tbarEdit->value();
    PlayFile();
    if (PlayerState != player::psEnd && from > 0 && from < tbarEdit->maximum()) SeekToTrack(from);
}

void TEditForm::StopClicked()
{
    fplyrEdit->Stop(true);
    pnlEditPlay->update();
}

void TEditForm::PlaySectionClicked()
{
    PlaySectionMode = true;
    FSectionEntered = false;
    if (PlayerState == player::psPause) {
        SeekToTrack(MarkIn);
        fplyrEdit->Resume();
    } else {
        PlayFile();
        SeekToTrack(MarkIn);
    }
}

void TEditForm::MarkInClicked()
{
    MarkIn = tbarEdit->value();
    // Never past the end, nor before the file's start.
    if (MarkIn > MarkOut) MarkIn = std::max<std::int64_t>(0, MarkOut - 50);
    PlaceStartMarker(MarkIn);
    edtStartTime->setText(MillisecondsText(MarkIn));
}

void TEditForm::MarkOutClicked()
{
    MarkOut = tbarEdit->value();
    if (MarkOut < MarkIn) MarkOut = MarkIn + 50;
    PlaceEndMarker(MarkOut);
    edtEndTime->setText(MillisecondsText(MarkOut));
}

void TEditForm::PlaceEndMarker(std::int64_t ms)
{
    imgSelEnd->move(TrackX(ms) - imgSelEnd->width(), imgSelEnd->y());
}

void TEditForm::StartTimeTyped()
{
    const std::int64_t ms = ParseMillisecondsText(edtStartTime->text());
    if (ms < 0 || !SectionKnown()) {
        edtStartTime->setText(MillisecondsText(std::max<std::int64_t>(MarkIn, 0)));
        return;
    }
    // Within the file and before the end mark, as Mark In keeps it.
    MarkIn = std::min<std::int64_t>(ms, tbarEdit->maximum());
    if (MarkIn > MarkOut) MarkIn = std::max<std::int64_t>(0, MarkOut - 50);
    PlaceStartMarker(MarkIn);
    edtStartTime->setText(MillisecondsText(MarkIn));
    ShowFrameAt(MarkIn);
}

void TEditForm::EndTimeTyped()
{
    const std::int64_t ms = ParseMillisecondsText(edtEndTime->text());
    if (ms < 0 || !SectionKnown()) {
        edtEndTime->setText(MillisecondsText(MarkOut));
        return;
    }
    MarkOut = std::min<std::int64_t>(ms, tbarEdit->maximum());
    if (MarkOut < MarkIn) MarkOut = MarkIn + 50;
    PlaceEndMarker(MarkOut);
    edtEndTime->setText(MillisecondsText(MarkOut));
    ShowFrameAt(MarkOut);
}

// Shows the picture at `ms` without playing on (the playback pauses; a stopped one opens paused).
void TEditForm::ShowFrameAt(std::int64_t ms)
{
    if (Stopped()) {
        if (!PlayFile()) return;
        fplyrEdit->Pause();
        StateReported(player::psPause);
        FOpenedPaused = true;
    } else if (Playing()) {
        fplyrEdit->Pause();
        StateReported(player::psPause);
    }
    tbarEdit->setValue(static_cast<int>(ms));
    ShowPosition(ms);
    SeekToTrack(ms);
}

void TEditForm::StepClicked(int direction)
{
    if (Stopped()) return;
    fplyrEdit->Step(direction);
    if (PlayerState != player::psPause) StateReported(player::psPause);
}

void TEditForm::ResetClicked()
{
    MarkIn = 0;
    MarkOut = tbarEdit->maximum();
    edtStartTime->setText(MillisecondsText(0));
    edtEndTime->setText(MillisecondsText(MediaDuration / 1000));
    PlaceStartMarker(0);
    PlaceEndMarkerAtEnd();
}

void TEditForm::TrackPressed()
{
    // Held while playing, it plays on at the release; paused or stopped, it shows the picture there.
    FResumeAfterDrag = Playing();
    if (FResumeAfterDrag) {
        fplyrEdit->Pause();
        StateReported(player::psPause);
    }
}

void TEditForm::TrackReleased()
{
    const int ms = tbarEdit->value();
    ShowPosition(ms);
    if (Stopped()) {
        ShowFrameAt(ms);
        return;
    }
    SeekToTrack(ms);
    if (FResumeAfterDrag && PlayerState == player::psPause) {
        fplyrEdit->Resume();
        StateReported(player::psResume);
    }
    FResumeAfterDrag = false;
}

void TEditForm::TrackMoved(int ms)
{
    ShowPosition(ms);
    if (Stopped() || tbarEdit->maximum() <= 0) return;
    fplyrEdit->Seek(MediaDuration * std::max<std::int64_t>(0, ms) / tbarEdit->maximum(), false);
}

void TEditForm::SeekToTrack(std::int64_t ms)
{
    if (tbarEdit->maximum() <= 0) return;
    fplyrEdit->Seek(MediaDuration * std::max<std::int64_t>(0, ms) / tbarEdit->maximum());
}

// Where a mark lies on the track: half the thumb in from the track bar's left edge.
int TEditForm::TrackX(std::int64_t ms) const
{
    QStyleOptionSlider option;
    option.initFrom(tbarEdit);
    option.orientation = Qt::Horizontal;
    const int halfThumb = tbarEdit->style()->pixelMetric(QStyle::PM_SliderLength, &option, tbarEdit) / 2;
    return halfThumb + tbarEdit->x() + static_cast<int>(static_cast<double>(ms) * PixelsPerMs);
}

void TEditForm::PlaceStartMarker(std::int64_t ms)
{
    imgSelStart->move(ms == 0 ? TrackX(0) : TrackX(ms), 369);
}

void TEditForm::PlaceEndMarkerAtEnd()
{
    imgSelEnd->move(TrackX(0) + tbarEdit->width() - imgSelEnd->width() - 20, 369);
}

}  // namespace kv::app
