#pragma once
// The progress dialog of a batch: the batch observer on the screen. It starts the
// batch, shows the current file, the converted length, a bar for the file and one
// for the batch, the time left and the speed and, on request, the frames being
// encoded; with several files at once, one line per running file takes the place of
// the current file's. It pauses, resumes and cancels, and when the batch ends it
// tells the user (with a desktop notice too when they are in another window),
// optionally powers the computer off or opens the output folder, and closes.
#include <QDialog>
#include <QFrame>
#include <QImage>
#include <QLabel>

#include <functional>
#include <string>
#include <vector>

#include "workflow/BatchObserver.h"

class QCheckBox;
class QMovie;
class QProgressBar;
class QPushButton;

namespace kv::workflow {
class TZelConvert;
}

namespace kv::app {

// The panel the preview frames are painted into, stretched to its whole inside.
class TFramePanel : public QFrame {
public:
    explicit TFramePanel(QWidget* parent);
    void ShowFrame(const media::TBitmap& bitmap);
    void ClearFrame();
    bool HasFrame() const { return !FFrame.isNull(); }
    const QImage& Frame() const { return FFrame; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QImage FFrame;
};

// A label that shows a long text shortened in the middle; text() stays whole.
class TElidedLabel : public QLabel {
public:
    using QLabel::QLabel;

protected:
    void paintEvent(QPaintEvent* event) override;
};

class TConvertForm : public QDialog {
public:
    // `openOutput` opens the output folder (the main window's action).
    TConvertForm(workflow::TZelConvert& converter, std::function<void()> openOutput, QWidget* parent = nullptr);

    // Starts the batch of the queued tasks, `jobs` files at once, and shows the
    // dialog modally until the batch has ended and the user was told.
    void BeginBatch(int fileCount, const std::string& ext, int jobs = 1);
    // The starting steps of BeginBatch, without the modal display.
    void StartBatch(int fileCount, const std::string& ext, int jobs = 1);
    // True once the end of the batch was handled.
    bool Finished() const { return FFinished; }
    // The application is ending: cancels the batch without a question; its end
    // then tells nobody, powers nothing off and opens no folder.
    void EndWithoutAsking();
    // What the end of the batch tells the user: how it ended, how many files
    // converted, failed and were cancelled, and each failed file with its reason.
    QString SummaryText() const;

    TFramePanel* pnlPreview;
    QLabel* imgConverting;
    QCheckBox* chkPreview;
    QLabel* lblIndex;
    TElidedLabel* lblFileInfo;
    QProgressBar* pBarCur;
    QProgressBar* pBarAll;
    QLabel* lblInfoLength;
    // "Elapsed %s   Left about %s   Speed %.1fx" once the figures mean something.
    QLabel* lblSpeed;
    // With several files at once: one line per running file, in place of
    // lblFileInfo, pBarCur and lblInfoLength.
    struct TRunningLine {
        TElidedLabel* Name;
        QProgressBar* Bar;
    };
    std::vector<TRunningLine> RunningLines;
    QCheckBox* chkShutdown;
    QCheckBox* chkOpenOutput;
    QPushButton* btnPause;
    QPushButton* btnCancel;

    // Cancelled, RunState, FileCount, FrameBitmap, CurrentIndex of the batch.
    workflow::TBatchObserver Observer;

    // Escape asks whether to cancel, as Cancel does.
    void reject() override;

protected:
    bool event(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void PreviewClicked();
    void PauseClicked();
    void CancelClicked();
    void ShowRunState();
    void ShowProgress(const workflow::TBatchEvent& event);
    void ShowRunningFiles(const workflow::TBatchSnapshot& snapshot);
    void CreateRunningLines(int count);
    void PlaceControls();
    QString CountsText() const;
    void FinishBatch();

    workflow::TZelConvert& FConverter;
    std::function<void()> FOpenOutput;
    QMovie* FAnimation = nullptr;
    bool FAsking = false;       // the cancel question is open
    bool FDoneWaiting = false;  // the batch ended while it was
    bool FFinished = false;
    bool FEnding = false;       // the application ends: nothing is shown or done at the end
    std::vector<int> FLineTasks;  // the task each running line shows; -1 for none
};

}  // namespace kv::app
