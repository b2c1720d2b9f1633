#include "app/ConvertFrm.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFileInfo>
#include <QMovie>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>

#include <algorithm>
#include <cstring>
#include <initializer_list>

#include "app/Pictures.h"
#include "app/Prompter.h"
#include "app/Shell.h"
#include "workflow/ZelConvert.h"

namespace kv::app {

using workflow::TBatchEvent;

namespace {

QProgressBar* NewBar(QWidget* parent)
{
    auto* bar = new QProgressBar(parent);
    bar->setRange(0, 100);
    bar->setValue(0);
    bar->setTextVisible(false);
    return bar;
}

}  // namespace

TFramePanel::TFramePanel(QWidget* parent) : QFrame(parent)
{
    setFrameStyle(QFrame::Panel | QFrame::Sunken);
    setLineWidth(2);
}

void TFramePanel::ShowFrame(const media::TBitmap& bitmap)
{
    if (bitmap.Width() <= 0 || bitmap.Height() <= 0) return;
    // The picture is kept between frames; only a new size allocates.
    if (FFrame.width() != bitmap.Width() || FFrame.height() != bitmap.Height())
        FFrame = QImage(bitmap.Width(), bitmap.Height(), QImage::Format_BGR888);
    const std::size_t row = static_cast<std::size_t>(bitmap.Width()) * 3;
    for (int y = 0; y < bitmap.Height(); ++y) std::memcpy(FFrame.scanLine(y), bitmap.ScanLine(y), row);
    update();
}

void TFramePanel::ClearFrame()
{
    FFrame = QImage();
    update();
}

void TFramePanel::paintEvent(QPaintEvent* event)
{
    if (!FFrame.isNull()) {
        QPainter painter(this);
        // Stretched to the whole panel, as the encoder's picture is.
        painter.drawImage(contentsRect(), FFrame);
    }
    QFrame::paintEvent(event);
}

void TElidedLabel::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    const QRect area = contentsRect();
    painter.drawText(area, static_cast<int>(alignment()), fontMetrics().elidedText(text(), Qt::ElideMiddle, area.width()));
}

TConvertForm::TConvertForm(workflow::TZelConvert& converter, std::function<void()> openOutput, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowStaysOnTopHint),
      Observer(converter, this), FConverter(converter), FOpenOutput(std::move(openOutput))
{
    setWindowTitle("Converting");
    const int left = 19, width = 390;

    pnlPreview = new TFramePanel(this);
    pnlPreview->setGeometry(left, 10, width, 240);
    imgConverting = new QLabel(pnlPreview);
    const QString animation = PictureFolder() + "Converting.gif";
    if (QFileInfo::exists(animation)) {
        FAnimation = new QMovie(animation, QByteArray(), this);
        imgConverting->setMovie(FAnimation);
        FAnimation->jumpToFrame(0);
        const QSize size = FAnimation->currentImage().size();
        // Sized to its picture, in the middle of the panel.
        imgConverting->setGeometry((width - size.width()) / 2, (240 - size.height()) / 2, size.width(), size.height());
        FAnimation->start();
    } else {
        imgConverting->setGeometry(2, 2, 0, 0);
    }

    chkPreview = new QCheckBox("Preview", this);
    chkPreview->setGeometry(left, 255, 200, 22);
    lblIndex = new QLabel(this);
    lblFileInfo = new TElidedLabel(this);
    pBarCur = NewBar(this);
    pBarAll = NewBar(this);
    lblInfoLength = new QLabel(this);
    lblSpeed = new QLabel(this);
    chkShutdown = new QCheckBox("Shut down the computer when the conversion is completed", this);
    chkOpenOutput = new QCheckBox("Open the output folder when the conversion is completed", this);
    btnPause = new QPushButton("&Pause", this);
    btnCancel = new QPushButton("&Cancel", this);
    btnPause->setAutoDefault(false);
    btnCancel->setAutoDefault(false);
    PlaceControls();

    connect(chkPreview, &QCheckBox::clicked, this, &TConvertForm::PreviewClicked);
    connect(btnPause, &QPushButton::clicked, this, &TConvertForm::PauseClicked);
    connect(btnCancel, &QPushButton::clicked, this, &TConvertForm::CancelClicked);
}

// The controls below the preview, top to bottom; the dialog's height follows them.
void TConvertForm::PlaceControls()
{
    const int left = 19, width = 390, nameWidth = 200, gap = 6;
    int y = 279;
    const auto place = [&](QWidget* control, int height, int step) {
        control->setGeometry(left, y, width, height);
        y += step;
    };
    place(lblIndex, 18, 19);
    for (QWidget* single : std::initializer_list<QWidget*>{lblFileInfo, pBarCur, lblInfoLength})
        single->setVisible(RunningLines.empty());
    if (RunningLines.empty()) {
        place(lblFileInfo, 18, 22);
        place(pBarCur, 16, 20);
        place(pBarAll, 16, 19);
        place(lblInfoLength, 18, 19);
    } else {
        for (const TRunningLine& line : RunningLines) {
            line.Name->setGeometry(left, y, nameWidth, 18);
            line.Bar->setGeometry(left + nameWidth + gap, y + 2, width - nameWidth - gap, 14);
            y += 20;
        }
        y += 2;
        place(pBarAll, 16, 19);
    }
    place(lblSpeed, 18, 21);
    place(chkShutdown, 21, 21);
    place(chkOpenOutput, 21, 23);
    btnPause->setGeometry(left + width - 2 * 88 - 6, y, 88, 26);
    btnCancel->setGeometry(left + width - 88, y, 88, 26);
    setFixedSize(428, y + 30);
}

