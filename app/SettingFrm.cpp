#include "app/SettingFrm.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QSlider>

#include <algorithm>
#include <string>
#include <vector>

#include "workflow/EntryForms.h"
#include "workflow/IniOptions.h"

namespace kv::app {

using workflow::IniOptions;
using workflow::TFormatRec;

namespace {

// Two columns of a label and a 145-wide box per group, as in every settings dialog of the product.
constexpr int LabelX[2] = {6, 246};
constexpr int BoxX[2] = {98, 324};
constexpr int BoxWidth = 145;

QComboBox* AddChoice(QGroupBox* group, const char* caption, int column, int y, QLabel*& label)
{
    label = new QLabel(caption, group);
    label->setGeometry(LabelX[column], y, BoxX[column] - LabelX[column] - 2, 24);
    auto* box = new QComboBox(group);
    box->setGeometry(BoxX[column], y, BoxWidth, 24);
    // Its size hint is then as wide as its longest entry.
    box->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    label->setBuddy(box);
    return box;
}

bool Shown(const QWidget* widget)
{
    return !widget->isHidden() && !widget->parentWidget()->isHidden();
}

// The list's entries, and the stored entry selected when there is one at that index.
void FillChoice(QComboBox* box, const std::string& list, int selected)
{
    box->clear();
    std::vector<std::string> entries;
    if (!workflow::TIniOptions::SplitList(list, entries)) return;
    for (const std::string& entry : entries) box->addItem(QString::fromStdString(entry));
    // An index past the list's end leaves no selection, which OK stores as -1.
    box->setCurrentIndex(selected >= 0 && selected < box->count() ? selected : -1);
    // The list opens as wide as its longest entry ("Fit within 3840*2160").
    box->view()->setMinimumWidth(box->view()->sizeHintForColumn(0) + 24);
}

// The selected entry's meaning where its text alone does not tell it; else the entry
// itself, in full where the box is too narrow for it.
void ExplainChoice(QComboBox* box, bool sound)
{
    const std::string meaning = workflow::EntryExplanation(box->currentText().toStdString(), sound);
    box->setToolTip(meaning.empty() ? box->currentText() : QString::fromStdString(meaning));
}

}  // namespace

TSettingForm::TSettingForm(QWidget* parent) : QDialog(parent)
{
    setFixedSize(492, 294);

    grpVideo = new QGroupBox("Video Settings", this);
    grpVideo->setGeometry(8, 4, 475, 97);
    cbbResolution = AddChoice(grpVideo, "Resolution:", 0, 26, lblResolution);
    cbbFrameRate = AddChoice(grpVideo, "Frame Rate:", 1, 26, lblFrameRate);
    cbbVideoEncoder = AddChoice(grpVideo, "Encoder:", 0, 60, lblVideoEncoder);
    cbbVideoBitRate = AddChoice(grpVideo, "Bit Rate:", 1, 60, lblVideoBitRate);

    grpAudio = new QGroupBox("Audio Settings", this);
    grpAudio->setGeometry(8, 106, 475, 145);
    cbbSampleRate = AddChoice(grpAudio, "Sample Rate:", 0, 26, lblSampleRate);
    cbbChannel = AddChoice(grpAudio, "Channels:", 1, 26, lblChannel);
    cbbAudioEncoder = AddChoice(grpAudio, "Encoder:", 0, 60, lblAudioEncoder);
    cbbAudioBitrate = AddChoice(grpAudio, "Bit Rate:", 1, 60, lblAudioBitrate);
    FChoices = {{lblResolution, cbbResolution, 0},     {lblFrameRate, cbbFrameRate, 1},
                {lblVideoEncoder, cbbVideoEncoder, 0}, {lblVideoBitRate, cbbVideoBitRate, 1},
                {lblSampleRate, cbbSampleRate, 0},     {lblChannel, cbbChannel, 1},
                {lblAudioEncoder, cbbAudioEncoder, 0}, {lblAudioBitrate, cbbAudioBitrate, 1}};

    lblVolume = new QLabel(grpAudio);
    lblVolume->setGeometry(LabelX[0], 100, 110, 24);
    tbarVolume = new QSlider(Qt::Horizontal, grpAudio);
    tbarVolume->setGeometry(122, 96, 345, 32);
    tbarVolume->setRange(0, 1280);
    tbarVolume->setTickInterval(500);
    tbarVolume->setTickPosition(QSlider::TicksBelow);
    tbarVolume->setSingleStep(8);
    tbarVolume->setPageStep(64);
    lblVolume->setBuddy(tbarVolume);
    connect(tbarVolume, &QSlider::valueChanged, this, &TSettingForm::ShowVolume);
    ShowVolume(0);

    for (QComboBox* box : {cbbResolution, cbbVideoEncoder, cbbVideoBitRate, cbbAudioEncoder, cbbAudioBitrate}) {
        const bool sound = grpAudio->isAncestorOf(box);
        connect(box, &QComboBox::currentIndexChanged, box, [box, sound] { ExplainChoice(box, sound); });
    }

    btnOK = new QPushButton("&OK", this);
    btnOK->setGeometry(492 - 8 - 2 * 84 - 6, 258, 84, 28);
    btnOK->setDefault(true);
    btnCancel = new QPushButton("&Cancel", this);
    btnCancel->setGeometry(492 - 8 - 84, 258, 84, 28);
    connect(btnOK, &QPushButton::clicked, this, &TSettingForm::accept);
    connect(btnCancel, &QPushButton::clicked, this, &TSettingForm::reject);
}

int TSettingForm::ShowFor(int index)
{
    Fill(index);
    return exec();
}

void TSettingForm::Fill(int index)
{
    FormatIndex = index;
    const TFormatRec format = IniOptions.GetFormat(index);
    setWindowTitle("Format Settings: " + QString::fromStdString(format.Name));
    FillChoice(cbbResolution, format.Resolution, format.ResolutionValue);
    FillChoice(cbbFrameRate, format.Framerate, format.FramerateValue);
    FillChoice(cbbVideoEncoder, format.VideoEncoder, format.VideoEncoderValue);
    FillChoice(cbbVideoBitRate, format.VideoBitRate, format.VideoBitRateValue);
    grpVideo->setEnabled(format.Category == 1);
    FillChoice(cbbSampleRate, format.SampleRate, format.SampleRateValue);
    FillChoice(cbbAudioBitrate, format.AudioBitrate, format.AudioBitrateValue);
    FillChoice(cbbAudioEncoder, format.AudioEncoder, format.AudioEncoderValue);
    FillChoice(cbbChannel, format.Channel, format.ChannelValue);
    tbarVolume->setValue(format.Volume);
    ShowVolume(tbarVolume->value());
    // A sound profile shows no picture settings; a lossless one no bit rate, which it
    // cannot choose. The choices are still stored back as they were.
    const bool video = format.Category == 1;
    const bool lossless = format.Ext == ".flac" || format.Ext == ".wav";
    grpVideo->setVisible(video);
    lblAudioBitrate->setVisible(!lossless);
    cbbAudioBitrate->setVisible(!lossless);
    grpAudio->move(8, video ? 106 : 4);
    FitColumns();
    // Entries wider than their box show in full in the open list and on hover.
    for (QComboBox* box : findChildren<QComboBox*>()) {
        box->view()->setMinimumWidth(box->view()->sizeHintForColumn(0) + 8);
        ExplainChoice(box, grpAudio->isAncestorOf(box));
    }
}

void TSettingForm::FitColumns()
{
    int labelWidth[2] = {0, 0}, boxWidth[2] = {BoxWidth, BoxWidth};
    for (const TChoiceRow& row : FChoices) {
        if (!Shown(row.Box)) continue;
        labelWidth[row.Column] = std::max(labelWidth[row.Column], row.Label->sizeHint().width());
        boxWidth[row.Column] = std::max(boxWidth[row.Column], row.Box->sizeHint().width());
    }
    // The usual places at the least; further out where a text needs it.
    const int boxX0 = std::max(BoxX[0], LabelX[0] + labelWidth[0] + 4);
    const int labelX1 = boxX0 + boxWidth[0] + 3;
    const int boxX1 = std::max(labelX1 + BoxX[1] - LabelX[1], labelX1 + labelWidth[1] + 4);
    const int groupWidth = boxX1 + boxWidth[1] + 6;
    const int labelX[2] = {LabelX[0], labelX1}, boxX[2] = {boxX0, boxX1};
    for (const TChoiceRow& row : FChoices) {
        const int c = row.Column;
        row.Label->setGeometry(labelX[c], row.Box->y(), boxX[c] - labelX[c] - 2, 24);
        row.Box->setGeometry(boxX[c], row.Box->y(), boxWidth[c], 24);
    }
    grpVideo->resize(groupWidth, grpVideo->height());
    grpAudio->resize(groupWidth, grpAudio->height());
    tbarVolume->resize(groupWidth - 8 - tbarVolume->x(), tbarVolume->height());
    const int width = groupWidth + 17;
    btnCancel->move(width - 8 - btnCancel->width(), grpAudio->geometry().bottom() + 8);
    btnOK->move(btnCancel->x() - 6 - btnOK->width(), btnCancel->y());
    setFixedSize(width, btnOK->geometry().bottom() + 9);
}

void TSettingForm::accept()
{
    TFormatRec format = IniOptions.GetFormat(FormatIndex);
    format.ResolutionValue = cbbResolution->currentIndex();
    format.FramerateValue = cbbFrameRate->currentIndex();
    format.VideoEncoderValue = cbbVideoEncoder->currentIndex();
    format.VideoBitRateValue = cbbVideoBitRate->currentIndex();
    format.SampleRateValue = cbbSampleRate->currentIndex();
    format.AudioBitrateValue = cbbAudioBitrate->currentIndex();
    format.AudioEncoderValue = cbbAudioEncoder->currentIndex();
    format.ChannelValue = cbbChannel->currentIndex();
    format.Volume = tbarVolume->value();
    IniOptions.SetFormat(FormatIndex, format);
    QDialog::accept();
}

void TSettingForm::ShowVolume(int position)
{
    lblVolume->setText(QString("Volume: %1%").arg(position * 100 / 256));
}

}  // namespace kv::app
