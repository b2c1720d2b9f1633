#pragma once
// The format settings dialog: one entry of each choice list of a profile and its
// volume. It edits the profiles in memory; they reach the settings file at exit.
#include <QDialog>

#include <vector>

class QComboBox;
class QGroupBox;
class QLabel;
class QPushButton;
class QSlider;

namespace kv::app {

class TSettingForm : public QDialog {
public:
    explicit TSettingForm(QWidget* parent = nullptr);

    // Fills the dialog from profile `index` and shows it modally; OK stores the choices.
    int ShowFor(int index);
    // The filling step of ShowFor alone.
    void Fill(int index);

    int FormatIndex = -1;

    QGroupBox* grpVideo;
    QLabel* lblResolution;
    QComboBox* cbbResolution;
    QLabel* lblFrameRate;
    QComboBox* cbbFrameRate;
    QLabel* lblVideoEncoder;
    QComboBox* cbbVideoEncoder;
    QLabel* lblVideoBitRate;
    QComboBox* cbbVideoBitRate;
    QGroupBox* grpAudio;
    QLabel* lblSampleRate;
    QComboBox* cbbSampleRate;
    QLabel* lblChannel;
    QComboBox* cbbChannel;
    QLabel* lblAudioEncoder;
    QComboBox* cbbAudioEncoder;
    QLabel* lblAudioBitrate;
    QComboBox* cbbAudioBitrate;
    QLabel* lblVolume;
    QSlider* tbarVolume;
    QPushButton* btnOK;
    QPushButton* btnCancel;

    void accept() override;

private:
    void ShowVolume(int position);
    // Widens the columns and the dialog so that no shown label or entry is cut.
    void FitColumns();

    struct TChoiceRow {
        QLabel* Label;
        QComboBox* Box;
        int Column;
    };
    std::vector<TChoiceRow> FChoices;
};

}  // namespace kv::app
