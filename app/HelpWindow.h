#pragma once
// The help window: our own HTML pages from the help folder beside the executable,
// in a text browser with back, forward and contents.
#include <QString>
#include <QWidget>

class QTextBrowser;
class QToolButton;

namespace kv::app {

class THelpWindow : public QWidget {
public:
    explicit THelpWindow(const QString& folder = HelpFolder(), QWidget* parent = nullptr);

    // Shows `page` of the help folder and brings the window up.
    void ShowPage(const QString& page = StartPage);

    // "help" beside the executable.
    static QString HelpFolder();
    static constexpr const char* StartPage = "welcome.html";

    QTextBrowser* Browser;
    QToolButton* btnBack;
    QToolButton* btnForward;
    QToolButton* btnContents;

private:
    void Follow(const QUrl& url);
    QString FFolder;
};

}  // namespace kv::app
