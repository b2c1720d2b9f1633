#include "app/HelpWindow.h"

#include <QFileInfo>
#include <QHBoxLayout>
#include <QTextBrowser>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>

#include "app/Shell.h"
#include "workflow/IniOptions.h"

namespace kv::app {

THelpWindow::THelpWindow(const QString& folder, QWidget* parent) : QWidget(parent, Qt::Window), FFolder(folder)
{
    setWindowTitle("Larkspire Kestravo Help");
    resize(760, 560);
    Browser = new QTextBrowser(this);
    // Links are followed here: pages of the folder in this window, web addresses in the browser.
    Browser->setOpenLinks(false);
    Browser->setSearchPaths({folder});
    btnBack = new QToolButton(this);
    btnBack->setText("Back");
    btnBack->setShortcut(QKeySequence::Back);
    btnForward = new QToolButton(this);
    btnForward->setText("Forward");
    btnForward->setShortcut(QKeySequence::Forward);
    btnContents = new QToolButton(this);
    btnContents->setText("Contents");
    btnBack->setEnabled(false);
    btnForward->setEnabled(false);

    auto* bar = new QHBoxLayout;
    bar->addWidget(btnContents);
    bar->addWidget(btnBack);
    bar->addWidget(btnForward);
    bar->addStretch();
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(bar);
    layout->addWidget(Browser);

    connect(btnBack, &QToolButton::clicked, Browser, &QTextBrowser::backward);
    connect(btnForward, &QToolButton::clicked, Browser, &QTextBrowser::forward);
    connect(btnContents, &QToolButton::clicked, this, [this] { ShowPage(); });
    connect(Browser, &QTextBrowser::backwardAvailable, btnBack, &QToolButton::setEnabled);
    connect(Browser, &QTextBrowser::forwardAvailable, btnForward, &QToolButton::setEnabled);
    connect(Browser, &QTextBrowser::anchorClicked, this, &THelpWindow::Follow);
}

QString THelpWindow::HelpFolder()
{
    return QString::fromStdString(workflow::ExeFolder()) + "help";
}

void THelpWindow::ShowPage(const QString& page)
{
    const QString path = FFolder + "/" + page;
    if (QFileInfo::exists(path)) {
        Browser->setSource(QUrl::fromLocalFile(path));
    } else {
        Browser->setHtml("<h2>Help is not available</h2><p>The help pages were not found in <tt>" +
                         FFolder.toHtmlEscaped() + "</tt>. Installing Larkspire Kestravo again brings them back.</p>");
    }
    show();
    raise();
    activateWindow();
}

void THelpWindow::Follow(const QUrl& url)
{
    if (url.scheme() == "http" || url.scheme() == "https" || url.scheme() == "mailto") {
        Shell().OpenUrl(url.toString());
        return;
    }
    if (url.isRelative() && url.path().isEmpty()) {
        Browser->scrollToAnchor(url.fragment());
        return;
    }
    Browser->setSource(Browser->source().resolved(url));
}

}  // namespace kv::app
