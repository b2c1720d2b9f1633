#pragma once
// The edit dialog: plays one listed file in its own player, lets the user mark the
// section to convert while it plays, and choose the output's frame aspect. The
// caller stores MarkIn, MarkOut and the aspect choice when Execute returns true.
#include <QDialog>

#include <cstdint>
#include <memory>
#include <string>

#include "player/FFPlay.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSlider;
class QToolButton;

namespace kv::workflow {
class TInputFileList;
struct TInputFile;
}

namespace kv::app {

class TPlayerHostWidget;

class TEditForm : public QDialog {
public:
    explicit TEditForm(const workflow::TInputFileList& files, QWidget* parent = nullptr);
    ~TEditForm() override;

    // Plays entry `index`, shows its section and aspect, and runs the dialog; true on OK.
    bool Execute(int index);
    // Execute's steps before the dialog is shown (tests drive the dialog from here).
    void Prepare(int index);
    // Starts playing the file from its beginning; false when it cannot be opened.
    bool PlayFile();
    // False when the file reported no duration: the marks then mean nothing and
    // the caller keeps the file's section.
    bool SectionKnown() const;

    // Button and track bar actions.
    void PlayClicked();
    void StopClicked();
    void PlaySectionClicked();
    void MarkInClicked();
    void MarkOutClicked();
    void ResetClicked();
    void TrackPressed();
    void TrackReleased();
    // The thumb dragged to `ms`: the key frame there is shown.
    void TrackMoved(int ms);
    // One picture forward (1) or back (-1), paused.
    void StepClicked(int direction);
    // Start Time or End Time typed: the mark moves there.
    void StartTimeTyped();
    void EndTimeTyped();
    // The display aspect of the aspect choice `index` (0: the file's own).
    static float ChosenAspect(int index);
    // The track choices to store on OK: the sound track for outputs of one track
    // (-1 when the file has no choice of them), the subtitle track drawn into the
    // picture (-1 for none).
    int ChosenSoundTrack() const;
    int ChosenBurntSubtitle() const;

    std::int64_t MarkIn = 0;   // ms
    std::int64_t MarkOut = 0;  // ms
    std::int64_t MediaDuration = 0;  // microseconds
    double PixelsPerMs = 0;
    bool PlaySectionMode = false;
    player::TPlayState PlayerState = player::psEnd;

    TPlayerHostWidget* pnlEditPlay;
    QSlider* tbarEdit;
    QLabel* imgSelStart;
    QLabel* imgSelEnd;
    QLabel* lblStart;
    QLabel* lblEnd;
    QToolButton* btnPlay;
    QToolButton* btnStop;
    QToolButton* btnPlaySection;
    QToolButton* btnStart;
    QToolButton* btnEnd;
    QPushButton* btnResetTrim;
    QToolButton* btnPrevFrame;
    QToolButton* btnNextFrame;
    QLabel* lblPosition;  // position / duration
    QLabel* lblFrameAspectRatio;
    QComboBox* cbbFrameAspectRatio;
    QGroupBox* grpTrim;
    QLineEdit* edtStartTime;
    QLineEdit* edtEndTime;
    QLabel* lblSoundTrack;
    QComboBox* cbbSoundTrack;
    QCheckBox* chkBurnSubtitles;
    QComboBox* cbbSubtitleTrack;
    QPushButton* btnOK;
    QPushButton* btnCancel;
    std::unique_ptr<player::TFFPlayer> fplyrEdit;

protected:
    bool event(QEvent* event) override;

private:
    void AttachPlayer();
    void FileOpened(std::int64_t duration, int& screenWidth, int& screenHeight);
    void PositionReported(std::int64_t pts);
    void StateReported(player::TPlayState state);
    void SeekToTrack(std::int64_t ms);
    void EnableSection(bool on);
    int TrackX(std::int64_t ms) const;
    void PlaceStartMarker(std::int64_t ms);
    void PlaceEndMarkerAtEnd();
    void PlaceEndMarker(std::int64_t ms);
    void ShowPosition(std::int64_t ms);
    bool Playing() const;
    bool Stopped() const;
    void ShowFrameAt(std::int64_t ms);
    void ShowTrackChoices(const workflow::TInputFile& file);

    const workflow::TInputFileList& FFiles;
    int FIndex = -1;
    std::string FFileName;
    bool FResumeAfterDrag = false;
    bool FSectionEntered = false;  // Play Section has reported a position inside the section
    bool FOpenedPaused = false;  // opened to show a picture: its psPlay report is no playing
};

}  // namespace kv::app
