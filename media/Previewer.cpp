#include "media/Previewer.h"

#include <QApplication>
#include <QCloseEvent>
#include <QImage>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QWidget>
#include <QWindow>
#include <functional>

#include "platform/UiThread.h"

namespace kv::media {

// A tool window that keeps what was drawn on it: each frame is painted onto the
// canvas at 0, 0, so larger frames are cut at the edge and smaller ones leave the
// rest of the previous frame visible.
class TPreviewWindow : public QWidget {
public:
    TPreviewWindow(QSize clientSize, std::function<void()> onClose)
        : QWidget(nullptr, Qt::Tool | Qt::WindowStaysOnTopHint | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                               Qt::WindowCloseButtonHint),
          canvas_(clientSize, QImage::Format_RGB32), onClose_(std::move(onClose))
    {
        // Closing the preview must never end the application.
        setAttribute(Qt::WA_QuitOnClose, false);
        canvas_.fill(Qt::black);
        setFixedSize(clientSize);
        if (QScreen* screen = QGuiApplication::primaryScreen()) {
            const QRect area = screen->availableGeometry();
            move(area.center() - QPoint(clientSize.width() / 2, clientSize.height() / 2));
        }
    }

    void DrawFrame(const TBitmap& bitmap)
    {
        const QImage frame(bitmap.Bits(), bitmap.Width(), bitmap.Height(), bitmap.Stride(), QImage::Format_BGR888);
        {
            QPainter painter(&canvas_);
            painter.drawImage(0, 0, frame);
        }
        repaint();
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.drawImage(0, 0, canvas_);
    }

    void closeEvent(QCloseEvent* event) override
    {
        onClose_();
        event->accept();
    }

    // Dragged by any point of its picture, as by its caption.
    void mousePressEvent(QMouseEvent* event) override
    {
        if (event->button() != Qt::LeftButton) return QWidget::mousePressEvent(event);
        event->accept();
        if (windowHandle() && windowHandle()->startSystemMove()) return;
        // The window system leaves the move to us.
        dragging_ = true;
        dragOffset_ = event->globalPosition().toPoint() - pos();
    }

    void mouseMoveEvent(QMouseEvent* event) override
    {
        if (!dragging_ || !(event->buttons() & Qt::LeftButton)) return QWidget::mouseMoveEvent(event);
        event->accept();
        move(event->globalPosition().toPoint() - dragOffset_);
    }

    void mouseReleaseEvent(QMouseEvent* event) override
    {
        if (event->button() == Qt::LeftButton) dragging_ = false;
        QWidget::mouseReleaseEvent(event);
    }

private:
    QImage canvas_;
    std::function<void()> onClose_;
    bool dragging_ = false;
    QPoint dragOffset_;
};

TPreviewer::TPreviewer() = default;

TPreviewer::~TPreviewer()
{
    // The window exists only after a display step this thread waited for.
    if (window_) platform::RunOnUiThreadAndWait([this] { CleanUp(); });
}

QWidget* TPreviewer::Window() const
{
    return window_;
}

bool TPreviewer::Preview(const TBitmap& bitmap, int frameNumber, std::int64_t pts)
{
    if (closed_) return false;
    // Without a widget application there is nowhere to show frames.
    if (!qobject_cast<QApplication*>(QCoreApplication::instance())) {
        closed_ = true;
        return false;
    }
    bitmap_ = &bitmap;
    frameNumber_ = frameNumber;
    pts_ = pts;
    platform::RunOnUiThreadAndWait([this] { DisplayStep(); });
    bitmap_ = nullptr;
    return !closed_;
}

void TPreviewer::DisplayStep()
{
    if (closed_ || !bitmap_) return;
    if (!window_) {
        window_ = new TPreviewWindow(QSize(bitmap_->Width(), bitmap_->Height()), [this] { closed_ = true; });
        window_->show();
    }
    window_->setWindowTitle(QString::fromStdString(FormatPTS(pts_)));
    window_->DrawFrame(*bitmap_);
}

void TPreviewer::CleanUp()
{
    delete window_;
    window_ = nullptr;
}

void InstallFramePreviewer()
{
    SetFramePreviewFactory([]() -> std::unique_ptr<TFramePreview> { return std::make_unique<TPreviewer>(); });
}

}  // namespace kv::media
