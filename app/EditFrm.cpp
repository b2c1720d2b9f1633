#include "app/EditFrm.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QSlider>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QToolButton>

#include <algorithm>

#include "app/ActionGuard.h"
#include "app/Pictures.h"
#include "app/SliderMouse.h"
#include "app/UiQueue.h"
#include "app/host/PlayerHostWidget.h"
#include "workflow/BatchObserver.h"
#include "workflow/IniOptions.h"
#include "workflow/InputFileList.h"

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

QLineEdit* TimeEdit(const QString& text, QRect geometry, QWidget* parent)
{
    auto* edit = new QLineEdit(parent);
    edit->setGeometry(geometry);
    edit->setInputMask("90:00:00;_");
    edit->setMaxLength(8);
    edit->setText(text);
    edit->setEnabled(false);
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
    new TSliderMouse(tbarEdit, [this] { TrackPressed(); }, [this] { TrackReleased(); });

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

    btnPlay = PictureButton("Play", "Play", "EPlay.png", {18, 399}, this);
    btnStop = PictureButton("Stop", "Stop", "EStop.png", {56, 400}, this);
    btnPlaySection = PictureButton("Section", "Play Section", "EPlaySection.png", {94, 400}, this);
    btnStart = PictureButton("In", "Mark In", "Start.png", {132, 400}, this);
    btnEnd = PictureButton("Out", "Mark Out", "End.png", {170, 400}, this);
    btnResetTrim = new QPushButton("Reset", this);
    btnResetTrim->setGeometry(208, 400, 41, 32);

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
    edtStartTime = TimeEdit("00:00:00", QRect(86, 22, 90, 22), grpTrim);
    auto* lblEndTime = new QLabel("End Time:", grpTrim);
    lblEndTime->setGeometry(10, 50, 70, 22);
    edtEndTime = TimeEdit("  :  :  ", QRect(86, 50, 90, 22), grpTrim);

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
    // 2.
    cbbFrameAspectRatio->setCurrentIndex(file.AspectIndex >= 0 && file.AspectIndex < cbbFrameAspectRatio->count()
                                             ? file.AspectIndex
                                             : 0);
    // 3. The player reports the file's duration before Open returns.
    PlayFile();
    // 4.
    MarkIn = file.TrimStart;
    MarkOut = file.TrimStart + file.TrimLength;
    edtStartTime->setText(SecondsText(file.TrimStart / 1000));
    if (file.TrimStart != 0 && SectionKnown())
        PlaceStartMarker(MarkIn);
    else
        PlaceStartMarker(0);
    // 5.
    if (file.TrimLength == 0 || !SectionKnown()) {
        edtEndTime->setText(SecondsText(MediaDuration / 1000000));
        PlaceEndMarkerAtEnd();
    } else {
        // A start of -1 means the file's beginning: the end shown is the length from there.
        edtEndTime->setText(SecondsText((std::max<std::int64_t>(file.TrimStart, 0) + file.TrimLength) / 1000));
        imgSelEnd->move(TrackX(MarkOut) - imgSelEnd->width() - 20, imgSelEnd->y());
    }
}

void TEditForm::PlayFile()
{
    if (!fplyrEdit->AVLibLoaded()) fplyrEdit->LoadAVLib(workflow::ExeFolder() + "Lib");
    fplyrEdit->Stop(true);
    fplyrEdit->Open(FFileName, pnlEditPlay->PlayerWindow());
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
    EnableSection(ms > 0);
}

void TEditForm::EnableSection(bool on)
{
    for (QWidget* control : {static_cast<QWidget*>(tbarEdit), static_cast<QWidget*>(btnPlaySection),
                             static_cast<QWidget*>(btnStart), static_cast<QWidget*>(btnEnd),
                             static_cast<QWidget*>(btnResetTrim)})
        control->setEnabled(on);
}

void TEditForm::PositionReported(std::int64_t pts)
{
    if (pts <= 0 || MediaDuration <= 0) return;
    const std::int64_t position = tbarEdit->maximum() * pts / MediaDuration;
    if (!tbarEdit->isSliderDown()) tbarEdit->setValue(static_cast<int>(position));
    // The stop is pressed once this report has returned to the player.
    if (PlaySectionMode && position > MarkOut)
        QCoreApplication::postEvent(this, new QEvent(workflow::WM_SECTION_END));
}

void TEditForm::StateReported(TPlayState state)
{
    PlayerState = state;
    const bool stopped = state == player::psStop || state == player::psEnd;
    btnStop->setEnabled(!stopped);
    btnPlay->setEnabled(stopped);
    if (stopped) tbarEdit->setValue(0);
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
    PlaySectionMode = false;
    PlayFile();
}

void TEditForm::StopClicked()
{
    fplyrEdit->Stop(true);
    pnlEditPlay->update();
}

void TEditForm::PlaySectionClicked()
{
    PlaySectionMode = true;
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
    edtStartTime->setText(SecondsText(MarkIn / 1000));
}

void TEditForm::MarkOutClicked()
{
    MarkOut = tbarEdit->value();
    if (MarkOut < MarkIn) MarkOut = MarkIn + 50;
    imgSelEnd->move(TrackX(MarkOut) - imgSelEnd->width(), imgSelEnd->y());
    edtEndTime->setText(SecondsText(MarkOut / 1000));
}

void TEditForm::ResetClicked()
{
    MarkIn = 0;
    MarkOut = tbarEdit->maximum();
    edtStartTime->setText(SecondsText(0));
    edtEndTime->setText(SecondsText(MediaDuration / 1000000));
    PlaceStartMarker(0);
    PlaceEndMarkerAtEnd();
}

void TEditForm::TrackPressed()
{
    fplyrEdit->Pause();
}

void TEditForm::TrackReleased()
{
    if (PlayerState == player::psPause) {
        SeekToTrack(tbarEdit->value());
        fplyrEdit->Resume();
    } else {
        PlayFile();
        SeekToTrack(tbarEdit->value());
    }
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
