#pragma once
// The progress dialog of a batch: the batch observer on the screen. It starts the
// batch, shows the current file, the converted length, a bar for the file and one
// for the batch and, on request, the frames being encoded; it pauses, resumes and
// cancels, and when the batch ends it tells the user, optionally powers the
// computer off or opens the output folder, and closes.
#include <QDialog>
#include <QFrame>
#include <QImage>
#include <QLabel>

#include <functional>
#include <string>

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

    // Starts the batch of the queued tasks and shows the dialog modally until the
    // batch has ended and the user was told.
    void BeginBatch(int fileCount, const std::string& ext);
    // The starting steps of BeginBatch, without the modal display.
    void StartBatch(int fileCount, const std::string& ext);
    // True once the end of the batch was handled.
    bool Finished() const { return FFinished; }

    TFramePanel* pnlPreview;
    QLabel* imgConverting;
    QCheckBox* chkPreview;
    QLabel* lblIndex;
    TElidedLabel* lblFileInfo;
    QProgressBar* pBarCur;
    QProgressBar* pBarAll;
    QLabel* lblInfoLength;
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
    void FinishBatch();

    workflow::TZelConvert& FConverter;
    std::function<void()> FOpenOutput;
    QMovie* FAnimation = nullptr;
    bool FAsking = false;       // the cancel question is open
    bool FDoneWaiting = false;  // the batch ended while it was
    bool FFinished = false;
};

}  // namespace kv::app
