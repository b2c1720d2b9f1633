#include "app/AboutFrm.h"

#include <QEnterEvent>
#include <QFrame>
#include <QMouseEvent>
#include <QToolButton>

#include "app/Pictures.h"
#include "app/Shell.h"

#ifndef KV_VERSION
#define KV_VERSION ""
#endif

namespace kv::app {

TLinkLabel::TLinkLabel(const QString& text, const QString& address, QWidget* parent)
    : QLabel(text, parent), Address(address)
{
    setCursor(Qt::PointingHandCursor);
    setToolTip(address);
}

void TLinkLabel::SetUnderline(bool on)
{
    QFont f = font();
    f.setUnderline(on);
    setFont(f);
}

void TLinkLabel::enterEvent(QEnterEvent* event)
{
    SetUnderline(true);
    QLabel::enterEvent(event);
}

void TLinkLabel::leaveEvent(QEvent* event)
{
    SetUnderline(false);
    QLabel::leaveEvent(event);
}

void TLinkLabel::mousePressEvent(QMouseEvent* event)
{
    // Taken here, so that the click does not reach the panel, which closes the dialog.
    event->accept();
}

void TLinkLabel::mouseReleaseEvent(QMouseEvent* event)
{
    event->accept();
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) Shell().OpenUrl(Address);
}

namespace {

QLabel* LinkIcon(const QString& picture, int x, int y, QWidget* parent)
{
    auto* icon = new QLabel(parent);
    icon->setGeometry(x, y, 24, 24);
    icon->setPixmap(LoadPicture(picture));
    return icon;
}

}  // namespace

TAboutBox::TAboutBox(QWidget* parent) : QDialog(parent, Qt::Dialog | Qt::FramelessWindowHint)
{
    setWindowTitle("About Larkspire Kestravo");
    setFixedSize(462, 315);
    setAutoFillBackground(true);
    QPalette white = palette();
    white.setColor(QPalette::Window, Qt::white);
    white.setColor(QPalette::WindowText, QColor(0x1d, 0x35, 0x57));
    setPalette(white);

    pnlClient = new QFrame(this);
    pnlClient->setGeometry(0, 0, 462, 315);
    // A frameless white window on a white desktop needs an edge of its own.
    pnlClient->setFrameShape(QFrame::Box);
    pnlClient->setStyleSheet("QFrame#pnlClient { border: 1px solid #94a3b8; }");
    pnlClient->setObjectName("pnlClient");
    pnlClient->installEventFilter(this);

    imgTop = new QLabel(pnlClient);
    imgTop->setGeometry(1, 1, 460, 120);
    const QPixmap banner = LoadPicture("AboutImage.png");
    if (!banner.isNull()) imgTop->setPixmap(banner);
    imgTop->installEventFilter(this);

    lblVersion = new QLabel(pnlClient);
    lblVersion->setGeometry(24, 134, 420, 20);
    lblVersion->setText(QString("Product Version: %1").arg(VersionText(KV_VERSION)));
    QFont bold = lblVersion->font();
    bold.setBold(true);
    lblVersion->setFont(bold);

    lblInfo = new QLabel(pnlClient);
    lblInfo->setGeometry(24, 158, 420, 54);
    lblInfo->setWordWrap(false);
    // What it is built on, under which licences; the libraries are the system's own.
    lblInfo->setText("Built on the FFmpeg libraries (LGPL 2.1 or later; GPL 2 or later as\n"
                     "Debian builds them), Qt 6 (LGPL 3) and SDL 1.2 (LGPL 2.1).\n"
                     "It comes without any warranty.");

    LinkIcon("Web.png", 24, 220, pnlClient);
    lbProductlHome = new TLinkLabel("Visit the page of this product.", ProductPageAddress, pnlClient);
    lbProductlHome->setGeometry(54, 222, 300, 20);
    LinkIcon("Home.png", 24, 250, pnlClient);
    lblHomePage = new TLinkLabel("Visit the home page of Larkspire.", HomePageAddress, pnlClient);
    lblHomePage->setGeometry(54, 252, 300, 20);
    QPalette link = lbProductlHome->palette();
    link.setColor(QPalette::WindowText, QColor(0x2a, 0x7d, 0x8f));
    lbProductlHome->setPalette(link);
    lblHomePage->setPalette(link);

    lblCopyright = new QLabel(pnlClient);
    lblCopyright->setGeometry(24, 288, 380, 18);
    lblCopyright->setText(QString::fromUtf8("Copyright \u00a9 Larkspire"));
    QPalette grey = lblCopyright->palette();
    grey.setColor(QPalette::WindowText, QColor(0x64, 0x74, 0x8b));
    lblCopyright->setPalette(grey);

    btnClose = new QToolButton(pnlClient);
    btnClose->setGeometry(462 - 24 - 10, 315 - 24 - 8, 24, 24);
    btnClose->setAutoRaise(true);
    btnClose->setIcon(PictureIcon("Close.png"));
    btnClose->setIconSize(QSize(24, 24));
    btnClose->setToolTip("Close");
    btnClose->setText("Close");
    connect(btnClose, &QToolButton::clicked, this, &QDialog::reject);
}

QString TAboutBox::VersionText(const QString& version)
{
    const QStringList parts = version.split('.', Qt::SkipEmptyParts);
    if (parts.isEmpty()) return QString();
    return parts.mid(0, 3).join('.');
}

bool TAboutBox::eventFilter(QObject* watched, QEvent* event)
{
    if ((watched == pnlClient || watched == imgTop) && event->type() == QEvent::MouseButtonRelease) {
        accept();
        return true;
    }
    return QDialog::eventFilter(watched, event);
}

}  // namespace kv::app
