#include "app/ConvertFrm.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QFileInfo>
#include <QMovie>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>

#include <cstring>

#include "app/Pictures.h"
#include "app/Prompter.h"
#include "app/Shell.h"
#include "workflow/ZelConvert.h"

namespace kv::app {

using workflow::TBatchEvent;

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
    setFixedSize(428, 454);
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
    lblIndex->setGeometry(left, 279, width, 18);
    lblFileInfo = new TElidedLabel(this);
    lblFileInfo->setGeometry(left, 298, width, 18);
    pBarCur = new QProgressBar(this);
    pBarCur->setGeometry(left, 320, width, 16);
    pBarAll = new QProgressBar(this);
    pBarAll->setGeometry(left, 340, width, 16);
    for (QProgressBar* bar : {pBarCur, pBarAll}) {
        bar->setRange(0, 100);
        bar->setValue(0);
        bar->setTextVisible(false);
    }
    lblInfoLength = new QLabel(this);
    lblInfoLength->setGeometry(left, 359, width, 18);
    chkShutdown = new QCheckBox("Shut down computer when conversion completed.", this);
    chkShutdown->setGeometry(left, 380, width, 22);
    chkOpenOutput = new QCheckBox("Open output folder when conversion completed.", this);
    chkOpenOutput->setGeometry(left, 401, width, 22);
    btnPause = new QPushButton("&Pause", this);
    btnPause->setGeometry(left + width - 2 * 88 - 6, 424, 88, 26);
    btnCancel = new QPushButton("&Cancel", this);
    btnCancel->setGeometry(left + width - 88, 424, 88, 26);
    btnPause->setAutoDefault(false);
    btnCancel->setAutoDefault(false);

    connect(chkPreview, &QCheckBox::clicked, this, &TConvertForm::PreviewClicked);
    connect(btnPause, &QPushButton::clicked, this, &TConvertForm::PauseClicked);
    connect(btnCancel, &QPushButton::clicked, this, &TConvertForm::CancelClicked);
}

void TConvertForm::StartBatch(int fileCount, const std::string& ext)
{
    const bool preview = workflow::TBatchObserver::PreviewAvailable(ext);
    chkPreview->setEnabled(preview);
    chkPreview->setChecked(preview);
    PreviewClicked();
    pBarCur->setValue(0);
    pBarAll->setValue(0);
    Observer.BeginBatch(fileCount, ext, 1, chkPreview->isChecked());
}

void TConvertForm::BeginBatch(int fileCount, const std::string& ext)
{
    StartBatch(fileCount, ext);
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
    setWindowTitle(paused ? "Converting(Pause)" : "Converting");
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
    lblIndex->setText(QString("Current:%1 / Total:%2").arg(p.Position).arg(p.Total));
    if (event.FileIndex >= 0 && event.FileIndex < FConverter.Files.Count())
        lblFileInfo->setText(QString::fromStdString(FConverter.Files.Items(event.FileIndex).OutputOptions.FileName));
    lblInfoLength->setText(QString("Converted Length of Current file: %1 / %2")
                               .arg(QString::fromStdString(workflow::TimeText(p.ConvertedSec)),
                                    QString::fromStdString(workflow::TimeText(p.TotalSec))));
    if (p.FilePercent >= 0) {
        pBarCur->setValue(p.FilePercent);
        pBarAll->setValue(p.BatchPercent);
    }
}

void TConvertForm::FinishBatch()
{
    if (FFinished) return;
    FFinished = true;
    hide();
    Observer.FinishBatch();
    const bool cancelled = Observer.Cancelled;
    if (cancelled || !chkShutdown->isChecked())
        Prompter().Message(this, QMessageBox::Information,
                           cancelled ? "You have cancel current conversion." : "Convert Completed.");
    if (!cancelled) {
        if (chkShutdown->isChecked()) Shell().PowerOff();
        if (chkOpenOutput->isChecked() && FOpenOutput) FOpenOutput();
    }
    if (FAnimation) FAnimation->stop();
    done(QDialog::Accepted);
}

}  // namespace kv::app