void TConvertForm::CreateRunningLines(int count)
{
    for (const TRunningLine& line : RunningLines) {
        delete line.Name;
        delete line.Bar;
    }
    RunningLines.clear();
    FLineTasks.assign(static_cast<std::size_t>(count), -1);
    for (int i = 0; i < count; ++i) {
        TRunningLine line{new TElidedLabel(this), NewBar(this)};
        line.Name->hide();
        line.Bar->hide();
        RunningLines.push_back(line);
    }
    PlaceControls();
}

void TConvertForm::StartBatch(int fileCount, const std::string& ext, int jobs)
{
    const bool preview = workflow::TBatchObserver::PreviewAvailable(ext);
    chkPreview->setEnabled(preview);
    chkPreview->setChecked(preview);
    PreviewClicked();
    pBarCur->setValue(0);
    pBarAll->setValue(0);
    lblSpeed->clear();
    // One file at a time keeps the single current-file line.
    const int lines = std::min(jobs, FConverter.TaskCount());
    CreateRunningLines(lines > 1 ? lines : 0);
    Observer.BeginBatch(fileCount, ext, jobs, chkPreview->isChecked());
}

void TConvertForm::BeginBatch(int fileCount, const std::string& ext, int jobs)
{
    StartBatch(fileCount, ext, jobs);
    if (!FFinished) exec();
}

void TConvertForm::PreviewClicked()
{
    const bool on = chkPreview->isChecked();
    FConverter.Engine.SetPreviewBitmap(on);
    imgConverting->setVisible(!on);
    // The last frame would stand still while the animation is shown.
    if (!on) pnlPreview->ClearFrame();
    pnlPreview->update();
}

void TConvertForm::ShowRunState()
{
    const bool paused = Observer.RunState == workflow::rsPaused;
    btnPause->setText(paused ? "&Resume" : "&Pause");
    setWindowTitle(paused ? "Converting (Paused)" : "Converting");
    update();
}

void TConvertForm::PauseClicked()
{
    Observer.TogglePause();
    ShowRunState();
}

void TConvertForm::CancelClicked()
{
    if (FFinished || FAsking) return;
    FAsking = true;
    Observer.CancelBatch([this] {
        const bool yes = Ask(this, "Do you want to cancel the conversion?");
        // A batch that ended during the question has nothing left to cancel.
        return yes && !FDoneWaiting;
    });
    FAsking = false;
    ShowRunState();
    if (FDoneWaiting) {
        FDoneWaiting = false;
        FinishBatch();
    }
}

void TConvertForm::reject()
{
    CancelClicked();
}

void TConvertForm::closeEvent(QCloseEvent* event)
{
    // The window manager's close means cancel, never leaving a batch without its dialog.
    if (FFinished) {
        QDialog::closeEvent(event);
        return;
    }
    event->ignore();
    CancelClicked();
}

bool TConvertForm::event(QEvent* event)
{
    if (event->type() == workflow::WM_BATCH_PROGRESS) {
        ShowProgress(static_cast<const TBatchEvent&>(*event));
        return true;
    }
    if (event->type() == workflow::WM_PREVIEW_FRAME) {
        if (chkPreview->isChecked()) pnlPreview->ShowFrame(Observer.FrameBitmap);
        return true;
    }
    if (event->type() == workflow::WM_BATCH_DONE) {
        if (FAsking)
            FDoneWaiting = true;
        else
            FinishBatch();
        return true;
    }
    return QDialog::event(event);
}

void TConvertForm::ShowProgress(const TBatchEvent& event)
{
    if (FFinished) return;
    const workflow::TBatchProgress p = Observer.Progress(event);
    lblIndex->setText(QString("Current: %1 / Total: %2").arg(p.Position).arg(p.Total));
    const workflow::TBatchSnapshot snapshot = Observer.Snapshot();
    lblSpeed->setText(QString::fromStdString(snapshot.SpeedText()));
    if (!RunningLines.empty()) {
        ShowRunningFiles(snapshot);
        pBarAll->setValue(p.BatchPercent);
        return;
    }
    if (event.FileIndex >= 0 && event.FileIndex < FConverter.Files.Count())
        lblFileInfo->setText(QString::fromStdString(FConverter.Files.Items(event.FileIndex).OutputOptions.FileName));
    lblInfoLength->setText(QString("Converted length of the current file: %1 / %2")
                               .arg(QString::fromStdString(workflow::TimeText(p.ConvertedSec)),
                                    QString::fromStdString(workflow::TimeText(p.TotalSec))));
    if (p.FilePercent >= 0) {
        pBarCur->setValue(p.FilePercent);
        pBarAll->setValue(p.BatchPercent);
    }
}

