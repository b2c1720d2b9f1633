#pragma once
// Stand-ins for the user's answers and for the desktop, for the tests of the
// windows: message boxes are recorded and answered at once, choosers return what the
// test set, and folders, web pages, power-off and notices are only recorded.
#include <QMessageBox>
#include <QString>
#include <QStringList>

#include <deque>
#include <functional>
#include <ostream>
#include <vector>

#include "app/Prompter.h"
#include "app/Shell.h"

// Readable texts in the tests' failure messages.
inline void PrintTo(const QString& text, std::ostream* os)
{
    *os << '"' << text.toStdString() << '"';
}

namespace kvtest {

struct TRecordedMessage {
    QWidget* Owner;
    QMessageBox::Icon Icon;
    QString Text;
};

class TRecordingPrompter : public kv::app::TPrompter {
public:
    std::vector<TRecordedMessage> Messages;
    // Answers to questions in turn; Yes once they run out. Messages are answered Ok.
    std::deque<QMessageBox::StandardButton> Answers;
    // Runs while a question is open, before it is answered.
    std::function<void()> DuringQuestion;
    QStringList Files;
    QString Folder;

    QMessageBox::StandardButton Message(QWidget* owner, QMessageBox::Icon icon, const QString& text,
                                        QMessageBox::StandardButtons buttons) override
    {
        Messages.push_back({owner, icon, text});
        if (!(buttons & QMessageBox::Yes)) return QMessageBox::Ok;
        if (DuringQuestion) DuringQuestion();
        if (Answers.empty()) return QMessageBox::Yes;
        const QMessageBox::StandardButton answer = Answers.front();
        Answers.pop_front();
        return answer;
    }
    // What the last chooser was opened with.
    QStringList FileFilters;
    QString ChooserStart;
    QStringList ChooseFiles(QWidget*, const QStringList& filters, const QString& start) override
    {
        FileFilters = filters;
        ChooserStart = start;
        return Files;
    }
    QString ChooseFolder(QWidget*, const QString&, const QString& start) override
    {
        ChooserStart = start;
        return Folder;
    }

    QStringList Texts() const
    {
        QStringList texts;
        for (const TRecordedMessage& m : Messages) texts << m.Text;
        return texts;
    }
};

class TRecordingShell : public kv::app::TShell {
public:
    QStringList Folders;
    QStringList Urls;
    int PowerOffs = 0;
    QStringList Notices;  // summary and body, one line each
    bool HasFileManager = true;  // false: no folder can be opened
    bool OpenFolder(const QString& path) override
    {
        Folders << path;
        return HasFileManager;
    }
    bool OpenUrl(const QString& url) override
    {
        Urls << url;
        return true;
    }
    bool PowerOff() override
    {
        ++PowerOffs;
        return true;
    }
    bool Notify(const QString& summary, const QString& body) override
    {
        Notices << summary + '\n' + body;
        return true;
    }
};

// Both stand-ins, installed for the life of the object.
class TAppRecorders {
public:
    TAppRecorders()
    {
        kv::app::SetPrompter(&Prompter);
        kv::app::SetShell(&Shell);
    }
    ~TAppRecorders()
    {
        kv::app::SetPrompter(nullptr);
        kv::app::SetShell(nullptr);
    }
    TAppRecorders(const TAppRecorders&) = delete;
    TAppRecorders& operator=(const TAppRecorders&) = delete;

    TRecordingPrompter Prompter;
    TRecordingShell Shell;
};

}  // namespace kvtest