// A file keeps its line while it runs; a file that starts takes a line left free.
void TConvertForm::ShowRunningFiles(const workflow::TBatchSnapshot& snapshot)
{
    const auto runningEntry = [&](int task) -> const workflow::TRunningFile* {
        for (const workflow::TRunningFile& r : snapshot.Running)
            if (r.TaskIndex == task) return &r;
        return nullptr;
    };
    for (int& task : FLineTasks)
        if (!runningEntry(task)) task = -1;
    for (const workflow::TRunningFile& r : snapshot.Running) {
        if (std::find(FLineTasks.begin(), FLineTasks.end(), r.TaskIndex) != FLineTasks.end()) continue;
        const auto free = std::find(FLineTasks.begin(), FLineTasks.end(), -1);
        if (free != FLineTasks.end()) *free = r.TaskIndex;
    }
    for (std::size_t i = 0; i < RunningLines.size(); ++i) {
        const TRunningLine& line = RunningLines[i];
        const workflow::TRunningFile* r = runningEntry(FLineTasks[i]);
        line.Name->setVisible(r != nullptr);
        line.Bar->setVisible(r != nullptr);
        if (!r) continue;
        const QString path = r->FileIndex >= 0 && r->FileIndex < FConverter.Files.Count()
                                 ? QString::fromStdString(FConverter.Files.Items(r->FileIndex).OutputOptions.FileName)
                                 : QString();
        line.Name->setText(QFileInfo(path).fileName());
        line.Name->setToolTip(path);
        line.Bar->setValue(r->Percent);
    }
}

namespace {

// The files of the batch that did not convert: failed ones, and those that never got
// a task or never started (each with a reason).
bool NotConverted(const workflow::TInputFile& file)
{
    return file.Status == workflow::foFailed || (file.Status == workflow::foNotConverted && !file.Reason.empty());
}

}  // namespace

// How the files of the list came out, from their outcomes, before the task list is
// emptied.
QString TConvertForm::CountsText() const
{
    int converted = 0, failed = 0, cancelled = 0;
    for (int i = 0; i < FConverter.Files.Count(); ++i) {
        const workflow::TInputFile& file = FConverter.Files.Items(i);
        converted += file.Status == workflow::foSucceeded ? 1 : 0;
        failed += NotConverted(file) ? 1 : 0;
        cancelled += file.Status == workflow::foCancelled ? 1 : 0;
    }
    return QString("Converted: %1, failed: %2, cancelled: %3.").arg(converted).arg(failed).arg(cancelled);
}

QString TConvertForm::SummaryText() const
{
    QString text = Observer.Cancelled ? "The conversion was cancelled." : "Conversion completed.";
    text += "\n" + CountsText();
    const int shown = 20;
    int failures = 0;
    for (int i = 0; i < FConverter.Files.Count(); ++i) {
        const workflow::TInputFile& file = FConverter.Files.Items(i);
        if (!NotConverted(file)) continue;
        if (++failures > shown) continue;
        if (failures == 1) text += "\n\nNot converted:";
        const std::string why = file.Reason.empty() ? "the conversion failed" : file.Reason;
        text += "\n" + QFileInfo(QString::fromStdString(file.FileName)).fileName() + ": " + QString::fromStdString(why);
    }
    if (failures > shown) text += QString("\n... and %1 more.").arg(failures - shown);
    return text;
}

void TConvertForm::EndWithoutAsking()
{
    if (FFinished) return;
    FEnding = true;
    // Also while the cancel question is open: the batch stops now, the question's
    // answer then finds nothing left to cancel.
    Observer.CancelBatch([] { return true; });
    if (!FAsking) ShowRunState();
}

void TConvertForm::FinishBatch()
{
    if (FFinished) return;
    FFinished = true;
    // Asked before the dialog goes: hiding it hands the focus on.
    const bool away = QApplication::activeWindow() == nullptr;
    const bool cancelled = Observer.Cancelled;
    // The last reports come before the last files end: a batch that ran through
    // shows every file counted in full.
    if (!RunningLines.empty() && !cancelled) {
        const workflow::TBatchSnapshot snapshot = Observer.Snapshot();
        ShowRunningFiles(snapshot);
        pBarAll->setValue(snapshot.Percent);
    }
    hide();
    const QString text = SummaryText();
    Observer.FinishBatch();
    if (FEnding) {
        if (FAnimation) FAnimation->stop();
        done(QDialog::Rejected);
        return;
    }
    if (away) Shell().Notify(text.section('\n', 0, 0), CountsText());
    const bool anyFailed = text.contains("\n\nNot converted:");
    if (cancelled || !chkShutdown->isChecked())
        Prompter().Message(this, anyFailed ? QMessageBox::Warning : QMessageBox::Information, text);
    if (!cancelled) {
        if (chkShutdown->isChecked()) Shell().PowerOff();
        if (chkOpenOutput->isChecked() && FOpenOutput) FOpenOutput();
    }
    if (FAnimation) FAnimation->stop();
    done(QDialog::Accepted);
}

}  // namespace kv::app
